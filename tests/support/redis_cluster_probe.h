// Looks at (and restores) the test Redis Cluster of scripts/services.sh
// from outside the client under test: who serves which slot, and which key
// lands on which node. Test-only; any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace plemox_test {

class RedisClusterProbe {
 public:
  struct Node {
    std::string id;
    int port = 0;
    bool primary = false;
    bool failed = false;
    std::string master_id;  // a replica's primary, "-" for a primary
    std::vector<std::pair<int, int>> slots;  // ranges served, inclusive
  };

  // Test processes run in parallel: a test that takes a node down holds
  // the cluster alone (exclusive), the others share it. Waits up to a
  // minute for the lock; ok() tells whether it was taken.
  class Lease {
   public:
    explicit Lease(bool exclusive);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    bool ok() const { return fd_ >= 0; }

   private:
    int fd_ = -1;
  };

  // The cluster's nodes as the first answering node sees them (CLUSTER
  // NODES); empty when none answers.
  static std::vector<Node> Nodes();
  // The port of the primary that serves `slot`, 0 when unknown.
  static int OwnerOf(int slot);
  // The ports of the primaries that serve slots.
  static std::vector<int> Primaries();
  // A key "<prefix><n>" whose slot the primary on `port` serves.
  static std::string KeyServedBy(int port, const std::string& prefix);
  // Whether all six nodes answer and see the cluster as whole.
  static bool Healthy();
  // Starts nodes that are down again (scripts/services.sh start-cluster)
  // and waits until the cluster is whole; false on failure.
  static bool Restore();
  // The process id of the node on `port` (its pid file), -1 when unknown.
  static int PidOf(int port);
};

}  // namespace plemox_test
