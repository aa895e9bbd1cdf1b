// Which optional rankings one leaderboard keeps, and in which order it ranks.
// A value type; safe to read from any thread.
#pragma once

#include <memory>
#include <string>

#include "common/league_rules.h"

namespace plemox {

struct RankingOption {
  enum class SortOrder {
    // The highest score ranks first.
    kDescending,
    // The lowest score ranks first (lap times, fewest moves).
    kAscending,
  };

  enum class Tiebreak {
    // Equal scores rank the earlier first.
    kNone,
    // Equal scores rank the higher second score first, then the earlier.
    kDescending,
    // Equal scores rank the lower second score first, then the earlier.
    kAscending,
  };

  // Empty in the default option, which applies to every leaderboard that the
  // `ranking_options` manifest argument does not name.
  std::string leaderboard_id;
  // The leaderboard keeps an all-time ranking.
  bool enable_alltime = true;
  // The leaderboard keeps the dense rankings.
  bool enable_dense = true;
  SortOrder sort_order = SortOrder::kDescending;
  Tiebreak tiebreak = Tiebreak::kNone;
  // Set on a league (cohorts, tiers, moves at each period end); null on
  // every other leaderboard, so that copying an option costs them nothing.
  std::shared_ptr<const LeagueRules> league;

  // Redis ranks every leaderboard highest first. An ascending leaderboard
  // keeps its scores negated there, and only there, so that one ranking
  // machinery (reverse reads, the earlier of equal scores first, "keep the
  // higher", the dense sets) serves both orders: the score a client sends
  // goes through ToStoredScore before it reaches Redis, every score read
  // from Redis through FromStoredScore. Zero stays +0, so that a ranking
  // never holds both 0 and -0 (two dense members for one score). Scores in
  // the database, the archive and every answer are the real ones.
  double ToStoredScore(double score) const {
    if (sort_order == SortOrder::kDescending) return score;
    return score == 0 ? 0.0 : -score;
  }
  double FromStoredScore(double stored) const { return ToStoredScore(stored); }
  // The second score as Redis orders it: the greater ranks first, so an
  // ascending tiebreak keeps it negated (zero stays +0), as the sort order
  // does with the score.
  double ToStoredTiebreak(double tiebreak) const {
    if (tiebreak == 0) return 0.0;
    return this->tiebreak == Tiebreak::kAscending ? -tiebreak : tiebreak;
  }
  double FromStoredTiebreak(double stored) const {
    return ToStoredTiebreak(stored);
  }
  bool ascending() const { return sort_order == SortOrder::kAscending; }
  bool has_tiebreak() const { return tiebreak != Tiebreak::kNone; }
  bool is_league() const { return league != nullptr; }
  // Whether `other` orders records as this option does (the rules that
  // cannot change once a leaderboard has scores).
  bool SameOrder(const RankingOption& other) const {
    return sort_order == other.sort_order && tiebreak == other.tiebreak;
  }
};

}  // namespace plemox
