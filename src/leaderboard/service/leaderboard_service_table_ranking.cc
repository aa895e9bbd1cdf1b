// Recovery mode: the ranking and the ranking option of a score table.
#include <cctype>

#include "common/date_time_text.h"
#include "common/leaderboard_flags.h"
#include "leaderboard/service/internal/table_ranking.h"

namespace plemox {
namespace service_internal {
namespace {

// The date text of an id that ends in "_" + 8 digits ("stage1_20210208"
// gives "20210208" and *base "stage1"); "" for any other id.
std::string DatedSuffix(const std::string& leaderboard_id, std::string* base) {
  constexpr std::size_t kDateSuffixLength = 9;  // "_" + YYYYMMDD
  const std::size_t size = leaderboard_id.size();
  if (size <= kDateSuffixLength ||
      leaderboard_id[size - kDateSuffixLength] != '_') {
    return "";
  }
  for (std::size_t i = size - kDateSuffixLength + 1; i < size; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(leaderboard_id[i]))) {
      return "";
    }
  }
  *base = leaderboard_id.substr(0, size - kDateSuffixLength);
  return leaderboard_id.substr(size - kDateSuffixLength + 1);
}

}  // namespace

TableRanking RankingOfTable(const LeaderboardInfo& info) {
  TableRanking ranking{info.leaderboard_id, info.timespan};
  RankingOption own;
  if (info.timespan != Leaderboard::LeaderboardQuery::kWeekly ||
      !FLAGS_use_leaderboard_table_with_date ||
      RankingOptions::GetRankingOption(info.leaderboard_id, &own)) {
    return ranking;
  }
  std::string base;
  const std::string date = DatedSuffix(info.leaderboard_id, &base);
  boost::posix_time::ptime week;
  if (!date.empty() &&
      ParseDateTime(date.substr(0, 4) + "-" + date.substr(4, 2) + "-" +
                        date.substr(6, 2) + " 00:00:00",
                    &week)) {
    ranking.leaderboard_id = base;
    ranking.week_time = week;
  }
  return ranking;
}

RankingOption RecoveryRankingOption(const std::string& leaderboard_id) {
  RankingOption option;
  if (RankingOptions::GetRankingOption(leaderboard_id, &option)) return option;
  std::string base;
  if (!DatedSuffix(leaderboard_id, &base).empty()) {
    RankingOptions::GetRankingOption(base, &option);
  }
  return option;
}

}  // namespace service_internal
}  // namespace plemox
