// One Redis server's connection pool (vel_redis only).
#pragma once

#include <glog/logging.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/redis.h"
#include "vel/redis_connection.h"

namespace vel {
namespace redis_internal {

// The connections of one Redis server (one tag): a pool of idle
// connections, a back-off after a failed connect, and the log lines that say
// when the server goes away and comes back. Any thread.
class RedisServerPool {
 public:
  RedisServerPool(std::string tag, RedisConnection::Endpoint endpoint)
      : tag_(std::move(tag)), endpoint_(std::move(endpoint)) {}
  RedisServerPool(const RedisServerPool&) = delete;
  RedisServerPool& operator=(const RedisServerPool&) = delete;

  const std::string& tag() const { return tag_; }

  // Runs `use` (bool(RedisConnection&), false on a connection failure) on a
  // pooled or new connection. A pooled connection that the server had closed
  // (after a restart, say) is replaced by a new one and `use` runs again.
  // Returns kSuccess or kConnectionFailure.
  template <typename Use>
  Redis::Result Run(const std::string& what, Use&& use) {
    for (int attempt = 0;; ++attempt) {
      bool reused = false;
      std::string error;
      std::unique_ptr<RedisConnection> connection = Acquire(&reused, &error);
      if (connection == nullptr) {
        ReportFailure(what, error);
        return Redis::kConnectionFailure;
      }
      if (use(*connection)) {
        Release(std::move(connection));
        ReportSuccess();
        return Redis::kSuccess;
      }
      // The other idle connections most likely share this one's fate.
      DropIdle();
      if (reused && connection->closed_by_peer() && attempt == 0) {
        VLOG(1) << "Redis connection was closed by the server, reconnecting: "
                << what << ", tag='" << tag_ << "', " << connection->error();
        continue;
      }
      ReportFailure(what, connection->error());
      return Redis::kConnectionFailure;
    }
  }

  // Closes the idle connections; connections in use are closed when they
  // come back.
  void Close();

 private:
  std::unique_ptr<RedisConnection> Acquire(bool* reused, std::string* error);
  void Release(std::unique_ptr<RedisConnection> connection);
  void DropIdle();
  void ReportFailure(const std::string& what, const std::string& error);
  void ReportSuccess();
  std::string Address() const;

  const std::string tag_;
  const RedisConnection::Endpoint endpoint_;
  std::atomic<bool> available_{true};
  std::mutex mutex_;
  std::vector<std::unique_ptr<RedisConnection>> idle_;  // GUARDED_BY(mutex_)
  bool closed_ = false;                                 // GUARDED_BY(mutex_)
  std::chrono::steady_clock::time_point retry_after_;   // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
