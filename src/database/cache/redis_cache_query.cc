// RedisCache: the entry points of the public and social ranking queries,
// where each query takes its path (the scripts or the command chain), and
// the steps both paths share: the checks and keys of a query, the sorting
// and numbering of a social list and the posting of the completion.
#include <glog/logging.h>

#include <algorithm>
#include <boost/asio/post.hpp>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/internal/redis_cache_chain.h"
#include "database/cache/internal/redis_cache_numbering.h"
#include "database/cache/internal/redis_cache_public_query.h"
#include "database/cache/internal/redis_cache_script.h"
#include "database/cache/internal/redis_cache_social_query.h"
#include "database/cache/redis_cache.h"
#include "database/cache/running_rank.h"
#include "database/cache/social_order.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;

}  // namespace

void RedisCache::PostQueryCompletion(const QueryCallback& callback,
                                     std::shared_ptr<QueryResult> result) {
  boost::asio::post(*the_cb_io_service, [callback, result = std::move(result)] {
    if (callback) callback(result);
  });
}

template <typename Query>
void RedisCache::StartQuery(
    std::shared_ptr<Query> query, const std::string& leaderboard_id,
    const vel::PlayerAccount& account, Timespan timespan, const Range& range,
    RankingType ranking_type, const boost::posix_time::ptime& week_time,
    QueryCallback callback,
    void (*requested)(const std::shared_ptr<Query>&,
                      void (*)(const std::shared_ptr<Query>&)),
    void (*script)(const std::shared_ptr<Query>&),
    void (*chain)(const std::shared_ptr<Query>&)) {
  LEADERBOARD_ASSERT(the_io_service) << "RedisCache is not initialised";
  query->leaderboard_id = leaderboard_id;
  query->account = account;
  query->timespan = timespan;
  query->range = range;
  query->ranking_type = ranking_type;
  query->week_time = week_time;
  query->callback = std::move(callback);
  // The one choice of the query's path, on the caller's thread.
  if (FLAGS_redis_cache_use_scripts) {
    requested(query, script);
    return;
  }
  boost::asio::post(*the_io_service,
                    [query, requested, chain] { requested(query, chain); });
}

// --- Public queries. -------------------------------------------------------

void RedisCache::GetPublicLeaderboard(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    Timespan timespan, const Range& range, RankingType ranking_type,
    const boost::posix_time::ptime& week_time, QueryCallback callback,
    std::shared_ptr<const LeagueRules> league) {
  VLOG(2) << "GetPublicLeaderboard called";
  auto query = std::make_shared<PublicQuery>();
  query->league = std::move(league);
  StartQuery(std::move(query), leaderboard_id, account, timespan, range,
             ranking_type, week_time, std::move(callback),
             &OnPublicLeaderboardRequested, &Script::GetPublicLeaderboard,
             &Chain::GetPublicLeaderboard);
}

void RedisCache::OnPublicLeaderboardRequested(
    const std::shared_ptr<PublicQuery>& query, PublicQueryPath read) {
  VLOG(2) << "OnPublicLeaderboardRequested called";
  const Range& range = query->range;

  // The caller checks these; a query that breaks them all the same is
  // answered in error rather than read with nonsense bounds.
  const char* broken_rule = nullptr;
  if (!IsValidTimespan(query->timespan)) {
    broken_rule = "unknown timespan";
  } else if (range.type() == LeaderboardQuery::Range::kAll) {
    if (!(range.begin() == 0 && range.end() == 0)) {
      broken_rule = "range.begin() == 0 && range.end() == 0";
    }
  } else if (range.type() == LeaderboardQuery::Range::kFromTop) {
    if (!(range.begin() >= 0)) {
      broken_rule = "range.begin() >= 0";
    } else if (!(range.begin() <= range.end())) {
      broken_rule = "range.begin() <= range.end()";
    }
  } else if (!(range.begin() <= range.end())) {
    broken_rule = "range.begin() <= range.end()";
  }
  if (broken_rule != nullptr) {
    LOG(ERROR) << "Failed to get public leaderboard: invalid query: "
               << broken_rule << ": leaderboard id: " << query->leaderboard_id
               << ", timespan: " << static_cast<int>(query->timespan)
               << query->AccountLabels() << query->RangeLabels();
    PostQueryCompletion(query->callback, std::make_shared<QueryResult>());
    return;
  }

  query->key = MakeLeaderboardKey(query->leaderboard_id, query->timespan,
                                  query->week_time);
  query->dense_key = MakeLeaderboardDenseKey(query->leaderboard_id,
                                             query->timespan, query->week_time);
  read(query);
}

