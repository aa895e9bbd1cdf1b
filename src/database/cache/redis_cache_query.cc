// RedisCache: public and social ranking queries.
#include <glog/logging.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cmath>
#include <limits>
#include <sstream>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/internal/redis_cache_numbering.h"
#include "database/cache/internal/redis_cache_public_query.h"
#include "database/cache/internal/redis_cache_social_query.h"
#include "database/cache/internal/redis_commands.h"
#include "database/cache/internal/running_rank.h"
#include "database/cache/redis_cache.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;
using redis_cache::AppendRankedRanking;
using redis_cache::AppendRankedSlice;
using redis_cache::CountDistinctGreaterScores;
using redis_cache::kServerTag;
using redis_cache::ReadSucceeded;
using redis_cache::RunningRank;
using redis_cache::SaturatingAdd;
using vel::Redis;

// Which read failed while a first rank was computed.
enum class RankFailure {
  kNone,
  kGreaterCount,   // ZCOUNT of the strictly greater scores
  kSameCount,      // ZCOUNT of the members sharing the score (or it was 0)
  kDenseRank,      // ZREVRANK in the dense set
  kDistinctCount,  // counting distinct greater scores in the ranking
};

// The rank of the member at 0-based `position` holding `score` by
// `ranking_type`. For the competition numbering, *same_count (when not null)
// receives the number of members holding `score`, which must not be 0.
RankFailure GetRankAt(const std::string& key, const std::string& dense_key,
                      int ranking_type, std::int64_t position, double score,
                      std::int64_t* rank, std::int64_t* same_count) {
  if (ranking_type == LeaderboardQuery::Request::kPosition) {
    *rank = position + 1;
    return RankFailure::kNone;
  }
  const std::string score_text = ScoreToText(score);
  if (ranking_type == LeaderboardQuery::Request::kCompetition) {
    std::int64_t greater = 0;
    if (Redis::ZCount(key, "(" + score_text, "+inf", &greater, kServerTag) !=
        Redis::kSuccess) {
      return RankFailure::kGreaterCount;
    }
    *rank = greater + 1;
    if (same_count != nullptr) {
      if (Redis::ZCount(key, score_text, score_text, same_count, kServerTag) !=
              Redis::kSuccess ||
          *same_count == 0) {
        return RankFailure::kSameCount;
      }
    }
    return RankFailure::kNone;
  }
  std::int64_t dense_position = 0;
  const Redis::Result result =
      Redis::ZRevRank(dense_key, score_text, &dense_position, kServerTag);
  if (result == Redis::kSuccess) {
    *rank = dense_position + 1;
    return RankFailure::kNone;
  }
  if (result != Redis::kNoValue) return RankFailure::kDenseRank;
  VLOG(1) << "Score not in the dense set, counting distinct scores: " << key
          << ", dense key: " << dense_key << ", score: " << score_text;
  std::int64_t distinct = 0;
  if (!CountDistinctGreaterScores(key, position, score, &distinct)) {
    return RankFailure::kDistinctCount;
  }
  *rank = distinct + 1;
  return RankFailure::kNone;
}

// The codes the log line gives each failed read of a first rank:
// "internal error <code>: ...".
struct RankFailureCodes {
  const char* greater_count;
  const char* same_count;
  const char* dense_rank;  // also counting distinct scores
};

// Logs a failed first-rank read: "<failure>internal error <code>: <key>",
// ", dense key: <dense key>" for the dense reads, then `labels`, `tail` and,
// for a failed same-score count with `same_count` given,
// ", same_ranker_count_for_first: <n>". REQUIRES: rank_failure != kNone.
void LogRankFailure(RankFailure rank_failure, const char* failure,
                    const RankFailureCodes& codes, const std::string& key,
                    const std::string& dense_key, const std::string& labels,
                    const std::string& tail, const std::int64_t* same_count) {
  const bool dense = rank_failure == RankFailure::kDenseRank ||
                     rank_failure == RankFailure::kDistinctCount;
  const char* code = dense ? codes.dense_rank
                     : rank_failure == RankFailure::kSameCount
                         ? codes.same_count
                         : codes.greater_count;
  std::ostringstream line;
  line << failure << "internal error " << code << ": " << key;
  if (dense) line << ", dense key: " << dense_key;
  line << labels << tail;
  if (rank_failure == RankFailure::kSameCount && same_count != nullptr) {
    line << ", same_ranker_count_for_first: " << *same_count;
  }
  LOG(ERROR) << line.str();
}

