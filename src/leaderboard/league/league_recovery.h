// LeagueRecovery: recovery mode's part for a league. Rebuilds the league's
// Redis state from MariaDB: the tier hash (league_tier) with the round
// counter, and the current period's league hash (league_placement rows of
// the current round, in the order the players were placed), so that every
// player is in the cohort it was in. Host main thread (recovery mode).
#pragma once

#include <string>

#include "common/ranking_option.h"

namespace vel {
class Mariadb;
}  // namespace vel

namespace plemox {

class LeagueRecovery {
 public:
  LeagueRecovery() = delete;

  // Rebuilds the Redis state of league `league` from `client`'s tables
  // (replacing what Redis holds of it). False, logged, on a failure.
  static bool Rebuild(vel::Mariadb& client, const RankingOption& league);
};

}  // namespace plemox
