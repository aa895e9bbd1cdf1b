#include "vel/redis/internal/redis_cluster.h"

#include <glog/logging.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "vel/core/host_flags.h"
#include "vel/redis/internal/redis_text.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_cluster_slot.h"

namespace vel {
namespace redis_internal {
namespace {

// The map is read at most this often, however many answers say it is stale.
constexpr auto kRefreshInterval = std::chrono::milliseconds(200);
// A node that failed this recently is asked for the map after the others.
constexpr auto kFailedRecently = std::chrono::seconds(5);

std::mutex the_clusters_mutex;
std::map<std::string, std::shared_ptr<RedisCluster>>
    the_clusters;  // GUARDED_BY(the_clusters_mutex)

std::string NodeName(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The host part of a node name ("[::1]:7000" gives "::1").
std::string HostOf(const std::string& node) {
  const std::size_t colon = node.rfind(':');
  std::string host = node.substr(0, colon == std::string::npos ? 0 : colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return host;
}

// The node of one [host, port, ...] entry of CLUSTER SLOTS; empty when it is
// malformed or its address unknown ("?").
std::string EntryNode(const RedisValue& entry, const std::string& asked) {
  if (entry.type != RedisValue::kArray || entry.elements.size() < 2 ||
      entry.elements[0].type != RedisValue::kString ||
      entry.elements[1].type != RedisValue::kInteger) {
    return std::string();
  }
  std::string host = entry.elements[0].text;
  const long long port = entry.elements[1].integer;
  if (host == "?" || port < 1 || port > 65535) return std::string();
  // An empty host: the node that answered does not know its own address
  // and means itself.
  if (host.empty()) host = HostOf(asked);
  return NodeName(host, static_cast<int>(port));
}

}  // namespace

RedisCluster::RedisCluster(std::string tag, std::vector<RedisEndpoint> seeds)
    : tag_(std::move(tag)),
      seeds_(std::move(seeds)),
      slots_(kRedisClusterSlots, -1) {}

bool IsClusterRedirect(const std::string& text) {
  return text.compare(0, 6, "MOVED ") == 0 || text.compare(0, 4, "ASK ") == 0;
}

bool RedisCluster::FromFlags(const RedisEndpoint& defaults, bool sentinels,
                             std::shared_ptr<RedisCluster>* out) {
  out->reset();
  if (FLAGS_redis_cluster_nodes.empty()) return true;
  if (sentinels) {
    LOG(ERROR) << "--redis_cluster_nodes and --redis_sentinels are both set: "
                  "a Redis Cluster fails over by itself, without Sentinels; "
                  "set one of them";
    return false;
  }
  std::vector<RedisEndpoint> seeds;
  std::string error;
  if (!ParseEndpointList(FLAGS_redis_cluster_nodes, defaults, "cluster node",
                         &seeds, &error)) {
    LOG(ERROR) << "Bad --redis_cluster_nodes='"
               << Printable(FLAGS_redis_cluster_nodes) << "': " << error;
    return false;
  }
  *out = std::make_shared<RedisCluster>("", std::move(seeds));
  return true;
}

std::shared_ptr<RedisCluster> RedisCluster::Of(const std::string& tag) {
  std::lock_guard<std::mutex> lock(the_clusters_mutex);
  auto it = the_clusters.find(tag);
  return it == the_clusters.end() ? nullptr : it->second;
}

void RedisCluster::Install(std::shared_ptr<RedisCluster> cluster) {
  std::map<std::string, std::shared_ptr<RedisCluster>> old;
  {
    std::lock_guard<std::mutex> lock(the_clusters_mutex);
    old.swap(the_clusters);
    if (cluster != nullptr) the_clusters.emplace(cluster->tag(), cluster);
  }
  for (auto& [tag, retired] : old) {
    if (retired != cluster) retired->Close();
  }
}

std::string RedisCluster::SeedText() const {
  std::string text;
  for (const RedisEndpoint& seed : seeds_) {
    if (!text.empty()) text += ",";
    text += NodeName(seed.host, seed.port);
  }
  return text;
}

std::string RedisCluster::NodeOfLocked(int slot) {
  if (slot >= 0 && slot < kRedisClusterSlots && slots_[slot] >= 0) {
    return nodes_[static_cast<std::size_t>(slots_[slot])];
  }
  // No primary known for it: any node answers with MOVED to the right one.
  stale_ = true;
  if (!nodes_.empty()) return nodes_.front();
  // Before the first map: a seed that has not failed lately.
  const Clock::time_point now = Clock::now();
  for (const RedisEndpoint& seed : seeds_) {
    const std::string node = NodeName(seed.host, seed.port);
    auto it = failed_.find(node);
    if (it == failed_.end() || now > it->second + kFailedRecently) return node;
  }
  return NodeName(seeds_.front().host, seeds_.front().port);
}

std::string RedisCluster::NodeOf(int slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  return NodeOfLocked(slot);
}

std::string RedisCluster::AnyNode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return NodeOfLocked(0);
}

std::vector<std::string> RedisCluster::Primaries() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  std::vector<bool> used(nodes_.size(), false);
  for (const int index : slots_) {
    if (index >= 0) used[static_cast<std::size_t>(index)] = true;
  }
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    if (used[i]) out.push_back(nodes_[i]);
  }
  if (out.empty()) out.push_back(NodeOfLocked(0));
  return out;
}

void RedisCluster::Moved(int slot, const std::string& node) {
  if (slot < 0 || slot >= kRedisClusterSlots) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(nodes_.begin(), nodes_.end(), node);
  if (it == nodes_.end()) it = nodes_.insert(nodes_.end(), node);
  slots_[slot] = static_cast<int>(it - nodes_.begin());
  if (std::find(known_.begin(), known_.end(), node) == known_.end()) {
    known_.push_back(node);
  }
  stale_ = true;
}

void RedisCluster::NodeFailed(const std::string& node) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_[node] = Clock::now();
  stale_ = true;
}

