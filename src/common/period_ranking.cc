#include "common/period_ranking.h"

namespace plemox {

std::vector<PeriodRanking> KeptPeriodRankings(const ResetScheduleInfo& info,
                                              bool with_previous) {
  using Leaderboard::LeaderboardQuery;
  const boost::posix_time::ptime no_week(boost::posix_time::not_a_date_time);
  const struct {
    bool kept;
    PeriodRanking current;
    PeriodRanking previous;
  } periods[] = {
      {info.KeepsDaily(),
       {LeaderboardQuery::kDaily, no_week},
       {LeaderboardQuery::kYesterday, no_week}},
      {info.KeepsWeekly(),
       {LeaderboardQuery::kWeekly, info.next_date_time},
       {LeaderboardQuery::kLastWeek, info.past_date_time}},
      {info.KeepsMonthly(),
       {LeaderboardQuery::kMonthly, no_week},
       {LeaderboardQuery::kLastMonth, no_week}},
  };
  std::vector<PeriodRanking> rankings;
  for (const auto& period : periods) {
    if (!period.kept) continue;
    rankings.push_back(period.current);
    if (with_previous) rankings.push_back(period.previous);
  }
  return rankings;
}

}  // namespace plemox
