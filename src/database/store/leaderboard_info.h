// LeaderboardInfo: one score table found in the database by the recovery
// reads, with the leaderboard and timespan it belongs to and the row counts
// that the recovery run fills in. A plain value; copy it freely.
#pragma once

#include <cstdint>
#include <string>

#include "leaderboard.pb.h"

namespace plemox {

struct LeaderboardInfo {
  // The table as the database names it, e.g. "stage1_daily".
  std::string table_name;
  // The name without "_" + timespan word: "stage1", or "stage1_20210208" for
  // a dated weekly table.
  std::string leaderboard_id;
  Leaderboard::LeaderboardQuery::TimeSpan timespan =
      Leaderboard::LeaderboardQuery::kAllTime;
  // Rows in the table; 0 until the recovery run counts them.
  std::uint64_t db_row_count = 0;
  // Rows in the matching cache ranking; 0 until the recovery run counts them.
  std::uint64_t cache_row_count = 0;
};

}  // namespace plemox
