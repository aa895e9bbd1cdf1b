// The rules of a league: a leaderboard whose players compete in cohorts of
// a few dozen, in tiers, the best of each cohort moving up a tier and the
// last moving down at every end of the league's period. A value type, read
// from the "league" member of a ranking option; safe to read from any
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plemox {

struct LeagueRules {
  // The most tiers a league may have, the longest tier name, and the
  // largest cohort: a cohort is read whole by every cohort query and at the
  // period end, so its size bounds that work.
  static constexpr std::size_t kMaxTiers = 32;
  static constexpr std::size_t kMaxTierNameLength = 32;
  static constexpr std::int64_t kMaxCohortSize = 1000;

  // The tiers in order, the lowest first; new players start in the first.
  std::vector<std::string> tiers;
  // The most players in one cohort.
  std::int64_t cohort_size = 0;
  // How many of each cohort move up (the first) and down (the last) at
  // every period end.
  std::int64_t promote = 0;
  std::int64_t relegate = 0;
  // A player placed in an earlier period who did not play in the one that
  // ends moves down a tier (true) or stays (false).
  bool absent_down = false;
  // "day", "week" or "month": the schedule whose periods the league's
  // cohorts live in. Empty until resolved against the leaderboard's
  // schedules (RankingOptions::ResolveLeaguePeriod).
  std::string period;

  // The index of tier `name`, or -1.
  int TierIndex(const std::string& name) const {
    for (std::size_t i = 0; i < tiers.size(); ++i) {
      if (tiers[i] == name) return static_cast<int>(i);
    }
    return -1;
  }
  bool operator==(const LeagueRules& other) const {
    return tiers == other.tiers && cohort_size == other.cohort_size &&
           promote == other.promote && relegate == other.relegate &&
           absent_down == other.absent_down && period == other.period;
  }
};

}  // namespace plemox