// --- Social queries. -------------------------------------------------------

void RedisCache::GetSocialLeaderboard(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const std::vector<vel::PlayerAccount>& competitors, Timespan timespan,
    const Range& range, RankingType ranking_type,
    const boost::posix_time::ptime& week_time, QueryCallback callback,
    std::shared_ptr<const LeagueRules> league) {
  VLOG(2) << "GetSocialLeaderboard called";
  auto query = std::make_shared<SocialQuery>();
  query->competitors = competitors;
  query->league = std::move(league);
  StartQuery(std::move(query), leaderboard_id, account, timespan, range,
             ranking_type, week_time, std::move(callback),
             &OnSocialLeaderboardRequested, &Script::GetSocialLeaderboard,
             &Chain::GetSocialLeaderboard);
}

void RedisCache::OnSocialLeaderboardRequested(
    const std::shared_ptr<SocialQuery>& query, SocialQueryPath read) {
  VLOG(2) << "OnSocialLeaderboardRequested called";
  query->result = std::make_shared<QueryResult>();
  if (query->range.type() != LeaderboardQuery::Range::kAll ||
      !IsValidTimespan(query->timespan)) {
    LOG(ERROR) << "Failed to query social leaderboard: invalid query: "
               << "only the range type all is served: leaderboard id="
               << query->leaderboard_id
               << ", timespan=" << static_cast<int>(query->timespan)
               << ", range type=" << query->range.type()
               << ", account_id=" << query->account.id();
    PostQueryCompletion(query->callback, query->result);
    return;
  }
  query->result->total_player_count =
      static_cast<std::int64_t>(query->competitors.size()) +
      (query->account.id().empty() ? 0 : 1);
  query->key = MakeLeaderboardKey(query->leaderboard_id, query->timespan,
                                  query->week_time);
  query->timestamp_key = MakeLeaderboardTimestampKey(query->key);
  read(query);
}

void RedisCache::RankSocialList(const std::shared_ptr<SocialQuery>& query) {
  std::vector<SocialEntry>& social_list = query->social_list;
  std::stable_sort(social_list.begin(), social_list.end(),
                   [](const SocialEntry& a, const SocialEntry& b) {
                     return SocialEntryComesFirst(a.score, a.ranking_key,
                                                  b.score, b.ranking_key);
                   });

  RunningRank running_rank(query->ranking_type);
  for (SocialEntry& entry : social_list) {
    QueryResult::Record record;
    const std::string tie = MemberTiebreakText(entry.ranking_key);
    record.rank = running_rank.Next(entry.score, tie);
    record.score = entry.score;
    redis_cache::SetTiebreak(tie, &record);
    record.account = std::move(entry.account);
    record.display_name = std::move(entry.display_name);
    record.metadata = std::move(entry.metadata);
    record.tier = std::move(entry.tier);
    query->result->records.push_back(std::move(record));
  }
  if (static_cast<std::int64_t>(query->result->records.size()) !=
      query->result->total_player_count) {
    LOG(ERROR) << "Failed to query social leaderboard: listed "
               << query->result->records.size() << " players, expected "
               << query->result->total_player_count << ": key=" << query->key;
    PostQueryCompletion(query->callback, query->result);
    return;
  }
  query->result->error = false;
  PostQueryCompletion(query->callback, query->result);
}

}  // namespace plemox
