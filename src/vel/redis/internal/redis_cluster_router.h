// RedisPipeline's commands to a Redis Cluster, each sent to the node that
// serves its key (vel_redis only).
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_cluster.h"
#include "vel/redis/redis_pipeline.h"

namespace vel {
namespace redis_internal {

// Routes the commands of one RedisPipeline over a cluster: the slot of its
// keys (redis_cluster_slot.h) picks the primary by the shared map
// (RedisCluster), where a RedisPipeline of its own per node, opened on first
// use with the owner's lane count and on_connect commands, sends it. A
// command keeps its lane on every node, so that one lane's commands to one
// node stay in order. Answers:
// - MOVED: the map learns the slot's node, the command goes there, and the
//   whole map is read again soon; ASK: ASKING and the command go to the
//   node named, the map stays. At most kMaxRedirects redirects per command,
//   then the last answer is the caller's (kError).
// - TRYAGAIN, CLUSTERDOWN: sent again a few times after short pauses, then
//   the caller gets the error.
// - A connection failure: the caller gets it, and the map is read again
//   (from another node) until it names the replica that took over.
// A command refused by RouteRedisCommand (keys in two slots, an unknown
// command) is never sent: its callback gets kError with the reason, and the
// caller bug is logged. Thread-safe: any thread; callbacks run as
// RedisPipeline's do (on the io_context, never on the caller's stack).
class RedisClusterRouter
    : public std::enable_shared_from_this<RedisClusterRouter> {
 public:
  static constexpr int kMaxRedirects = 5;
  static constexpr int kMaxRetries = 3;

  RedisClusterRouter(std::shared_ptr<boost::asio::io_context> io,
                     std::string tag, std::size_t lanes,
                     std::vector<std::vector<std::string>> on_connect,
                     std::shared_ptr<RedisCluster> cluster);
  RedisClusterRouter(const RedisClusterRouter&) = delete;
  RedisClusterRouter& operator=(const RedisClusterRouter&) = delete;

  // As RedisPipeline's. A batch's commands to one node are written
  // together; its callbacks run in order once every command is answered.
  void Send(std::size_t lane, const std::vector<std::string>& args,
            RedisPipeline::Callback callback);
  void SendAll(std::size_t lane, const RedisPipeline::Commands& commands,
               std::vector<RedisPipeline::Callback> callbacks);
  std::size_t LeastBusyLane();
  void Close();

 private:
  struct Command;
  using CommandPtr = std::shared_ptr<Command>;

  // Sends `commands` (routed to one slot each) to the nodes the map names,
  // one write per node.
  void Route(const std::vector<CommandPtr>& commands);
  // Sends `commands` to `node`, after ASKING when `asking`.
  void Dispatch(const std::string& node,
                const std::vector<CommandPtr>& commands, bool asking);
  void OnAnswer(const CommandPtr& command, const std::string& node,
                Redis::Result result, RedisValue reply, bool maybe_ran);
  // Sends a command to every primary; the caller gets one answer.
  void Broadcast(const std::vector<std::string>& args,
                 RedisPipeline::Callback callback);
  // Runs `callback` with kError on the io_context; nothing is sent.
  void Refuse(const std::vector<std::string>& args, const std::string& why,
              RedisPipeline::Callback callback);
  std::shared_ptr<RedisPipeline> NodePipeline(const std::string& node);
  // Reads the map when it is stale and no one else is reading it.
  void MaybeRefresh();
  void ReadMap(std::vector<std::string> candidates, std::size_t index);

  const std::shared_ptr<boost::asio::io_context> io_;
  const std::string tag_;
  const std::size_t lanes_;
  const std::vector<std::vector<std::string>> on_connect_;
  const std::shared_ptr<RedisCluster> cluster_;

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<RedisPipeline>>
      nodes_;            // GUARDED_BY(mutex_)
  bool closed_ = false;  // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
