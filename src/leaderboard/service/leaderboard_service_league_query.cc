// Cohort queries of leagues: the requesting player's cohort of the current
// period, read whole (a cohort holds at most the league's cohort size),
// ranked and numbered here, then sliced as the query's range asks.
#include <glog/logging.h>

#include <algorithm>
#include <set>

#include "database/cache/redis_key.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/league_query.h"

namespace plemox {
namespace {

using Query = Leaderboard::LeaderboardQuery::Request;
using Range = Leaderboard::LeaderboardQuery::Range;
using Leaderboard::LeaderboardQuery;

// The current time span of a league's period.
LeaderboardQuery::TimeSpan CurrentTimespanOf(const LeagueRules& rules) {
  if (rules.period == "day") return LeaderboardQuery::kDaily;
  if (rules.period == "month") return LeaderboardQuery::kMonthly;
  return LeaderboardQuery::kWeekly;
}

// The records of `ranked` that `query`'s range selects; `member_key` is the
// requesting player's.
std::vector<QueryResult::Record> Slice(
    const Query& query, const std::string& member_key,
    std::vector<QueryResult::Record> ranked) {
  const Range& range = query.range();
  if (range.type() == Range::kAll) return ranked;
  const auto size = static_cast<std::int64_t>(ranked.size());
  std::int64_t begin = range.begin();
  std::int64_t end = range.end();
  if (range.type() != Range::kFromTop) {
    std::int64_t at = -1;
    for (std::int64_t i = 0; i < size; ++i) {
      if (MakeMemberKey(ranked[i].account) == member_key) at = i;
    }
    if (at < 0) return {};
    begin = at + std::max<std::int64_t>(begin, -at);
    end = at + std::min<std::int64_t>(end, size - 1 - at);
  }
  std::vector<QueryResult::Record> out;
  for (std::int64_t i = std::max<std::int64_t>(begin, 0); i <= end && i < size;
       ++i) {
    out.push_back(std::move(ranked[i]));
  }
  return out;
}

}  // namespace

std::string service_internal::TierOfCohort(const std::string& cohort_id) {
  const std::size_t dash = cohort_id.rfind('-');
  return dash == std::string::npos ? cohort_id : cohort_id.substr(0, dash);
}

std::string service_internal::CheckCohortQuery(const Query& query) {
  RankingOption option;
  RankingOptions::GetRankingOption(query.leaderboard_id(), &option);
  if (!option.is_league()) {
    return "cohort queries need a league (leaderboard " +
           query.leaderboard_id() + " is none)";
  }
  if (!query.has_account_id()) return "a cohort query needs the account_id";
  if (query.has_period_start()) {
    return "a cohort query reads the current period: no period_start";
  }
  if (query.time_span() != CurrentTimespanOf(*option.league)) {
    return "a cohort query reads the league's current " +
           option.league->period + " period: time_span " +
           TimespanToString(CurrentTimespanOf(*option.league));
  }
  return "";
}

void service_internal::QueryCohort(
    const Query& query,
    std::function<void(const std::shared_ptr<const QueryResult>&)> callback) {
  RankingOption option;
  RankingOptions::GetRankingOption(query.leaderboard_id(), &option);
  const std::string member_key =
      MakeMemberKey(vel::PlayerAccount(query.account_id().service_provider(),
                                       query.account_id().local_account()));
  const std::string ranking_key = RedisCache::LeagueRankingKey(
      query.leaderboard_id(), *option.league,
      ResetScheduleRegistry::MakeResetScheduleInfo(query.leaderboard_id()));
  RedisCache::GetCohort(
      query.leaderboard_id(), ranking_key, /*by_member=*/true, member_key,
      [query, member_key,
       callback = std::move(callback)](const RedisCache::Cohort& found) {
        auto result = std::make_shared<QueryResult>();
        if (found.status == RedisCache::Cohort::kNone ||
            found.status == RedisCache::Cohort::kWaiting) {
          result->refusal =
              found.status == RedisCache::Cohort::kNone
                  ? "The player is in no cohort of the league's current "
                    "period (a player joins one with its first score of the "
                    "period)"
                  : "The player waits for a cohort: the moves of the period "
                    "before are being applied; ask again in a moment";
          callback(result);
          return;
        }
        if (found.status != RedisCache::Cohort::kFound) {
          callback(result);
          return;
        }
        RedisCache::Cohort listed = found;
        if (query.collection() == LeaderboardQuery::kSocial) {
          // The player and the competitors who share its cohort.
          std::set<std::string> wanted = {member_key};
          for (const auto& competitor : query.competitors()) {
            wanted.insert(MakeMemberKey(vel::PlayerAccount(
                competitor.service_provider(), competitor.local_account())));
          }
          listed.entries.clear();
          for (const RedisCache::CohortEntry& entry : found.entries) {
            if (wanted.count(entry.member_key) != 0) {
              listed.entries.push_back(entry);
            }
          }
        }
        std::vector<QueryResult::Record> ranked;
        RedisCache::RankCohort(listed, query.ranking_type(), &ranked);
        result->total_player_count = static_cast<std::int64_t>(ranked.size());
        result->cohort_id = found.cohort_id;
        result->tier = TierOfCohort(found.cohort_id);
        result->records = Slice(query, member_key, std::move(ranked));
        for (QueryResult::Record& record : result->records) {
          record.tier = result->tier;
        }
        result->error = false;
        callback(result);
      });
}

}  // namespace plemox
