// The fixture of the RedisCache tests against the shared test Redis: a
// leaderboard id per test, awaited submissions and queries, and small
// builders of schedules, options, ranges and expected results.
#pragma once

#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/time_parsers.hpp>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "support/cache_environment.h"
#include "support/command_monitor.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/redis/redis.h"

namespace plemox {
namespace redis_cache_test {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using Response = Leaderboard::ScoreSubmission::Response;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using vel::PlayerAccount;
using vel::Redis;
using namespace std::chrono_literals;

inline constexpr std::int64_t kT = 1612345678901;  // a millisecond timestamp
inline const ptime kNoWeek(boost::posix_time::not_a_date_time);

struct Outcome {
  bool error = true;
  RedisCache::SubmitStatus status = RedisCache::SubmitStatus::kFailed;
  RedisCache::NewRecords records;
};

using Records = RedisCache::NewRecords;

inline ResetScheduleInfo DayOnly() {
  ResetScheduleInfo schedule;
  schedule.has_day_schedule = true;
  return schedule;
}

inline ResetScheduleInfo WeekOnly() {
  ResetScheduleInfo schedule;
  schedule.has_week_schedule = true;
  return schedule;
}

inline RankingOption Option(bool enable_alltime, bool enable_dense) {
  RankingOption option;
  option.enable_alltime = enable_alltime;
  option.enable_dense = enable_dense;
  return option;
}

inline RedisCache::Range MakeRange(LeaderboardQuery::Range::Type type,
                                   std::int64_t begin, std::int64_t end) {
  RedisCache::Range range;
  range.set_type(type);
  range.set_begin(begin);
  range.set_end(end);
  return range;
}

inline std::vector<std::int64_t> Ranks(const QueryResult& result) {
  std::vector<std::int64_t> ranks;
  for (const auto& record : result.records) ranks.push_back(record.rank);
  return ranks;
}

inline std::vector<std::string> Ids(const QueryResult& result) {
  std::vector<std::string> ids;
  for (const auto& record : result.records) ids.push_back(record.account.id());
  return ids;
}

inline std::vector<double> Scores(const QueryResult& result) {
  std::vector<double> scores;
  for (const auto& record : result.records) scores.push_back(record.score);
  return scores;
}

// Every test works on a leaderboard id of its own and deletes its keys.
class RedisCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!CacheEnvironment::InitializeOnce(on_cluster_)) {
      GTEST_SKIP() << "this process runs the cache on the other Redis; run "
                      "the test case alone (as ctest does)";
    }
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    id_ = std::string("cache_test_") + info->name() + "_" +
          std::to_string(::getpid());
  }

  void TearDown() override {
    if (!IsSkipped()) DeleteCacheKeys(id_, extra_keys_);
  }

  // "leaderboard:<id>:<suffix>"
  std::string Key(const std::string& suffix) const {
    return CacheKey(id_, suffix);
  }

  Outcome Submit(const PlayerAccount& account, double score, int type,
                 std::int64_t timestamp,
                 const ResetScheduleInfo& schedule = ResetScheduleInfo(),
                 const RankingOption& option = RankingOption()) {
    auto done = std::make_shared<std::promise<Outcome>>();
    RedisCache::SubmitScore(id_, account, score, type, timestamp, schedule,
                            option, RedisCache::SubmissionExtras(),
                            [done](const RedisCache::SubmitOutcome& submitted) {
                              Outcome outcome;
                              outcome.status = submitted.status;
                              outcome.error = submitted.status !=
                                              RedisCache::SubmitStatus::kStored;
                              outcome.records = *submitted.new_records;
                              done->set_value(outcome);
                            });
    auto future = done->get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "submission did not complete";
      return Outcome();
    }
    return future.get();
  }

  QueryResult Await(const std::function<void(RedisCache::QueryCallback)>& run) {
    auto done = std::make_shared<std::promise<QueryResult>>();
    run([done](const std::shared_ptr<QueryResult>& result) {
      done->set_value(*result);
    });
    auto future = done->get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "query did not complete";
      return QueryResult();
    }
    return future.get();
  }

  QueryResult Query(const PlayerAccount& account, Timespan timespan,
                    const RedisCache::Range& range, int ranking_type,
                    const ptime& week_time = kNoWeek) {
    return Await([&](RedisCache::QueryCallback callback) {
      RedisCache::GetPublicLeaderboard(
          id_, account, timespan, range,
          static_cast<RedisCache::RankingType>(ranking_type), week_time,
          callback);
    });
  }

  QueryResult All(int ranking_type) {
    return Query(PlayerAccount(), LeaderboardQuery::kAllTime,
                 MakeRange(LeaderboardQuery::Range::kAll, 0, 0), ranking_type);
  }

  QueryResult FromTop(std::int64_t begin, std::int64_t end, int ranking_type) {
    return Query(PlayerAccount(), LeaderboardQuery::kAllTime,
                 MakeRange(LeaderboardQuery::Range::kFromTop, begin, end),
                 ranking_type);
  }

  QueryResult Nearby(const PlayerAccount& account, std::int64_t begin,
                     std::int64_t end, int ranking_type) {
    return Query(account, LeaderboardQuery::kAllTime,
                 MakeRange(LeaderboardQuery::Range::kNearby, begin, end),
                 ranking_type);
  }

  QueryResult Social(const PlayerAccount& account,
                     const std::vector<PlayerAccount>& competitors,
                     int ranking_type,
                     const RedisCache::Range& range =
                         MakeRange(LeaderboardQuery::Range::kAll, 0, 0)) {
    return Await([&](RedisCache::QueryCallback callback) {
      RedisCache::GetSocialLeaderboard(
          id_, account, competitors, LeaderboardQuery::kAllTime, range,
          static_cast<RedisCache::RankingType>(ranking_type), kNoWeek,
          callback);
    });
  }

  // Gives each player its score in every ranking, in list order with
  // increasing timestamps (so earlier players are earlier on ties).
  void Seed(const std::vector<std::pair<PlayerAccount, double>>& scores,
            const RankingOption& option = RankingOption()) {
    std::int64_t timestamp = kT;
    for (const auto& [account, score] : scores) {
      ASSERT_FALSE(Submit(account, score, ScoreSubmission::kHighScore,
                          timestamp++, ResetScheduleInfo(), option)
                       .error);
    }
  }

  // Set before SetUp: the cache runs on the test Redis Cluster.
  bool on_cluster_ = false;
  std::string id_;
  std::vector<std::string> extra_keys_;
  gflags::FlagSaver saver_;
};

inline PlayerAccount Player(const std::string& id) {
  return PlayerAccount("guest", id);
}

}  // namespace redis_cache_test
}  // namespace plemox
