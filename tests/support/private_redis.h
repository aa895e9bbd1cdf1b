// A redis-server of a test's own on a free port, for tests that need a Redis
// no other test uses (the master key "LEADERBOARD_MASTER" is one per Redis,
// so election tests cannot share the suite's Redis with other hosts).
// Started by the constructor (the test fails when it does not come up),
// killed by the destructor. Fault tests pause, kill and restart it. Test
// thread only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace plemox_test {

class PrivateRedis {
 public:
  // `extra` options are appended to the command line (a later option wins),
  // e.g. {"--replicaof", "127.0.0.1", "6379"}. With `tls` the port speaks
  // TLS only (`extra` then names the certificates: --tls-cert-file ...).
  explicit PrivateRedis(std::vector<std::string> extra = {}, bool tls = false);
  ~PrivateRedis();
  PrivateRedis(const PrivateRedis&) = delete;
  PrivateRedis& operator=(const PrivateRedis&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Freezes the server (SIGSTOP): connections stay open, nothing answers.
  void Pause();
  // Lets a paused server run again (SIGCONT).
  void Resume();
  // Kills the server (SIGKILL; it keeps nothing) and waits for its end.
  void Kill();
  // Starts a server on the same port after Kill (empty; the test fails
  // when it does not come up); harmless while one runs.
  void Start();
  // Kill, then Start.
  void Restart();
  // "--redis_port=<port>" for a HostProcess (a later flag wins).
  std::string HostFlag() const {
    return "--redis_port=" + std::to_string(port_);
  }

 private:
  int port_ = 0;
  std::vector<std::string> extra_;
  bool tls_ = false;
  pid_t pid_ = -1;
};

}  // namespace plemox_test
