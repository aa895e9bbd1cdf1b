// Which optional rankings one leaderboard keeps. A value type; safe to read
// from any thread.
#pragma once

#include <string>

namespace plemox {

struct RankingOption {
  // Empty in the default option, which applies to every leaderboard that the
  // `ranking_options` manifest argument does not name.
  std::string leaderboard_id;
  // The leaderboard keeps an all-time ranking.
  bool enable_alltime = true;
  // The leaderboard keeps the dense rankings.
  bool enable_dense = true;
};

}  // namespace plemox
