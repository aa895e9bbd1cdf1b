#include "vel/redis/internal/redis_server_pool.h"

#include <glog/logging.h>
#include <hiredis/hiredis.h>

#include "vel/metrics/metrics_registry.h"
#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace redis_internal {
namespace {

using Clock = std::chrono::steady_clock;

// After a failed connect, calls that need a new connection fail at once for
// this long instead of each waiting for its own connect attempt.
constexpr auto kReconnectBackoff = std::chrono::milliseconds(100);

}  // namespace

void RedisServerPool::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
}

std::unique_ptr<RedisConnection> RedisServerPool::Open(std::string* error) {
  RedisConnection::Endpoint endpoint;
  bool resolve = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      *error = "the Redis client is shut down";
      return nullptr;
    }
    if (Clock::now() < retry_after_) {
      *error = "server unavailable, waiting before reconnecting";
      return nullptr;
    }
    endpoint = endpoint_;
    resolve = stale_;
  }
  // Ask and connect outside the lock: both may take up to the timeout.
  bool ready = !resolve || ResolvePrimary(&endpoint, error);
  auto connection = std::make_unique<RedisConnection>(endpoint);
  if (ready && !connection->Connect()) {
    *error = connection->error();
    ready = false;
  }
  if (ready && sentinel_ != nullptr && !IsPrimary(*connection, error)) {
    ready = false;
  }
  if (!ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    retry_after_ = Clock::now() + kReconnectBackoff;
    if (sentinel_ != nullptr) stale_ = true;
    return nullptr;
  }
  return connection;
}

void RedisServerPool::ForgetPrimary(const std::string& why) {
  if (sentinel_ == nullptr) return;
  VLOG(1) << "Redis primary of tag='" << tag_
          << "' to be asked of the Sentinels again: " << why;
  std::lock_guard<std::mutex> lock(mutex_);
  stale_ = true;
}

bool RedisServerPool::ResolvePrimary(RedisConnection::Endpoint* endpoint,
                                     std::string* error) {
  std::lock_guard<std::mutex> resolving(resolve_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stale_) {  // another thread asked while this one waited
      *endpoint = endpoint_;
      return true;
    }
    if (Clock::now() < retry_after_) {  // another thread just failed to
      *error = "no primary known, waiting before asking the Sentinels again";
      return false;
    }
  }
  std::string host;
  int port = 0;
  if (!sentinel_->QueryPrimary(&host, &port, error)) return false;
  std::string previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool moved =
        !known_ || host != endpoint_.host || port != endpoint_.port;
    if (moved) {
      if (known_) {
        previous = endpoint_.host + ":" + std::to_string(endpoint_.port);
      }
      endpoint_.host = host;
      endpoint_.port = port;
      known_ = true;
    }
    stale_ = false;
    *endpoint = endpoint_;
    if (!moved) return true;
  }
  LOG(INFO) << "Redis primary of master '" << sentinel_->master_name()
            << "' (tag='" << tag_ << "') is " << host << ":" << port
            << (previous.empty() ? std::string() : " (was " + previous + ")")
            << ", as the Sentinels " << sentinel_->Addresses() << " say";
  return true;
}

bool RedisServerPool::IsPrimary(RedisConnection& connection,
                                std::string* error) {
  RedisConnection::Reply reply = connection.Command({"ROLE"});
  if (reply == nullptr) {
    *error = connection.error();
    return false;
  }
  if (reply->type == REDIS_REPLY_ARRAY && reply->elements > 0 &&
      reply->element[0]->type == REDIS_REPLY_STRING) {
    const std::string role(reply->element[0]->str, reply->element[0]->len);
    if (role == "master") return true;
    *error = "the server the Sentinels name is a " + Printable(role) +
             ", not a primary (failover in progress?)";
    return false;
  }
  *error =
      reply->type == REDIS_REPLY_ERROR
          ? "ROLE refused: " + Printable(std::string(reply->str, reply->len))
          : std::string("unexpected ROLE reply of type ") +
                ReplyTypeName(reply->type);
  return false;
}

void RedisServerPool::ReportFailure(const std::string& what,
                                    const std::string& error) {
  ForgetPrimary(error);
  MetricsRegistry::CountRedisError(MetricsRegistry::kRedisConnection);
  if (available_.exchange(false)) {
    LOG(ERROR) << "Redis server unavailable (calls fail with "
                  "kConnectionFailure until it answers again; further "
                  "failures are logged at verbose level 1): tag='"
               << tag_ << "', address=" << Address() << ", command=" << what
               << ", error=" << error;
  } else {
    VLOG(1) << "Redis server still unavailable: tag='" << tag_
            << "', command=" << what << ", error=" << error;
  }
}

void RedisServerPool::ReportSuccess() {
  if (!available_.exchange(true)) {
    LOG(INFO) << "Redis server available again: tag='" << tag_
              << "', address=" << Address();
  }
}

std::string RedisServerPool::Address() {
  std::string host;
  int port = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sentinel_ != nullptr && !known_) {
      return "the primary of master '" + sentinel_->master_name() +
             "' (not known yet)";
    }
    host = endpoint_.host;
    port = endpoint_.port;
  }
  std::string address;
  if (!host.empty() && host[0] == '/') {
    address = host;
  } else {
    const bool ipv6 = host.find(':') != std::string::npos;
    address = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  }
  if (sentinel_ != nullptr) {
    address += " (primary of master '" + sentinel_->master_name() +
               "', Sentinels " + sentinel_->Addresses() + ")";
  }
  return address;
}

}  // namespace redis_internal
}  // namespace vel
