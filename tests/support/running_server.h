// RunningServer: the host running the leaderboard component, with a client
// connected and authenticated on it, for end-to-end tests. Start-up failures
// fail the test (with the host's log). Test thread only.
#pragma once

#include <memory>
#include <string>

#include "client/leaderboard_client.h"
#include "support/host_process.h"

namespace plemox_test {

class RunningServer {
 public:
  // Starts the host with `options`, waits for its TCP port, connects and
  // authenticates as `app_id`.
  RunningServer(HostProcess::Options options, const std::string& app_id);
  // Stops the host unless Stop was called.
  ~RunningServer();
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  // Closes the client and stops the host the way an operator does (SIGTERM);
  // the host must exit with 0. Every write it queued has finished (or
  // failed) once this returns.
  void Stop();

  HostProcess& host() { return *host_; }
  plemox::LeaderboardClient& client() { return client_; }

 private:
  std::unique_ptr<HostProcess> host_;
  plemox::LeaderboardClient client_;
  bool stopped_ = false;
};

}  // namespace plemox_test
