// TiebreakColumns: the leaderboards whose score tables carry the
// tiebreak_score column (leaderboards with a tiebreak). The service names
// them at start-up, before the schema is installed, and when a leaderboard
// gains a tiebreak at run time; the table statements (MakeLeaderboardTable
// Queries) and the recovery reads ask. Tables of other leaderboards keep
// their exact form.
//
// Threads: any; one mutex guards the set.
#pragma once

#include <set>
#include <string>

namespace plemox {

class TiebreakColumns {
 public:
  TiebreakColumns() = delete;

  // Records that the tables of `leaderboard_id` carry the column.
  static void Add(const std::string& leaderboard_id);
  // Whether they do.
  static bool Has(const std::string& leaderboard_id);
  // Forgets every id (tests only).
  static void ClearForTesting();
};

}  // namespace plemox
