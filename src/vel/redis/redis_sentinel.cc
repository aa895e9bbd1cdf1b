#include "vel/redis/internal/redis_sentinel.h"

#include <hiredis/hiredis.h>

#include <utility>

#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace redis_internal {
namespace {

std::string AddressOf(const RedisConnection::Endpoint& endpoint) {
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" +
         std::to_string(endpoint.port);
}

// Asks one Sentinel; false with the reason in *error.
bool AskSentinel(const RedisConnection::Endpoint& sentinel,
                 const std::string& master_name, std::string* host, int* port,
                 std::string* error) {
  RedisConnection connection(sentinel);
  if (!connection.Connect()) {
    *error = connection.error();
    return false;
  }
  RedisConnection::Reply reply =
      connection.Command({"SENTINEL", "get-master-addr-by-name", master_name});
  if (reply == nullptr) {
    *error = connection.error();
    return false;
  }
  if (reply->type == REDIS_REPLY_ERROR) {
    *error = "error reply: " + Printable(std::string(reply->str, reply->len));
    return false;
  }
  if (reply->type == REDIS_REPLY_NIL) {
    *error = "does not know the master name";
    return false;
  }
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
      reply->element[0]->type != REDIS_REPLY_STRING ||
      reply->element[1]->type != REDIS_REPLY_STRING) {
    *error =
        std::string("unexpected reply of type ") + ReplyTypeName(reply->type);
    return false;
  }
  // The Sentinel answers with an address it has checked; still, it comes from
  // the network and becomes a connect target, so it must parse as one.
  const std::string address =
      std::string(reply->element[0]->str, reply->element[0]->len);
  const std::string port_text =
      std::string(reply->element[1]->str, reply->element[1]->len);
  RedisConnection::Endpoint parsed;
  if (address.empty() || address[0] == '/' ||
      !ParseEndpoint(address + ":" + port_text, &parsed)) {
    *error = "malformed primary address '" + Printable(address) + "' port '" +
             Printable(port_text) + "'";
    return false;
  }
  *host = parsed.host;
  *port = parsed.port;
  return true;
}

}  // namespace

RedisSentinel::RedisSentinel(std::vector<RedisConnection::Endpoint> sentinels,
                             std::string master_name)
    : master_name_(std::move(master_name)), sentinels_(std::move(sentinels)) {}

bool RedisSentinel::ParseList(const std::string& list,
                              const RedisConnection::Endpoint& defaults,
                              std::vector<RedisConnection::Endpoint>* out,
                              std::string* error) {
  std::vector<RedisConnection::Endpoint> parsed;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string entry = Trim(list.substr(start, comma - start));
    start = comma + 1;
    if (entry.empty()) continue;
    RedisConnection::Endpoint endpoint = defaults;
    if (entry[0] == '/' || !ParseEndpoint(entry, &endpoint)) {
      *error = "bad Sentinel address '" + Printable(entry) +
               "': expected host:port with a port from 1 to 65535";
      return false;
    }
    parsed.push_back(std::move(endpoint));
  }
  if (parsed.empty()) {
    *error = "no Sentinel address given";
    return false;
  }
  *out = std::move(parsed);
  return true;
}

bool RedisSentinel::QueryPrimary(std::string* host, int* port,
                                 std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string reasons;
  for (std::size_t i = 0; i < sentinels_.size(); ++i) {
    std::string reason;
    if (AskSentinel(sentinels_[i], master_name_, host, port, &reason)) {
      // The Sentinel that answered is the one to ask first next time.
      if (i != 0) std::swap(sentinels_[0], sentinels_[i]);
      return true;
    }
    if (!reasons.empty()) reasons += "; ";
    reasons += "Sentinel " + AddressOf(sentinels_[i]) + ": " + reason;
  }
  *error = "no Sentinel knows the primary of master '" + master_name_ + "' (" +
           reasons + ")";
  return false;
}

std::string RedisSentinel::Addresses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const auto& sentinel : sentinels_) {
    if (!text.empty()) text += ",";
    text += AddressOf(sentinel);
  }
  return text;
}

}  // namespace redis_internal
}  // namespace vel
