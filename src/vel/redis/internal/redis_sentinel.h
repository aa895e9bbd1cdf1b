// The Redis Sentinels that watch the default Redis server's primary
// (vel_redis only).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_connection.h"

namespace vel {
namespace redis_internal {

// Asks a group of Sentinels where the primary of one master name is, so that
// the connection pool follows a failover. Any thread; queries are serialized.
class RedisSentinel {
 public:
  // `sentinels` each carry the address, the password of the Sentinel itself
  // (empty: no AUTH) and the timeout of one query.
  RedisSentinel(std::vector<RedisConnection::Endpoint> sentinels,
                std::string master_name);
  RedisSentinel(const RedisSentinel&) = delete;
  RedisSentinel& operator=(const RedisSentinel&) = delete;

  // Parses "host:port,host:port,..." into `out`; false with the reason in
  // *error when an entry is malformed or the list is empty. Each entry takes
  // `defaults` for everything but host and port.
  static bool ParseList(const std::string& list,
                        const RedisConnection::Endpoint& defaults,
                        std::vector<RedisConnection::Endpoint>* out,
                        std::string* error);

  // Asks the Sentinels in turn (SENTINEL get-master-addr-by-name) and sets
  // *host and *port to the first address one of them gives; that Sentinel is
  // asked first next time. Returns false, leaving the outputs unchanged and
  // the reasons of every Sentinel in *error, when none knows the primary.
  // Blocks for at most one query timeout per Sentinel.
  bool QueryPrimary(std::string* host, int* port, std::string* error);

  const std::string& master_name() const { return master_name_; }

  // "host:port,host:port" for logs.
  std::string Addresses() const;

 private:
  const std::string master_name_;
  mutable std::mutex mutex_;
  // Tried in order; the last one that answered first.
  std::vector<RedisConnection::Endpoint> sentinels_;  // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
