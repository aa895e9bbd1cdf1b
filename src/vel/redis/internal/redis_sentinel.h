// The Redis Sentinels that watch the default Redis server's primary
// (vel_redis only).
#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_endpoint.h"

namespace vel {
namespace redis_internal {

// Asks a group of Sentinels where the primary of one master name is, so that
// the server's connections follow a failover. Any thread.
class RedisSentinel : public std::enable_shared_from_this<RedisSentinel> {
 public:
  // `sentinels` each carry the address, the credentials of the Sentinel
  // itself (empty: no AUTH), TLS and the timeout of one query. Made with
  // std::make_shared.
  RedisSentinel(std::vector<RedisEndpoint> sentinels, std::string master_name);
  RedisSentinel(const RedisSentinel&) = delete;
  RedisSentinel& operator=(const RedisSentinel&) = delete;

  // Asks the Sentinels in turn (SENTINEL get-master-addr-by-name) and calls
  // `done` once, on a thread of `io`, with the first address one of them
  // gives (that Sentinel is asked first next time), or with ok false and
  // the reasons of every Sentinel in `error` when none knows the primary.
  // Takes at most a connect and a query timeout per Sentinel, without
  // blocking a thread.
  using Callback = std::function<void(bool ok, const std::string& host,
                                      int port, const std::string& error)>;
  void QueryPrimary(const std::shared_ptr<boost::asio::io_context>& io,
                    Callback done);

  const std::string& master_name() const { return master_name_; }

  // "host:port,host:port" for logs.
  std::string Addresses() const;

 private:
  struct Query;
  void Ask(std::shared_ptr<Query> query);
  // Moves the Sentinel at `address` to the front of the list.
  void Prefer(const std::string& address);

  const std::string master_name_;
  mutable std::mutex mutex_;
  // Tried in order; the last one that answered first.
  std::vector<RedisEndpoint> sentinels_;  // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