// NaN sorts below every number, so the order stays a strict weak order.
double SortableScore(double score) {
  return std::isnan(score) ? -std::numeric_limits<double>::infinity() : score;
}

}  // namespace

void RedisCache::PostQueryCompletion(const QueryCallback& callback,
                                     std::shared_ptr<QueryResult> result) {
  boost::asio::post(*the_cb_io_service, [callback, result = std::move(result)] {
    if (callback) callback(result);
  });
}

// --- Public queries. -------------------------------------------------------

void RedisCache::GetPublicLeaderboard(const std::string& leaderboard_id,
                                      const vel::PlayerAccount& account,
                                      Timespan timespan, const Range& range,
                                      RankingType ranking_type,
                                      const boost::posix_time::ptime& week_time,
                                      QueryCallback callback) {
  VLOG(2) << "GetPublicLeaderboard called";
  LEADERBOARD_ASSERT(the_io_service) << "RedisCache is not initialised";
  auto query = std::make_shared<PublicQuery>();
  query->leaderboard_id = leaderboard_id;
  query->account = account;
  query->timespan = timespan;
  query->range = range;
  query->ranking_type = ranking_type;
  query->week_time = week_time;
  query->use_scripts = FLAGS_redis_cache_use_scripts;
  query->callback = std::move(callback);
  if (query->use_scripts) {
    // Checked and written to Redis from this thread, without blocking it.
    OnPublicLeaderboardRequested(query);
    return;
  }
  boost::asio::post(*the_io_service,
                    [query] { OnPublicLeaderboardRequested(query); });
}

