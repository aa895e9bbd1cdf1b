#include "support/redis_cluster_probe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/private_sentinel.h"
#include "support/test_env.h"
#include "vel/redis/redis_cluster_slot.h"

namespace plemox_test {
namespace {

std::vector<int> AllPorts() {
  std::vector<int> ports;
  for (int i = 0; i < 6; ++i) ports.push_back(RedisClusterPort() + i);
  return ports;
}

}  // namespace

RedisClusterProbe::Lease::Lease(bool exclusive) {
  const char* state = std::getenv("PLEMOX_STATE_DIR");
  if (state == nullptr) return;
  const std::string path = std::string(state) + "/cluster/tests.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const bool locked = WaitFor(
      [&] {
        return ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
      },
      std::chrono::seconds(60));
  if (!locked) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

RedisClusterProbe::Lease::~Lease() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

std::vector<RedisClusterProbe::Node> RedisClusterProbe::Nodes() {
  std::vector<Node> nodes;
  for (const int port : AllPorts()) {
    const std::vector<std::string> reply = RedisAt(port, {"CLUSTER", "NODES"});
    if (reply.size() != 1 || reply[0].find("myself") == std::string::npos) {
      continue;
    }
    std::istringstream lines(reply[0]);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      Node node;
      std::string address, flags, master, ping, pong, epoch, link, range;
      if (!(fields >> node.id >> address >> flags >> master >> ping >> pong >>
            epoch >> link)) {
        continue;
      }
      // "127.0.0.1:17101@27101"
      const std::size_t colon = address.rfind(':');
      node.port = std::atoi(address.c_str() + colon + 1);
      node.primary = flags.find("master") != std::string::npos;
      node.failed = flags.find("fail") != std::string::npos;
      node.master_id = master;
      while (fields >> range) {
        if (range[0] == '[') continue;  // a slot in migration
        const std::size_t dash = range.find('-');
        const int first = std::atoi(range.c_str());
        const int last = dash == std::string::npos
                             ? first
                             : std::atoi(range.c_str() + dash + 1);
        node.slots.emplace_back(first, last);
      }
      nodes.push_back(std::move(node));
    }
    break;
  }
  return nodes;
}

int RedisClusterProbe::OwnerOf(int slot) {
  for (const Node& node : Nodes()) {
    if (!node.primary || node.failed) continue;
    for (const auto& [first, last] : node.slots) {
      if (slot >= first && slot <= last) return node.port;
    }
  }
  return 0;
}

std::vector<int> RedisClusterProbe::Primaries() {
  std::vector<int> ports;
  for (const Node& node : Nodes()) {
    if (node.primary && !node.failed && !node.slots.empty()) {
      ports.push_back(node.port);
    }
  }
  return ports;
}

std::string RedisClusterProbe::KeyServedBy(int port,
                                           const std::string& prefix) {
  const std::vector<Node> nodes = Nodes();
  for (int n = 0; n < 100000; ++n) {
    const std::string key = prefix + std::to_string(n);
    const int slot = vel::RedisClusterSlot(key);
    for (const Node& node : nodes) {
      if (node.port != port) continue;
      for (const auto& [first, last] : node.slots) {
        if (slot >= first && slot <= last) return key;
      }
    }
  }
  return std::string();
}

bool RedisClusterProbe::Healthy() {
  for (const int port : AllPorts()) {
    const std::vector<std::string> info = RedisAt(port, {"CLUSTER", "INFO"});
    if (info.size() != 1 ||
        info[0].find("cluster_state:ok") == std::string::npos) {
      return false;
    }
  }
  return true;
}

bool RedisClusterProbe::Restore() {
  const std::string command =
      SourceDir() + "/scripts/services.sh start-cluster >/dev/null";
  return std::system(command.c_str()) == 0 && Healthy();
}

int RedisClusterProbe::PidOf(int port) {
  const char* state = std::getenv("PLEMOX_STATE_DIR");
  if (state == nullptr) return -1;
  std::ifstream file(std::string(state) + "/cluster/" + std::to_string(port) +
                     "/redis.pid");
  int pid = -1;
  return file >> pid ? pid : -1;
}

}  // namespace plemox_test