void RedisCluster::MarkStale() {
  std::lock_guard<std::mutex> lock(mutex_);
  stale_ = true;
}

bool RedisCluster::BeginRefresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stale_ || refreshing_ || closed_) return false;
  const Clock::time_point now = Clock::now();
  if (now < last_read_ + kRefreshInterval) return false;
  refreshing_ = true;
  last_read_ = now;
  return true;
}

std::vector<std::string> RedisCluster::RefreshCandidates() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> all = known_;
  for (const RedisEndpoint& seed : seeds_) {
    const std::string node = NodeName(seed.host, seed.port);
    if (std::find(all.begin(), all.end(), node) == all.end()) {
      all.push_back(node);
    }
  }
  const Clock::time_point now = Clock::now();
  std::stable_partition(all.begin(), all.end(), [&](const std::string& node) {
    auto it = failed_.find(node);
    return it == failed_.end() || now > it->second + kFailedRecently;
  });
  return all;
}

bool RedisCluster::ApplySlots(const RedisValue& reply, const std::string& asked,
                              std::string* error) {
  if (reply.type != RedisValue::kArray || reply.elements.empty()) {
    *error = reply.type == RedisValue::kError
                 ? "CLUSTER SLOTS refused: " + Printable(reply.text)
                 : std::string("CLUSTER SLOTS gave no slot ranges");
    return false;
  }
  std::vector<int> slots(kRedisClusterSlots, -1);
  std::vector<std::string> nodes;
  std::vector<std::string> seen;
  for (const RedisValue& range : reply.elements) {
    if (range.type != RedisValue::kArray || range.elements.size() < 3 ||
        range.elements[0].type != RedisValue::kInteger ||
        range.elements[1].type != RedisValue::kInteger ||
        range.elements[0].integer < 0 ||
        range.elements[1].integer >= kRedisClusterSlots ||
        range.elements[0].integer > range.elements[1].integer) {
      *error = "malformed CLUSTER SLOTS range";
      return false;
    }
    const std::string primary = EntryNode(range.elements[2], asked);
    if (primary.empty()) continue;  // address unknown: MOVED tells it
    auto it = std::find(nodes.begin(), nodes.end(), primary);
    if (it == nodes.end()) it = nodes.insert(nodes.end(), primary);
    const int index = static_cast<int>(it - nodes.begin());
    for (long long slot = range.elements[0].integer;
         slot <= range.elements[1].integer; ++slot) {
      slots[static_cast<std::size_t>(slot)] = index;
    }
    for (std::size_t i = 2; i < range.elements.size(); ++i) {
      const std::string node = EntryNode(range.elements[i], asked);
      if (!node.empty() &&
          std::find(seen.begin(), seen.end(), node) == seen.end()) {
        seen.push_back(node);
      }
    }
  }
  if (nodes.empty()) {
    *error = "CLUSTER SLOTS named no primary";
    return false;
  }
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = nodes != nodes_ || slots != slots_;
    // Nodes of the old map stay known: a failed primary that comes back
    // as a replica can still tell the map.
    for (const std::string& node : known_) {
      if (std::find(seen.begin(), seen.end(), node) == seen.end()) {
        seen.push_back(node);
      }
    }
    slots_ = std::move(slots);
    nodes_ = std::move(nodes);
    known_ = std::move(seen);
  }
  if (changed) {
    std::string primaries;
    for (const std::string& node : Primaries()) {
      primaries += (primaries.empty() ? "" : ",") + node;
    }
    LOG(INFO) << "Redis cluster map of tag='" << tag_ << "' read from " << asked
              << ": primaries " << primaries;
  }
  return true;
}

