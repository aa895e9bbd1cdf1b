// Non-blocking Redis commands on a few connections that many callers share.
//
// Send writes a command at once from the caller's thread, behind the
// commands other callers wrote on the same connection (pipelining), and its
// reply completes on a thread of the io_context the owner gives: no thread
// waits for Redis, and one wake-up serves every reply that arrived together.
//
// Commands of one lane go over one connection, so Redis runs them in the
// order of their Send calls and their callbacks run in that order, one at a
// time. A connection is opened (on a thread of the io_context) at first use
// and again after a failure, from vel::Redis's server of the tag: its
// address, password, Sentinel primary, back-off after a failed connect and
// outage log lines (vel::Redis's own calls run on pipelines too). A READONLY
// answer (a demoted primary) comes back as kError and drops the connection
// before its callback runs, so that the next command reaches the primary the
// Sentinels name then. When the tag is a Redis Cluster (vel::Redis::
// IsCluster), each command goes to the node that serves its key instead
// (redis_internal::RedisClusterRouter, which documents redirects and
// failover); whether it is, is settled when the pipeline is made, so make
// it after vel::Redis::Initialize. Requires vel::Redis to be initialised.
// Thread-safe: any thread may call any function.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vel/redis/redis.h"
#include "vel/redis/redis_value.h"

namespace vel {
namespace redis_internal {
class RedisClusterRouter;
class RedisServer;
}  // namespace redis_internal

class RedisPipeline {
 public:
  // Runs exactly once per command on a thread of the io_context, never on
  // the caller's stack. kSuccess: `reply` is the answer. kError: Redis
  // answered with an error (`reply` of type kError holds it). kConnection-
  // Failure: no answer came, because the server could not be reached, the
  // connection broke, or the answer took longer than redis_timeout_ms (the
  // connection is then dropped, failing every command behind it as well);
  // `maybe_ran` is true when the whole command had been written, so that
  // Redis may have run it, false when it certainly did not.
  using Callback = std::function<void(Redis::Result result, RedisValue reply,
                                      bool maybe_ran)>;

  // `connections` >= 1 connections to the server of `tag`. Every new
  // connection first sends the commands of `on_connect` (SCRIPT LOAD of the
  // owner's scripts, say, so that a restarted server has them before any
  // EVALSHA); an error reply to one is logged and does not fail it.
  RedisPipeline(std::shared_ptr<boost::asio::io_context> io, std::string tag,
                std::size_t connections,
                std::vector<std::vector<std::string>> on_connect = {});
  // (Cluster routing) `connections` connections to the one node whose
  // connections `node` opens, whatever the tag is.
  RedisPipeline(std::shared_ptr<boost::asio::io_context> io, std::string tag,
                std::size_t connections,
                std::vector<std::vector<std::string>> on_connect,
                std::shared_ptr<redis_internal::RedisServer> node);
  // Closes as Close does.
  ~RedisPipeline();
  RedisPipeline(const RedisPipeline&) = delete;
  RedisPipeline& operator=(const RedisPipeline&) = delete;

  // Sends `args` (binary-safe, args[0] the command name) on the connection
  // of `lane` (any number; taken modulo the connection count).
  void Send(std::size_t lane, const std::vector<std::string>& args,
            Callback callback);

  // Send for several commands in a row on one lane, written together (one
  // round trip); `callbacks` holds one callback per command, in order.
  using Commands = std::vector<std::vector<std::string>>;
  void SendAll(std::size_t lane, const Commands& commands,
               std::vector<Callback> callbacks);

  // The lane with the fewest commands waiting for their answers (the first
  // idle one): where a caller that waits for its answer loses the least
  // time behind other callers' commands.
  std::size_t LeastBusyLane() const;

  // Fails the commands in flight with kConnectionFailure and closes the
  // connections; later Sends fail the same way. Does not wait.
  void Close();

  // The number of lanes.
  std::size_t connection_count() const { return lanes_; }

 private:
  friend class redis_internal::RedisClusterRouter;
  class Connection;
  // Commands of `lane` sent and not answered yet.
  std::size_t InFlight(std::size_t lane) const;

  std::size_t lanes_ = 1;
  // Empty when the router sends the commands (a cluster).
  std::vector<std::shared_ptr<Connection>> connections_;
  std::shared_ptr<redis_internal::RedisClusterRouter> router_;
};

}  // namespace vel
