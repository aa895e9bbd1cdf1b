// One Redis server's connection pool (vel_redis only).
#pragma once

#include <glog/logging.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_connection.h"
#include "vel/redis/internal/redis_sentinel.h"
#include "vel/redis/redis.h"

namespace vel {
namespace redis_internal {

// The connections of one Redis server (one tag): a pool of idle
// connections, a back-off after a failed connect, and the log lines that say
// when the server goes away and comes back. Any thread.
//
// With a Sentinel group the server is whichever primary the Sentinels name:
// the pool asks them before its first connect and again after any failure
// or READONLY answer, checks with ROLE that a new connection really reaches
// a primary, and moves to the new address after a failover.
class RedisServerPool {
 public:
  // `endpoint` gives the address, password and timeout; with a `sentinel`
  // its address is only a placeholder until the Sentinels answer.
  RedisServerPool(std::string tag, RedisConnection::Endpoint endpoint,
                  std::shared_ptr<RedisSentinel> sentinel = nullptr)
      : tag_(std::move(tag)),
        sentinel_(std::move(sentinel)),
        endpoint_(std::move(endpoint)),
        stale_(sentinel_ != nullptr) {}
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
        if (sentinel_ == nullptr || !connection->read_only_refused()) {
          Release(std::move(connection));
          ReportSuccess();
          return Redis::kSuccess;
        }
        // A demoted primary refused the writes, so nothing ran: find the
        // new primary and repeat once there.
        ForgetPrimary("the server answered READONLY");
        if (attempt == 0) continue;
        ReportFailure(what, "the server is a read-only replica");
        return Redis::kConnectionFailure;
      }
      // The other idle connections most likely share this one's fate.
      DropIdle();
      if (sentinel_ != nullptr) ForgetPrimary(connection->error());
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

  // A new connection that the caller keeps for itself (the shared,
  // pipelined connections of RedisPipeline): connected, authenticated and,
  // with Sentinels, a primary. Null with the reason in *error; the back-off
  // after a failed connect applies as for pooled connections. Blocks.
  std::unique_ptr<RedisConnection> OpenDedicated(std::string* error);
  // A dedicated connection failed while `what` was in flight: the outage is
  // logged as for pooled calls, and with Sentinels the primary is asked for
  // again. Its first successful reply after that: ReportSuccess.
  void ReportDedicatedFailure(const std::string& what,
                              const std::string& error);
  void ReportSuccess();

 private:
  std::unique_ptr<RedisConnection> Acquire(bool* reused, std::string* error,
                                           bool reuse_idle = true);
  void Release(std::unique_ptr<RedisConnection> connection);
  void DropIdle();
  // Makes the next new connection ask the Sentinels first and closes the
  // idle connections. `why` is logged at verbose level 1.
  void ForgetPrimary(const std::string& why);
  // Sets *endpoint to the primary, asking the Sentinels when the known one is
  // stale; false with the reason in *error when they do not answer.
  bool ResolvePrimary(RedisConnection::Endpoint* endpoint, std::string* error);
  // Whether `connection` reaches a primary (ROLE); false with the reason in
  // *error otherwise.
  static bool IsPrimary(RedisConnection& connection, std::string* error);
  void ReportFailure(const std::string& what, const std::string& error);
  std::string Address();

  const std::string tag_;
  const std::shared_ptr<RedisSentinel> sentinel_;  // null: a fixed address
  std::atomic<bool> available_{true};
  // Held while asking the Sentinels, so that one thread asks and the others
  // take its answer. Taken before mutex_, never while holding it.
  std::mutex resolve_mutex_;
  std::mutex mutex_;
  RedisConnection::Endpoint endpoint_;  // GUARDED_BY(mutex_)
  // True while the Sentinels must be asked before the next connect.
  bool stale_;  // GUARDED_BY(mutex_)
  // True once the Sentinels have named a primary.
  bool known_ = false;                                  // GUARDED_BY(mutex_)
  std::vector<std::unique_ptr<RedisConnection>> idle_;  // GUARDED_BY(mutex_)
  bool closed_ = false;                                 // GUARDED_BY(mutex_)
  std::chrono::steady_clock::time_point retry_after_;   // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
