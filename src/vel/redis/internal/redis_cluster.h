// The slot map of the Redis Cluster that serves a tag (vel_redis only).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_endpoint.h"
#include "vel/redis/internal/redis_server.h"
#include "vel/redis/redis_value.h"

namespace vel {
namespace redis_internal {

// What one Initialize knows of a cluster, shared by every pipeline of its
// tag: which node serves each slot, the nodes to ask for the map, when to
// ask again, and one RedisServer per node (address, AUTH, back-off and
// outage log lines of that node). Nodes are named "host:port". The map is
// read by the pipelines (RedisClusterRouter sends CLUSTER SLOTS); this class
// only keeps it. Thread-safe: any thread.
// Whether an error reply is a cluster's MOVED or ASK redirect.
bool IsClusterRedirect(const std::string& text);

class RedisCluster {
 public:
  // `seeds` (at least one) give the first nodes to ask and, through the
  // first, the user, password and timeout of every node.
  RedisCluster(std::string tag, std::vector<RedisEndpoint> seeds);
  RedisCluster(const RedisCluster&) = delete;
  RedisCluster& operator=(const RedisCluster&) = delete;

  // With --redis_cluster_nodes, sets *out to the cluster that is the
  // default server, its nodes with the user, password and timeout of
  // `defaults`; else null. False (logged) on a malformed list or with
  // `sentinels` also set.
  static bool FromFlags(const RedisEndpoint& defaults, bool sentinels,
                        std::shared_ptr<RedisCluster>* out);

  // The cluster of `tag` set up by the current Initialize, or null when the
  // tag is a single server. Install replaces the current one (null: none)
  // and closes the one it replaces.
  static std::shared_ptr<RedisCluster> Of(const std::string& tag);
  static void Install(std::shared_ptr<RedisCluster> cluster);

  const std::string& tag() const { return tag_; }
  // The seeds as "host:port,..." for log lines.
  std::string SeedText() const;

  // The primary that serves `slot` by the map, or a node to try (a known
  // primary, else a seed) while the map has none for it.
  std::string NodeOf(int slot);
  // A node for a command without a key: the primary of slot 0 or a seed.
  std::string AnyNode();
  // Every primary of the map, or the seeds while the map is empty.
  std::vector<std::string> Primaries();

  // A MOVED answer: `node` serves `slot` now. The whole map is read again
  // soon after, as a slot rarely moves alone.
  void Moved(int slot, const std::string& node);
  // `node` could not be reached (or the cluster said it is down): the map
  // may be stale, a replica may take its place; read the map again soon.
  void NodeFailed(const std::string& node);
  // The cluster answered CLUSTERDOWN: read the map again soon.
  void MarkStale();

  // Whether the caller should read the map now: it is stale and nobody
  // else is reading it, and the last read began long enough ago. True
  // makes the caller the reader until EndRefresh.
  bool BeginRefresh();
  // The nodes to ask, in order: nodes that have not failed lately first.
  std::vector<std::string> RefreshCandidates();
  // Takes a CLUSTER SLOTS reply of `asked`; false with the reason in
  // *error when it is not one (the map is then unchanged).
  bool ApplySlots(const RedisValue& reply, const std::string& asked,
                  std::string* error);
  // Ends a read; `ok` false leaves the map stale, to be read again.
  void EndRefresh(bool ok);

  // The server pool that opens connections to `node`.
  std::shared_ptr<RedisServer> PoolOf(const std::string& node);
  // Refuses further connects to every node (the client is shut down).
  void Close();

  // A MOVED or ASK error reply ("MOVED 3999 127.0.0.1:6381"); an empty host
  // in it means the host of `from`, the node that answered. False for any
  // other reply.
  static bool ParseRedirect(const std::string& text, const std::string& from,
                            bool* ask, int* slot, std::string* node);

 private:
  using Clock = std::chrono::steady_clock;
  std::string NodeOfLocked(int slot);

  const std::string tag_;
  const std::vector<RedisEndpoint> seeds_;
  std::mutex mutex_;
  // Index into nodes_ per slot, -1 for a slot without a known primary.
  std::vector<int> slots_;          // GUARDED_BY(mutex_)
  std::vector<std::string> nodes_;  // GUARDED_BY(mutex_) primaries seen
  // Every node seen (replicas too): places to ask for the map.
  std::vector<std::string> known_;                   // GUARDED_BY(mutex_)
  std::map<std::string, Clock::time_point> failed_;  // GUARDED_BY(mutex_)
  std::map<std::string, std::shared_ptr<RedisServer>>
      pools_;                    // GUARDED_BY(mutex_)
  bool stale_ = true;            // GUARDED_BY(mutex_)
  bool refreshing_ = false;      // GUARDED_BY(mutex_)
  Clock::time_point last_read_;  // GUARDED_BY(mutex_)
  bool closed_ = false;          // GUARDED_BY(mutex_)
};

}  // namespace redis_internal
}  // namespace vel
