// One Redis server's address logic (vel_redis only).
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_endpoint.h"
#include "vel/redis/internal/redis_sentinel.h"
#include "vel/redis/internal/redis_stream.h"
#include "vel/redis/redis_value.h"

namespace vel {
namespace redis_internal {

// Where the connections of one Redis server (one tag) go and how their
// failures are told: the connect with its handshake, a back-off after a
// failed connect, and the log lines that say when the server goes away and
// comes back. The connections themselves are RedisPipeline's. Any thread.
//
// With a Sentinel group the server is whichever primary the Sentinels name:
// the server asks them before its first connect and again after any failure
// or READONLY answer, checks with ROLE that a new connection really reaches
// a primary, and moves to the new address after a failover.
class RedisServer : public std::enable_shared_from_this<RedisServer> {
 public:
  // `endpoint` gives the address, credentials, TLS and timeout; with a
  // `sentinel` its address is only a placeholder until the Sentinels
  // answer. Made with std::make_shared.
  RedisServer(std::string tag, RedisEndpoint endpoint,
              std::shared_ptr<RedisSentinel> sentinel = nullptr)
      : tag_(std::move(tag)),
        sentinel_(std::move(sentinel)),
        endpoint_(std::move(endpoint)),
        stale_(sentinel_ != nullptr) {}
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  const std::string& tag() const { return tag_; }
  // Whether the address comes from Sentinels (a READONLY answer then means
  // a failover, and the command may be repeated on the new primary).
  bool has_sentinel() const { return sentinel_ != nullptr; }

  // Opens a new connection for the caller to keep: connected (TLS when
  // set), authenticated and, with Sentinels, a primary. `done` runs once on
  // a thread of `io`, never on this call's stack, with the stream, or null
  // and the reason; after a failed connect further opens fail at once for a
  // short back-off. Once Close was called every open fails. Takes up to a
  // few timeouts, without blocking a thread.
  using OpenCallback =
      std::function<void(std::shared_ptr<RedisStream>, std::string error)>;
  void Open(const std::shared_ptr<boost::asio::io_context>& io,
            OpenCallback done);

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
  // The primary's endpoint, or the reason none is known.
  using ResolveCallback =
      std::function<void(bool ok, RedisEndpoint endpoint, std::string error)>;
  // Calls `done` with the primary, asking the Sentinels when the known one
  // is stale; one question at a time, whose answer every caller that came
  // meanwhile shares.
  void ResolvePrimary(const std::shared_ptr<boost::asio::io_context>& io,
                      ResolveCallback done);
  void OnPrimary(bool ok, const std::string& host, int port,
                 const std::string& error);
  // Connects to `endpoint` (with Sentinels: checks with ROLE that it is a
  // primary). `known` says the address was the one known before, not just
  // named by the Sentinels: when it is no primary any more (a failover the
  // client has not noticed yet, its connections to it having been idle), the
  // Sentinels are asked at once and their primary tried, instead of failing.
  void Connect(const std::shared_ptr<boost::asio::io_context>& io,
               const RedisEndpoint& endpoint, bool known, OpenCallback done);
  // Asks the Sentinels, then connects to the primary they name.
  void ResolveAndConnect(const std::shared_ptr<boost::asio::io_context>& io,
                         OpenCallback done);
  // Starts the back-off after a failed open.
  void OpenFailed();
  // Whether `role` (ROLE's reply) names a primary; false with the reason in
  // *error otherwise.
  static bool IsPrimary(const RedisValue& role, std::string* error);
  std::string Address();

  const std::string tag_;
  const std::shared_ptr<RedisSentinel> sentinel_;  // null: a fixed address
  std::atomic<bool> available_{true};
  std::mutex mutex_;
  RedisEndpoint endpoint_;  // GUARDED_BY(mutex_)
  // True while the Sentinels must be asked before the next connect.
  bool stale_;  // GUARDED_BY(mutex_)
  // True once the Sentinels have named a primary.
  bool known_ = false;  // GUARDED_BY(mutex_)
  // Callers waiting for the Sentinels' answer; non-empty while asking.
  std::vector<ResolveCallback> resolving_;             // GUARDED_BY(mutex_)
  bool closed_ = false;                                // GUARDED_BY(mutex_)
  std::chrono::steady_clock::time_point retry_after_;  // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
