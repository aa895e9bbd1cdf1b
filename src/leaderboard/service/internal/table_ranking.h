// Which ranking recovery mode rebuilds from a score table, and with which
// ranking option (leaderboard_service_table_ranking.cc). Pure once the
// manifest's ranking options are loaded; recovery thread (or any thread).
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <string>

#include "database/cache/redis_key.h"
#include "database/store/leaderboard_info.h"
#include "leaderboard/core/ranking_options.h"

namespace plemox {
namespace service_internal {

// A ranking as the key builders take it (MakeLeaderboardKey).
struct TableRanking {
  std::string leaderboard_id;
  Timespan timespan = Leaderboard::LeaderboardQuery::kAllTime;
  boost::posix_time::ptime week_time{boost::posix_time::not_a_date_time};
};

// The ranking of a score table: its id and timespan, except that while
// weekly tables are dated (--use_leaderboard_table_with_date) a weekly table
// whose id ends in "_" and a date ("stage1_20210208_weekly") is the week of
// that date of the leaderboard before it ("stage1"), unless the manifest's
// ranking options name the whole id as a leaderboard. Both read the same
// key outside cluster mode ("leaderboard:stage1_20210208:weekly"); in
// cluster mode only the week carries the tag of "stage1"
// ("leaderboard:{stage1}_20210208:weekly") that the serving server reads.
TableRanking RankingOfTable(const LeaderboardInfo& info);

// The ranking option of a recovered leaderboard id: its own, else, for a
// dated weekly table's id ("stage1_20210208"), that of the leaderboard
// without the date; the default option when neither has one.
RankingOption RecoveryRankingOption(const std::string& leaderboard_id);

}  // namespace service_internal
}  // namespace plemox
