#include "vel/redis/internal/redis_sentinel.h"

#include <utility>

#include "vel/redis/internal/redis_handshake.h"
#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace redis_internal {
namespace {

std::string AddressOf(const RedisEndpoint& endpoint) {
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" +
         std::to_string(endpoint.port);
}

// The primary's address from the reply to SENTINEL get-master-addr-by-name;
// false with the reason in *error.
bool ParsePrimary(const RedisValue& reply, std::string* host, int* port,
                  std::string* error) {
  if (reply.type == RedisValue::kError) {
    *error = "error reply: " + Printable(reply.text);
    return false;
  }
  if (reply.type == RedisValue::kNil) {
    *error = "does not know the master name";
    return false;
  }
  if (reply.type != RedisValue::kArray || reply.elements.size() != 2 ||
      reply.elements[0].type != RedisValue::kString ||
      reply.elements[1].type != RedisValue::kString) {
    *error =
        std::string("unexpected reply of type ") + ValueTypeName(reply.type);
    return false;
  }
  // The Sentinel answers with an address it has checked; still, it comes from
  // the network and becomes a connect target, so it must parse as one.
  const std::string& address = reply.elements[0].text;
  const std::string& port_text = reply.elements[1].text;
  RedisEndpoint parsed;
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

RedisSentinel::RedisSentinel(std::vector<RedisEndpoint> sentinels,
                             std::string master_name)
    : master_name_(std::move(master_name)), sentinels_(std::move(sentinels)) {}

// One QueryPrimary: the Sentinels to ask, in order, and what they said.
struct RedisSentinel::Query {
  std::shared_ptr<boost::asio::io_context> io;
  std::vector<RedisEndpoint> sentinels;
  std::size_t next = 0;
  std::string reasons;
  Callback done;
};

void RedisSentinel::QueryPrimary(
    const std::shared_ptr<boost::asio::io_context>& io, Callback done) {
  auto query = std::make_shared<Query>();
  query->io = io;
  query->done = std::move(done);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    query->sentinels = sentinels_;
  }
  Ask(std::move(query));
}

void RedisSentinel::Ask(std::shared_ptr<Query> query) {
  const RedisEndpoint& sentinel = query->sentinels[query->next];
  RedisHandshake::Start(
      query->io, sentinel,
      {{"SENTINEL", "get-master-addr-by-name", master_name_}},
      [self = shared_from_this(), query](std::shared_ptr<RedisStream> stream,
                                         std::vector<RedisValue> replies,
                                         std::string error) {
        const std::string address = AddressOf(query->sentinels[query->next]);
        std::string host;
        int port = 0;
        if (stream != nullptr) {
          stream->Close();
          if (!replies.empty() &&
              ParsePrimary(replies.front(), &host, &port, &error)) {
            // The Sentinel that answered is the one to ask first next time.
            if (query->next != 0) self->Prefer(address);
            query->done(true, host, port, std::string());
            return;
          }
        }
        if (!query->reasons.empty()) query->reasons += "; ";
        query->reasons += "Sentinel " + address + ": " + error;
        if (++query->next < query->sentinels.size()) {
          self->Ask(query);
          return;
        }
        query->done(false, std::string(), 0,
                    "no Sentinel knows the primary of master '" +
                        self->master_name_ + "' (" + query->reasons + ")");
      });
}

void RedisSentinel::Prefer(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 1; i < sentinels_.size(); ++i) {
    if (AddressOf(sentinels_[i]) == address) {
      std::swap(sentinels_[0], sentinels_[i]);
      return;
    }
  }
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
