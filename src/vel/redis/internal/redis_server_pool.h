// One Redis server's address logic (vel_redis only).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "vel/redis/internal/redis_connection.h"
#include "vel/redis/internal/redis_sentinel.h"

namespace vel {
namespace redis_internal {

// Where the connections of one Redis server (one tag) go and how their
// failures are told: the connect with its handshake, a back-off after a
// failed connect, and the log lines that say when the server goes away and
// comes back. The connections themselves are RedisPipeline's. Any thread.
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
  // Whether the address comes from Sentinels (a READONLY answer then means
  // a failover, and the command may be repeated on the new primary).
  bool has_sentinel() const { return sentinel_ != nullptr; }

  // A new connection for the caller to keep: connected, authenticated and,
  // with Sentinels, a primary. Null with the reason in *error; after a
  // failed connect further opens fail at once for a short back-off. Once
  // Close was called every open fails. Blocks for up to a few timeouts.
  std::unique_ptr<RedisConnection> Open(std::string* error);

  // A connection failed while `what` was in flight (or connecting for it):
  // the outage is logged once, at error level, and counted; with Sentinels
  // the primary is asked for again. The first success after it:
  // ReportSuccess, which logs the end of the outage.
  void ReportFailure(const std::string& what, const std::string& error);
  void ReportSuccess();

  // Makes the next new connection ask the Sentinels first. `why` is logged
  // at verbose level 1. Nothing without Sentinels.
  void ForgetPrimary(const std::string& why);

  // Refuses further opens (the client is shut down).
  void Close();

 private:
  // Sets *endpoint to the primary, asking the Sentinels when the known one is
  // stale; false with the reason in *error when they do not answer.
  bool ResolvePrimary(RedisConnection::Endpoint* endpoint, std::string* error);
  // Whether `connection` reaches a primary (ROLE); false with the reason in
  // *error otherwise.
  static bool IsPrimary(RedisConnection& connection, std::string* error);
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
  bool known_ = false;                                 // GUARDED_BY(mutex_)
  bool closed_ = false;                                // GUARDED_BY(mutex_)
  std::chrono::steady_clock::time_point retry_after_;  // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
