// Forgets a test's leaderboards (keys, tables, reset log rows) when it goes
// out of scope, however the test ends. Declare it before the server under
// test, so that it runs after the server is gone. Test thread only.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/store_probe.h"

namespace plemox_test {

class LeaderboardCleanup {
 public:
  // `prefixes`: leaderboard ids, or prefixes of them. `probe` must outlive
  // this object.
  LeaderboardCleanup(StoreProbe& probe, std::vector<std::string> prefixes)
      : probe_(probe), prefixes_(std::move(prefixes)) {}
  ~LeaderboardCleanup() {
    for (const std::string& prefix : prefixes_) {
      probe_.ForgetLeaderboards(prefix);
    }
  }
  LeaderboardCleanup(const LeaderboardCleanup&) = delete;
  LeaderboardCleanup& operator=(const LeaderboardCleanup&) = delete;

 private:
  StoreProbe& probe_;
  std::vector<std::string> prefixes_;
};

}  // namespace plemox_test
