#include "vel/redis_server_pool.h"

#include <glog/logging.h>

#include "vel/metrics_registry.h"

namespace vel {
namespace redis_internal {
namespace {

using Clock = std::chrono::steady_clock;

// Idle connections kept per server; more are opened while more threads call
// at once, and closed when they come back to a full pool.
constexpr std::size_t kMaxIdleConnections = 32;
// After a failed connect, calls that need a new connection fail at once for
// this long instead of each waiting for its own connect attempt.
constexpr auto kReconnectBackoff = std::chrono::milliseconds(100);

}  // namespace

void RedisServerPool::Close() {
  std::vector<std::unique_ptr<RedisConnection>> idle;
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  idle.swap(idle_);
}

std::unique_ptr<RedisConnection> RedisServerPool::Acquire(bool* reused,
                                                          std::string* error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      *error = "the Redis client is shut down";
      return nullptr;
    }
    if (!idle_.empty()) {
      std::unique_ptr<RedisConnection> connection = std::move(idle_.back());
      idle_.pop_back();
      *reused = true;
      return connection;
    }
    if (Clock::now() < retry_after_) {
      *error = "server unavailable, waiting before reconnecting";
      return nullptr;
    }
  }
  // Connect outside the lock: it may take up to the timeout.
  auto connection = std::make_unique<RedisConnection>(endpoint_);
  if (!connection->Connect()) {
    *error = connection->error();
    std::lock_guard<std::mutex> lock(mutex_);
    retry_after_ = Clock::now() + kReconnectBackoff;
    return nullptr;
  }
  *reused = false;
  return connection;
}

void RedisServerPool::Release(std::unique_ptr<RedisConnection> connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closed_ && idle_.size() < kMaxIdleConnections) {
    idle_.push_back(std::move(connection));
  }
  // Otherwise the connection closes here, still under the lock; closing
  // is a local operation and quick.
}

void RedisServerPool::DropIdle() {
  std::vector<std::unique_ptr<RedisConnection>> idle;
  std::lock_guard<std::mutex> lock(mutex_);
  idle.swap(idle_);
}

void RedisServerPool::ReportFailure(const std::string& what,
                                    const std::string& error) {
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

std::string RedisServerPool::Address() const {
  if (!endpoint_.host.empty() && endpoint_.host[0] == '/') {
    return endpoint_.host;
  }
  const bool ipv6 = endpoint_.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + endpoint_.host + "]" : endpoint_.host) + ":" +
         std::to_string(endpoint_.port);
}

}  // namespace redis_internal
}  // namespace vel