void RedisCache::OnPublicLeaderboardRequested(
    const std::shared_ptr<PublicQuery>& query) {
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
  if (query->use_scripts) {
    GetPublicLeaderboardByScript(query);
    return;
  }

  std::int64_t total = 0;
  if (Redis::ZCard(query->key, &total, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to get total player count: " << query->key
               << query->AccountLabels()
               << ", timespan: " << static_cast<int>(query->timespan)
               << query->RangeLabels();
    PostQueryCompletion(query->callback, std::make_shared<QueryResult>());
    return;
  }

  auto result = std::make_shared<QueryResult>();
  result->total_player_count = total;
  switch (range.type()) {
    case LeaderboardQuery::Range::kAll:
      GetPublicLeaderboardAll(query, std::move(result));
      break;
    case LeaderboardQuery::Range::kFromTop:
      GetPublicLeaderboardFromTop(query, std::move(result));
      break;
    default:
      GetPublicLeaderboardNearby(query, std::move(result));
      break;
  }
}

void RedisCache::GetPublicLeaderboardAll(
    const std::shared_ptr<PublicQuery>& query,
    std::shared_ptr<QueryResult> result) {
  Redis::ScoredMembers members;
  if (Redis::ZRevRange(query->key, 0, -1, true, &members, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to get public leaderboard - all: " << query->key
               << query->AccountLabels() << query->RangeLabels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }
  AppendRankedRanking(members, query->ranking_type, query->key, result.get());
  VLOG(2) << "Succeed to get public leaderboard - all: " << query->key
          << ", total player count: " << result->total_player_count
          << ", ranking count: " << result->records.size();
  result->error = false;
  PostQueryCompletion(query->callback, std::move(result));
}

void RedisCache::GetPublicLeaderboardFromTop(
    const std::shared_ptr<PublicQuery>& query,
    std::shared_ptr<QueryResult> result) {
  const Range& range = query->range;
  const char* const failure = "Failed to get public leaderboard - from top: ";
  Redis::ScoredMembers members;
  if (Redis::ZRevRange(query->key, range.begin(), range.end(), true, &members,
                       kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << failure << query->key << query->AccountLabels()
               << query->RangeLabels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  if (!members.empty()) {
    std::int64_t first_rank = 0;
    std::int64_t same_count_for_first = 0;
    const RankFailure rank_failure = GetRankAt(
        query->key, query->dense_key, query->ranking_type, range.begin(),
        members.front().second, &first_rank, &same_count_for_first);
    if (rank_failure != RankFailure::kNone) {
      LogRankFailure(rank_failure, failure, {"2-1", "2-2", "3"}, query->key,
                     query->dense_key,
                     query->AccountLabels() + query->RangeLabels(), "",
                     &same_count_for_first);
      PostQueryCompletion(query->callback, std::move(result));
      return;
    }
    AppendRankedSlice(members, query->ranking_type, first_rank,
                      same_count_for_first, result.get());
  }

  VLOG(2) << "Succeed to get public leaderboard - from top: " << query->key
          << query->RangeLabels()
          << ", total player count: " << result->total_player_count
          << ", ranking count: " << result->records.size();
  result->error = false;
  PostQueryCompletion(query->callback, std::move(result));
}

void RedisCache::GetPublicLeaderboardNearby(
    const std::shared_ptr<PublicQuery>& query,
    std::shared_ptr<QueryResult> result) {
  const Range& range = query->range;
  const char* const failure = "Failed to get public leaderboard - nearby: ";
  const std::string member_key = MakeMemberKey(query->account);
  const std::string timestamp_key = MakeLeaderboardTimestampKey(query->key);
  const auto append_placeholder = [&] {
    QueryResult::Record record;
    record.account = query->account;
    result->records.push_back(std::move(record));
    result->error = false;
    PostQueryCompletion(query->callback, std::move(result));
  };

  std::string ranking_key;
  if (!ReadSucceeded(
          Redis::HGet(timestamp_key, member_key, &ranking_key, kServerTag))) {
    LOG(ERROR) << failure << "failed to get ranking key: " << query->key
               << ", leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key << query->RangeLabels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }
  if (ranking_key.empty()) {
    append_placeholder();
    return;
  }
  // ", leaderboard timestamp key: <k>, member ranking key: <rk>, range ..."
  const auto labels = [&] {
    std::ostringstream text;
    text << ", leaderboard timestamp key: " << timestamp_key
         << ", member ranking key: " << ranking_key << query->RangeLabels();
    return text.str();
  };

  std::int64_t position = 0;
  const Redis::Result rank_result =
      Redis::ZRevRank(query->key, ranking_key, &position, kServerTag);
  if (rank_result == Redis::kNoValue) {
    VLOG(2) << "Succeed to get public leaderboard - nearby: "
            << " there is no member rank: " << query->key << labels();
    append_placeholder();
    return;
  }
  if (rank_result != Redis::kSuccess) {
    LOG(ERROR) << failure << "failed to get rank: " << query->key << labels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  if (range.begin() == 0 && range.end() == 0) {
    double score = 0.0;
    const Redis::Result score_result =
        Redis::ZScore(query->key, ranking_key, &score, kServerTag);
    if (score_result == Redis::kNoValue) {
      // Removed between the two reads.
      append_placeholder();
      return;
    }
    if (score_result != Redis::kSuccess) {
      LOG(ERROR) << "Failed to get public leaderboard - nearby:"
                 << " failed to get score: " << query->key << labels();
      PostQueryCompletion(query->callback, std::move(result));
      return;
    }
    std::int64_t rank = 0;
    const RankFailure rank_failure =
        GetRankAt(query->key, query->dense_key, query->ranking_type, position,
                  score, &rank, nullptr);
    if (rank_failure != RankFailure::kNone) {
      std::ostringstream score_label;
      score_label << ", member score: " << score;
      LogRankFailure(rank_failure, failure, {"2", "2", "3"}, query->key,
                     query->dense_key, labels(), score_label.str(), nullptr);
      PostQueryCompletion(query->callback, std::move(result));
      return;
    }
    QueryResult::Record record;
    record.rank = rank;
    record.score = score;
    record.account = query->account;
    result->records.push_back(std::move(record));
    result->error = false;
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  // A window that ends above the top is empty; a negative stop would make
  // Redis count from the bottom instead.
  const std::int64_t start =
      std::max<std::int64_t>(0, SaturatingAdd(position, range.begin()));
  const std::int64_t stop = SaturatingAdd(position, range.end());
  if (stop < 0) {
    VLOG(2) << "Succeed to get public leaderboard - nearby: "
            << "the window ends above the top: " << query->key << labels();
    result->error = false;
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  Redis::ScoredMembers members;
  if (Redis::ZRevRange(query->key, start, stop, true, &members, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to get public leaderboard- nearby: "
               << "internal error 4: " << query->key << labels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }
  if (!members.empty()) {
    std::int64_t first_rank = 0;
    std::int64_t same_count_for_first = 0;
    const RankFailure rank_failure =
        GetRankAt(query->key, query->dense_key, query->ranking_type, start,
                  members.front().second, &first_rank, &same_count_for_first);
    if (rank_failure != RankFailure::kNone) {
      LogRankFailure(rank_failure, failure, {"6", "2-2", "7"}, query->key,
                     query->dense_key, labels(), "", &same_count_for_first);
      PostQueryCompletion(query->callback, std::move(result));
      return;
    }
    AppendRankedSlice(members, query->ranking_type, first_rank,
                      same_count_for_first, result.get());
  }
  VLOG(2) << "Succeed to get public leaderboard - nearby: " << query->key
          << labels() << ", total player count: " << result->total_player_count
          << ", ranking count: " << result->records.size();
  result->error = false;
  PostQueryCompletion(query->callback, std::move(result));
}

// --- Social queries. -------------------------------------------------------

void RedisCache::GetSocialLeaderboard(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const std::vector<vel::PlayerAccount>& competitors, Timespan timespan,
    const Range& range, RankingType ranking_type,
    const boost::posix_time::ptime& week_time, QueryCallback callback) {
  VLOG(2) << "GetSocialLeaderboard called";
  LEADERBOARD_ASSERT(the_io_service) << "RedisCache is not initialised";
  auto query = std::make_shared<SocialQuery>();
  query->leaderboard_id = leaderboard_id;
  query->account = account;
  query->competitors = competitors;
  query->timespan = timespan;
  query->range = range;
  query->ranking_type = ranking_type;
  query->week_time = week_time;
  query->use_scripts = FLAGS_redis_cache_use_scripts;
  query->callback = std::move(callback);
  if (query->use_scripts) {
    // Checked and written to Redis from this thread, without blocking it.
    OnSocialLeaderboardRequested(query);
    return;
  }
  boost::asio::post(*the_io_service,
                    [query] { OnSocialLeaderboardRequested(query); });
}

void RedisCache::OnSocialLeaderboardRequested(
    const std::shared_ptr<SocialQuery>& query) {
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
  if (query->use_scripts) {
    GetSocialLeaderboardByScript(query);
    return;
  }

  std::vector<std::string> friend_keys;
  friend_keys.reserve(query->competitors.size());
  for (const auto& competitor : query->competitors) {
    friend_keys.push_back(MakeMemberKey(competitor));
  }
  std::vector<std::string> ranking_keys;
  const Redis::Result result = Redis::HMGet(query->timestamp_key, friend_keys,
                                            &ranking_keys, kServerTag);
  if (!ReadSucceeded(result) || ranking_keys.size() != friend_keys.size()) {
    LOG(ERROR) << "Failed to query social leaderboard, Error occurred while "
                  "acquiring friend's key: account_id="
               << query->account.id()
               << ", leaderboard_timestamp_key=" << query->timestamp_key
               << ", requested_friends=" << friend_keys.size()
               << ", received_friends=" << ranking_keys.size();
    PostQueryCompletion(query->callback, query->result);
    return;
  }
  // A competitor without an entry gets a ranking key that names no member.
  for (std::size_t i = 0; i < ranking_keys.size(); ++i) {
    if (ranking_keys[i].empty()) ranking_keys[i] = "0:" + friend_keys[i];
  }
  query->friend_ranking_keys = ranking_keys;

  // The rest of the query issues blocking commands, so it goes back to the
  // cache's own threads rather than running on the client's completion one.
  Redis::ZScoreExtAsync(
      query->key, std::move(ranking_keys),
      [query](Redis::Result scores_result, const Redis::MemberScores& scores) {
        boost::asio::post(*the_io_service, [query, scores_result, scores] {
          OnSocialScoresReceived(query, scores_result, scores);
        });
      },
      kServerTag);
}

void RedisCache::OnSocialScoresReceived(
    const std::shared_ptr<SocialQuery>& query, Redis::Result scores_result,
    const Redis::MemberScores& scores) {
  VLOG(2) << "OnSocialScoresReceived called: result="
          << Redis::ResultName(scores_result);
  if (scores.size() != query->friend_ranking_keys.size()) {
    LOG(ERROR) << "Failed to query social leaderboard, "
               << "Error occurred while acquiring friend score"
               << ": key=" << query->key << ", ts_key=" << query->timestamp_key;
    PostQueryCompletion(query->callback, query->result);
    return;
  }

  std::vector<SocialEntry>& social_list = query->social_list;
  social_list.reserve(scores.size() + 1);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (!ReadSucceeded(scores[i].first)) {
      LOG(ERROR) << "Failed to query social leaderboard, "
                 << "Failed to get friend score: key=" << query->key
                 << ", ts_key=" << query->timestamp_key
                 << ", friend_ranking_key=" << query->friend_ranking_keys[i]
                 << ", result=" << static_cast<int>(scores[i].first);
      PostQueryCompletion(query->callback, query->result);
      return;
    }
    social_list.push_back(SocialEntry{query->competitors[i],
                                      query->friend_ranking_keys[i],
                                      scores[i].second});
  }

  if (!query->account.id().empty()) {
    const std::string member_key = MakeMemberKey(query->account);
    std::string ranking_key;
    if (!ReadSucceeded(Redis::HGet(query->timestamp_key, member_key,
                                   &ranking_key, kServerTag))) {
      LOG(ERROR) << "Failed to query social leaderboard, Could not find a "
                    "player's score: key="
                 << query->key << ", ts_key=" << query->timestamp_key
                 << ", player_key=" << member_key;
      PostQueryCompletion(query->callback, query->result);
      return;
    }
    double score = 0.0;
    if (ranking_key.empty()) {
      ranking_key = "0:" + member_key;
    } else if (!ReadSucceeded(Redis::ZScore(query->key, ranking_key, &score,
                                            kServerTag))) {
      LOG(ERROR) << "Failed to query social leaderboard: "
                 << "failed to get player score: key=" << query->key
                 << ", leaderboard timestamp key=" << query->timestamp_key
                 << ", player key=" << member_key
                 << ", player ranking key=" << ranking_key;
      PostQueryCompletion(query->callback, query->result);
      return;
    }
    social_list.push_back(SocialEntry{query->account, ranking_key, score});
  }
  RankSocialList(query);
}

void RedisCache::RankSocialList(const std::shared_ptr<SocialQuery>& query) {
  std::vector<SocialEntry>& social_list = query->social_list;
  // Highest score first; equal scores as the public ranking lists them:
  // the greater ranking key (the earlier time) first.
  std::stable_sort(social_list.begin(), social_list.end(),
                   [](const SocialEntry& a, const SocialEntry& b) {
                     const double score_a = SortableScore(a.score);
                     const double score_b = SortableScore(b.score);
                     if (score_a != score_b) return score_a > score_b;
                     return a.ranking_key > b.ranking_key;
                   });

  RunningRank running_rank(query->ranking_type);
  for (const SocialEntry& entry : social_list) {
    QueryResult::Record record;
    record.rank = running_rank.Next(entry.score);
    record.score = entry.score;
    record.account = entry.account;
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
