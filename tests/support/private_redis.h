// A redis-server of a test's own on a free port, for tests that need a Redis
// no other test uses (the master key "LEADERBOARD_MASTER" is one per Redis,
// so election tests cannot share the suite's Redis with other hosts).
// Started by the constructor (the test fails when it does not come up),
// killed by the destructor. Test thread only.
#pragma once

#include <sys/types.h>

#include <string>

namespace plemox_test {

class PrivateRedis {
 public:
  PrivateRedis();
  ~PrivateRedis();
  PrivateRedis(const PrivateRedis&) = delete;
  PrivateRedis& operator=(const PrivateRedis&) = delete;

  int port() const { return port_; }

  // Kills the server (an outage); Start brings it back on the same port,
  // empty. Start fails the test when it does not come up.
  void Stop();
  void Start();
  // "--redis_port=<port>" for a HostProcess (a later flag wins).
  std::string HostFlag() const {
    return "--redis_port=" + std::to_string(port_);
  }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace plemox_test
