// Failover tests' load: a thread that keeps submitting rising high scores
// for a fixed set of players and remembers what was answered as stored, and
// the WAIT barrier that tells which of those answers a replica holds.
// Test-only; construct, read and stop from the test thread.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "client/leaderboard_client.h"

namespace plemox_test {

class SubmissionLoad {
 public:
  // Starts submitting to `leaderboard_id` for players "p0".."p<accounts-1>",
  // round after round, the round number as score.
  SubmissionLoad(plemox::LeaderboardClient& client, std::string leaderboard_id,
                 int accounts);
  ~SubmissionLoad() { Stop(); }
  SubmissionLoad(const SubmissionLoad&) = delete;
  SubmissionLoad& operator=(const SubmissionLoad&) = delete;

  void Stop();

  // Player -> best score answered as stored, so far.
  std::map<std::string, double> Stored();
  int answered() const { return answered_; }
  std::chrono::steady_clock::time_point last_stored();

  // Waits up to `limit` for the load to be served again after a kill at
  // `killed` (with `answered_before` answers by then): more answers, one of
  // them stored after the kill. Returns how long after the kill that was,
  // printed for the log; a negative duration when it was not served in time.
  std::chrono::milliseconds WaitServedAgain(
      int answered_before, std::chrono::steady_clock::time_point killed,
      std::chrono::milliseconds limit = std::chrono::seconds(15));

 private:
  void Run();

  plemox::LeaderboardClient& client_;
  const std::string id_;
  const int accounts_;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::mutex mutex_;
  std::map<std::string, double> stored_;               // GUARDED_BY(mutex_)
  std::chrono::steady_clock::time_point last_stored_;  // GUARDED_BY(mutex_)
  std::thread thread_;
};

// SETs `marker_key` on the Redis primary on `primary_port`, then WAITs until
// a replica has acknowledged it. Replication is one ordered stream, so every
// write the primary ran before the marker is on the replica once this
// returns true. In a cluster the marker key must hash to a slot that primary
// serves.
bool ReplicaHasEverythingBefore(
    int primary_port, const std::string& marker_key = "plemox-failover-marker");

}  // namespace plemox_test
