// Which period rankings a leaderboard keeps, as the list that score
// submission and deletion walk in the cache and in the database. Pure; any
// thread.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <vector>

#include "common/reset_schedule_info.h"
#include "leaderboard.pb.h"

namespace plemox {

// One period ranking: its timespan and the week that names a dated weekly
// table or key (not-a-date-time for every other timespan).
struct PeriodRanking {
  Leaderboard::LeaderboardQuery::TimeSpan timespan;
  boost::posix_time::ptime week_time;
};

// The current period rankings `info` keeps, in the order daily, weekly (week
// of the next reset), monthly. With `with_previous`, each is followed by the
// one it rolls over into: yesterday, last week (week of the past reset),
// last month. The all-time ranking is never in the list.
std::vector<PeriodRanking> KeptPeriodRankings(const ResetScheduleInfo& info,
                                              bool with_previous);

}  // namespace plemox
