// LeagueRecovery: recovery mode's part for a league. Rebuilds the league's
// Redis state from MariaDB: the tier hash (league_tier) with the round
// counter, and the current period's league hash (league_placement rows of
// the current round, in the order the players were placed), so that every
// player is in the cohort it was in; once the rankings are rebuilt, places
// the players who have a score of the current period but no placement row.
// Host main thread (recovery mode).
#pragma once

#include <cstdint>
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
  // The league's current round (the number of rollovers of its period) as
  // the database knows it: one more than the round the latest recorded
  // period end closed (league_round), plus the closed periods the archive
  // recorded after it; at least the latest round of a placement and one
  // more than the latest of a move. False, logged, on a failure.
  static bool CurrentRound(vel::Mariadb& client, const RankingOption& league,
                           std::int64_t* round);
  // Places, in cohorts of their tiers and within the cohort size, every
  // player of the league's current period ranking (rebuilt first) that
  // the rebuilt cohorts lack, the earliest ranking time first; their
  // placements go to the placement log. False, logged, on a failure.
  static bool PlaceUnplaced(const RankingOption& league);
};

}  // namespace plemox
