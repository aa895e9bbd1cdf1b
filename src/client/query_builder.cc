#include "client/query_builder.h"

namespace plemox {
namespace {

using Leaderboard::LeaderboardQuery;

QueryBuilder::Range MakeRange(LeaderboardQuery::Range::Type type, int64_t begin,
                              int64_t end) {
  QueryBuilder::Range range;
  range.set_type(type);
  range.set_begin(begin);
  range.set_end(end);
  return range;
}

LeaderboardQuery::Request MakeQuery(const std::string& leaderboard_id,
                                    LeaderboardQuery::Collection collection,
                                    QueryBuilder::TimeSpan time_span,
                                    QueryBuilder::RankingType ranking_type,
                                    const QueryBuilder::Range& range) {
  LeaderboardQuery::Request query;
  query.set_leaderboard_id(leaderboard_id);
  query.set_collection(collection);
  query.set_time_span(time_span);
  query.set_ranking_type(ranking_type);
  *query.mutable_range() = range;
  return query;
}

}  // namespace

Leaderboard::AccountId QueryBuilder::Account(
    const std::string& service_provider, const std::string& local_account) {
  Leaderboard::AccountId account;
  account.set_service_provider(service_provider);
  account.set_local_account(local_account);
  return account;
}

QueryBuilder::Range QueryBuilder::AllRange() {
  return MakeRange(LeaderboardQuery::Range::kAll, 0, 0);
}

QueryBuilder::Range QueryBuilder::TopRange(int64_t begin, int64_t end) {
  return MakeRange(LeaderboardQuery::Range::kFromTop, begin, end);
}

QueryBuilder::Range QueryBuilder::NearbyRange(int64_t begin, int64_t end) {
  return MakeRange(LeaderboardQuery::Range::kNearby, begin, end);
}

LeaderboardQuery::Request QueryBuilder::Public(
    const std::string& leaderboard_id, TimeSpan time_span,
    RankingType ranking_type, const Range& range,
    const std::optional<Leaderboard::AccountId>& account) {
  LeaderboardQuery::Request query =
      MakeQuery(leaderboard_id, LeaderboardQuery::kPublic, time_span,
                ranking_type, range);
  if (account) *query.mutable_account_id() = *account;
  return query;
}

LeaderboardQuery::Request QueryBuilder::Social(
    const std::string& leaderboard_id, const Leaderboard::AccountId& account,
    const std::vector<Leaderboard::AccountId>& competitors, TimeSpan time_span,
    RankingType ranking_type) {
  LeaderboardQuery::Request query =
      MakeQuery(leaderboard_id, LeaderboardQuery::kSocial, time_span,
                ranking_type, AllRange());
  *query.mutable_account_id() = account;
  for (const auto& competitor : competitors) {
    *query.add_competitors() = competitor;
  }
  return query;
}

}  // namespace plemox