void RedisCluster::EndRefresh(bool ok) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshing_ = false;
  if (ok) stale_ = false;
}

std::shared_ptr<RedisServer> RedisCluster::PoolOf(const std::string& node) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = pools_.find(node);
  if (it != pools_.end()) return it->second;
  RedisEndpoint endpoint = seeds_.front();
  if (!ParseEndpoint(node, &endpoint)) {
    LOG(ERROR) << "Bad Redis cluster node address '" << Printable(node)
               << "', tag='" << tag_ << "'";
  }
  auto pool = std::make_shared<RedisServer>(tag_, endpoint);
  if (closed_) pool->Close();
  pools_.emplace(node, pool);
  return pool;
}

void RedisCluster::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  for (auto& [node, pool] : pools_) pool->Close();
}

bool RedisCluster::ParseRedirect(const std::string& text,
                                 const std::string& from, bool* ask, int* slot,
                                 std::string* node) {
  std::size_t at = 0;
  if (text.compare(0, 6, "MOVED ") == 0) {
    *ask = false;
    at = 6;
  } else if (text.compare(0, 4, "ASK ") == 0) {
    *ask = true;
    at = 4;
  } else {
    return false;
  }
  const std::size_t space = text.find(' ', at);
  if (space == std::string::npos || space == at || space - at > 5) {
    return false;
  }
  const std::string number = text.substr(at, space - at);
  if (!std::all_of(number.begin(), number.end(),
                   [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const int parsed = std::atoi(number.c_str());
  if (parsed >= kRedisClusterSlots) return false;
  std::string address = text.substr(space + 1);
  if (!address.empty() && address[0] == ':') {
    const std::string host = HostOf(from);
    address = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
              address;
  }
  RedisEndpoint endpoint;
  if (address.empty() || address[0] == '/' ||
      !ParseEndpoint(address, &endpoint)) {
    return false;
  }
  *slot = parsed;
  *node = NodeName(endpoint.host, endpoint.port);
  return true;
}

}  // namespace redis_internal

bool Redis::IsCluster() { return !FLAGS_redis_cluster_nodes.empty(); }

}  // namespace vel
