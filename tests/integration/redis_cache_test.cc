// RedisCache against the shared test Redis: submissions, public and social
// queries, checked through their results and through the Redis keys and
// members they leave behind.
#include "database/redis_cache.h"

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

#include "integration/cache_environment.h"
#include "integration/command_monitor.h"
#include "leaderboard/leaderboard_flags.h"
#include "support/test_env.h"
#include "vel/host_flags.h"
#include "vel/io_service.h"
#include "vel/redis.h"

namespace plemox {
namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using Response = Leaderboard::ScoreSubmission::Response;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using vel::PlayerAccount;
using vel::Redis;
using namespace std::chrono_literals;

constexpr std::int64_t kT = 1612345678901;  // a millisecond timestamp
const ptime kNoWeek(boost::posix_time::not_a_date_time);

struct Outcome {
  bool error = true;
  RedisCache::NewRecords records;
};

using Records = RedisCache::NewRecords;

ResetScheduleInfo DayOnly() {
  ResetScheduleInfo schedule;
  schedule.has_day_schedule = true;
  return schedule;
}

ResetScheduleInfo WeekOnly() {
  ResetScheduleInfo schedule;
  schedule.has_week_schedule = true;
  return schedule;
}

RankingOption Option(bool enable_alltime, bool enable_dense) {
  RankingOption option;
  option.enable_alltime = enable_alltime;
  option.enable_dense = enable_dense;
  return option;
}

RedisCache::Range MakeRange(LeaderboardQuery::Range::Type type,
                            std::int64_t begin, std::int64_t end) {
  RedisCache::Range range;
  range.set_type(type);
  range.set_begin(begin);
  range.set_end(end);
  return range;
}

std::vector<std::int64_t> Ranks(const QueryResult& result) {
  std::vector<std::int64_t> ranks;
  for (const auto& record : result.records) ranks.push_back(record.rank);
  return ranks;
}

std::vector<std::string> Ids(const QueryResult& result) {
  std::vector<std::string> ids;
  for (const auto& record : result.records) ids.push_back(record.account.id());
  return ids;
}

std::vector<double> Scores(const QueryResult& result) {
  std::vector<double> scores;
  for (const auto& record : result.records) scores.push_back(record.score);
  return scores;
}

// Every test works on a leaderboard id of its own and deletes its keys.
class RedisCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    CacheEnvironment::InitializeOnce();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    id_ = std::string("cache_test_") + info->name() + "_" +
          std::to_string(::getpid());
  }

  void TearDown() override { DeleteCacheKeys(id_, extra_keys_); }

  // "leaderboard:<id>:<suffix>"
  std::string Key(const std::string& suffix) const {
    return CacheKey(id_, suffix);
  }

  Outcome Submit(const PlayerAccount& account, double score, int type,
                 std::int64_t timestamp,
                 const ResetScheduleInfo& schedule = ResetScheduleInfo(),
                 const RankingOption& option = RankingOption()) {
    auto done = std::make_shared<std::promise<Outcome>>();
    RedisCache::SubmitScore(
        id_, account, score, type, timestamp, schedule, option,
        [done](bool error, std::shared_ptr<Records> records) {
          Outcome outcome;
          outcome.error = error;
          if (records) outcome.records = *records;
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

  std::string id_;
  std::vector<std::string> extra_keys_;
  gflags::FlagSaver saver_;
};

PlayerAccount Player(const std::string& id) {
  return PlayerAccount("guest", id);
}

// --- Submission. -----------------------------------------------------------

TEST_F(RedisCacheTest, FirstSubmissionWritesEveryRankingUnderTheKeyScheme) {
  const Outcome outcome =
      Submit(Player("player42"), 100, ScoreSubmission::kHighScore, kT);
  ASSERT_FALSE(outcome.error);
  EXPECT_EQ(outcome.records, (Records{{Response::kNewRecordDaily, 100},
                                      {Response::kNewRecordWeekly, 100},
                                      {Response::kNewRecordMonthly, 100},
                                      {Response::kNewRecord, 100}}));

  for (const char* name : {"alltime", "daily", "weekly", "monthly"}) {
    SCOPED_TRACE(name);
    const std::string key = Key(name);
    EXPECT_EQ(HashField(key + ":timestamp", "player42:guest"),
              "8387654321098:player42:guest");
    EXPECT_EQ(MemberScore(key, "8387654321098:player42:guest"), 100);
    EXPECT_EQ(Cardinality(key), 1);
    EXPECT_EQ(MemberScore(key + ":dense", "100"), 100);
  }
  for (const char* name : {"lastweek", "yesterday", "lastmonth"}) {
    EXPECT_FALSE(KeyExists(Key(name))) << name;
  }
  std::uint64_t rows = 0;
  EXPECT_TRUE(RedisCache::GetRowCount(id_, LeaderboardQuery::kDaily, &rows));
  EXPECT_EQ(rows, 1u);
}

TEST_F(RedisCacheTest, HighScoreKeepsTheBetterScoreAndItsTime) {
  const PlayerAccount player = Player("p");
  ASSERT_FALSE(Submit(player, 100, ScoreSubmission::kHighScore, kT).error);

  // The same score again: no record anywhere, nothing written.
  Outcome same = Submit(player, 100, ScoreSubmission::kHighScore, kT + 5000);
  ASSERT_FALSE(same.error);
  EXPECT_EQ(same.records, (Records{{Response::kNone, 100},
                                   {Response::kNone, 100},
                                   {Response::kNone, 100}}));
  // A lower score is reported with the submitted score.
  Outcome lower = Submit(player, 40, ScoreSubmission::kHighScore, kT + 6000);
  EXPECT_EQ(lower.records, (Records{{Response::kNone, 40},
                                    {Response::kNone, 40},
                                    {Response::kNone, 40}}));
  const std::string first_key = MakeMemberRankingKey(kT, "p:guest");
  EXPECT_EQ(HashField(Key("daily:timestamp"), "p:guest"), first_key);
  EXPECT_EQ(HashField(Key("alltime:timestamp"), "p:guest"), first_key);

  // A better score moves the member to the new time.
  Outcome better = Submit(player, 120, ScoreSubmission::kHighScore, kT + 7000);
  EXPECT_EQ(better.records.size(), 4u);
  EXPECT_EQ(better.records.back(), std::make_pair(Response::kNewRecord, 120.0));
  const std::string new_key = MakeMemberRankingKey(kT + 7000, "p:guest");
  EXPECT_EQ(HashField(Key("daily:timestamp"), "p:guest"), new_key);
  EXPECT_EQ(MemberScore(Key("daily"), new_key), 120);
  EXPECT_EQ(MemberScore(Key("daily"), first_key), std::nullopt);
  EXPECT_EQ(Cardinality(Key("daily")), 1);
}

TEST_F(RedisCacheTest, OnlyScheduledPeriodsAreEvaluated) {
  const Outcome outcome =
      Submit(Player("p"), 7, ScoreSubmission::kHighScore, kT, DayOnly());
  ASSERT_FALSE(outcome.error);
  EXPECT_EQ(outcome.records, (Records{{Response::kNewRecordDaily, 7},
                                      {Response::kNewRecord, 7}}));
  EXPECT_TRUE(KeyExists(Key("daily")));
  EXPECT_FALSE(KeyExists(Key("weekly")));
  EXPECT_FALSE(KeyExists(Key("monthly")));
}

TEST_F(RedisCacheTest, AddSubtractAndReplace) {
  const PlayerAccount adder = Player("adder");
  ASSERT_FALSE(Submit(adder, 25, ScoreSubmission::kAdd, kT, DayOnly()).error);
  Outcome added = Submit(adder, 10, ScoreSubmission::kAdd, kT + 1, DayOnly());
  EXPECT_EQ(added.records.front(),
            std::make_pair(Response::kNewRecordDaily, 35.0));
  EXPECT_EQ(
      MemberScore(Key("daily"), MakeMemberRankingKey(kT + 1, "adder:guest")),
      35);

  const PlayerAccount subtracter = Player("subtracter");
  Outcome first =
      Submit(subtracter, 10, ScoreSubmission::kSubtract, kT, DayOnly());
  EXPECT_EQ(first.records.front(),
            std::make_pair(Response::kNewRecordDaily, -10.0));
  Outcome again =
      Submit(subtracter, 5, ScoreSubmission::kSubtract, kT + 1, DayOnly());
  EXPECT_EQ(again.records.front(),
            std::make_pair(Response::kNewRecordDaily, -15.0));

  // Any other type replaces the stored score, also with a lower one.
  Outcome replaced = Submit(adder, 3, /*type=*/7, kT + 2, DayOnly());
  EXPECT_EQ(replaced.records.front(),
            std::make_pair(Response::kNewRecordDaily, 3.0));
  // All-time keeps the best score ever reached.
  EXPECT_EQ(replaced.records.size(), 1u);
  EXPECT_EQ(MemberScore(Key("alltime"),
                        HashField(Key("alltime:timestamp"), "adder:guest")),
            35);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "3"), 3);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "35"), std::nullopt);
}

TEST_F(RedisCacheTest, AllTimeTakesTheBestPeriodScoreAsHighScore) {
  const PlayerAccount player = Player("p");
  ASSERT_FALSE(Submit(player, 25, ScoreSubmission::kAdd, kT, DayOnly()).error);
  ASSERT_FALSE(Submit(player, 40, ScoreSubmission::kAdd, kT, WeekOnly()).error);
  EXPECT_EQ(MemberScore(Key("alltime"),
                        HashField(Key("alltime:timestamp"), "p:guest")),
            40);

  // Daily 35, weekly 50, monthly 10: all-time is offered 50.
  Outcome outcome = Submit(player, 10, ScoreSubmission::kAdd, kT + 1);
  ASSERT_FALSE(outcome.error);
  EXPECT_EQ(outcome.records, (Records{{Response::kNewRecordDaily, 35},
                                      {Response::kNewRecordWeekly, 50},
                                      {Response::kNewRecordMonthly, 10},
                                      {Response::kNewRecord, 50}}));
  EXPECT_EQ(
      MemberScore(Key("alltime"), MakeMemberRankingKey(kT + 1, "p:guest")), 50);

  // New period records below the all-time best add no all-time entry.
  Outcome lower = Submit(player, 1, ScoreSubmission::kAdd, kT + 2, DayOnly());
  EXPECT_EQ(lower.records, (Records{{Response::kNewRecordDaily, 36}}));
}

TEST_F(RedisCacheTest, DenseSetHoldsTheScoresSomebodyHolds) {
  const PlayerAccount a = Player("a");
  const PlayerAccount b = Player("b");
  ASSERT_FALSE(
      Submit(a, 100, ScoreSubmission::kHighScore, kT, DayOnly()).error);
  ASSERT_FALSE(
      Submit(b, 100, ScoreSubmission::kHighScore, kT, DayOnly()).error);
  ASSERT_FALSE(
      Submit(a, 120, ScoreSubmission::kHighScore, kT + 1, DayOnly()).error);
  EXPECT_EQ(Cardinality(Key("daily:dense")), 2);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "100"), 100);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "120"), 120);

  ASSERT_FALSE(
      Submit(b, 120, ScoreSubmission::kHighScore, kT + 2, DayOnly()).error);
  EXPECT_EQ(Cardinality(Key("daily:dense")), 1);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "100"), std::nullopt);

  // Fractional scores go in by their exact text.
  ASSERT_FALSE(Submit(a, 0.1, /*replace=*/3, kT + 3, DayOnly()).error);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "0.10000000000000001"), 0.1);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "120"), 120);
}

TEST_F(RedisCacheTest, OptionsTurnOffAllTimeAndDense) {
  Outcome outcome = Submit(Player("p"), 100, ScoreSubmission::kHighScore, kT,
                           ResetScheduleInfo(), Option(false, false));
  ASSERT_FALSE(outcome.error);
  EXPECT_EQ(outcome.records, (Records{{Response::kNewRecordDaily, 100},
                                      {Response::kNewRecordWeekly, 100},
                                      {Response::kNewRecordMonthly, 100}}));
  EXPECT_FALSE(KeyExists(Key("alltime")));
  EXPECT_FALSE(KeyExists(Key("alltime:timestamp")));
  for (const char* name : {"daily", "weekly", "monthly"}) {
    EXPECT_TRUE(KeyExists(Key(name))) << name;
    EXPECT_FALSE(KeyExists(Key(std::string(name) + ":dense"))) << name;
  }
}

TEST_F(RedisCacheTest, WeeklyRankingUsesTheDatedKeyOfTheNextReset) {
  FLAGS_use_leaderboard_table_with_date = true;
  const std::string dated = "leaderboard:" + id_ + "_20210208:weekly";
  extra_keys_ = {dated, dated + ":dense", dated + ":timestamp"};
  ResetScheduleInfo schedule = WeekOnly();
  schedule.next_date_time = time_from_string("2021-02-08 10:00:00");
  schedule.past_date_time = time_from_string("2021-02-01 10:00:00");

  ASSERT_FALSE(
      Submit(Player("p"), 5, ScoreSubmission::kHighScore, kT, schedule).error);
  EXPECT_EQ(MemberScore(dated, MakeMemberRankingKey(kT, "p:guest")), 5);
  EXPECT_EQ(MemberScore(dated + ":dense", "5"), 5);
  EXPECT_FALSE(KeyExists(Key("weekly")));

  // Queried by the week, it is this week's ranking; a week later it is
  // last week's.
  const auto range = MakeRange(LeaderboardQuery::Range::kAll, 0, 0);
  QueryResult weekly = Query(PlayerAccount(), LeaderboardQuery::kWeekly, range,
                             1, schedule.next_date_time);
  ASSERT_FALSE(weekly.error);
  EXPECT_EQ(Ids(weekly), std::vector<std::string>{"p"});
  QueryResult last_week = Query(PlayerAccount(), LeaderboardQuery::kLastWeek,
                                range, 1, schedule.next_date_time);
  EXPECT_EQ(Ids(last_week), std::vector<std::string>{"p"});
}

TEST_F(RedisCacheTest, RecoveryWritesUndatedKeysAndCountsRows) {
  FLAGS_use_leaderboard_table_with_date = true;
  EXPECT_TRUE(RedisCache::SubmitScoreForRecovery(id_, LeaderboardQuery::kWeekly,
                                                 Player("a"), 10, 1612345678,
                                                 RankingOption()));
  EXPECT_TRUE(RedisCache::SubmitScoreForRecovery(id_, LeaderboardQuery::kWeekly,
                                                 Player("b"), 20, 1612345679,
                                                 RankingOption()));
  // A row read twice keeps the better score.
  EXPECT_TRUE(RedisCache::SubmitScoreForRecovery(id_, LeaderboardQuery::kWeekly,
                                                 Player("a"), 5, 1612345680,
                                                 RankingOption()));
  EXPECT_EQ(MemberScore(Key("weekly"), "8387654321:a:guest"), 10);
  EXPECT_EQ(MemberScore(Key("weekly:dense"), "20"), 20);

  std::uint64_t rows = 0;
  EXPECT_TRUE(RedisCache::GetRowCount(id_, LeaderboardQuery::kWeekly, &rows));
  EXPECT_EQ(rows, 2u);
  EXPECT_TRUE(RedisCache::GetRowCount(id_, LeaderboardQuery::kMonthly, &rows));
  EXPECT_EQ(rows, 0u);
  EXPECT_FALSE(RedisCache::GetRowCount(id_, static_cast<Timespan>(9), &rows));
  EXPECT_FALSE(RedisCache::SubmitScoreForRecovery(
      id_, LeaderboardQuery::kWeekly, Player("a"), 5, -1612345680,
      RankingOption()));
}

TEST_F(RedisCacheTest, BadScoresAndTimestampsFailWithoutHarm) {
  const PlayerAccount player = Player("p");
  EXPECT_TRUE(Submit(player, 1, ScoreSubmission::kHighScore, -1).error);
  EXPECT_FALSE(KeyExists(Key("daily")));

  // Redis refuses a NaN after the member index was written; the next
  // submission still lands, as the player's first score.
  const Outcome nan =
      Submit(player, std::nan(""), ScoreSubmission::kHighScore, kT, DayOnly());
  EXPECT_TRUE(nan.error);
  EXPECT_TRUE(nan.records.empty());
  const Outcome next =
      Submit(player, -5, ScoreSubmission::kHighScore, kT + 1, DayOnly());
  ASSERT_FALSE(next.error);
  EXPECT_EQ(next.records.front(),
            std::make_pair(Response::kNewRecordDaily, -5.0));
  EXPECT_EQ(
      MemberScore(Key("daily"), HashField(Key("daily:timestamp"), "p:guest")),
      -5);

  const double inf = std::numeric_limits<double>::infinity();
  const Outcome infinite =
      Submit(player, inf, ScoreSubmission::kHighScore, kT + 2, DayOnly());
  ASSERT_FALSE(infinite.error);
  EXPECT_EQ(MemberScore(Key("daily:dense"), "inf"), inf);
}

// The player's submissions are decided one at a time, and their completions
// run one at a time in that order (what keeps the player's database writes
// in order).
TEST_F(RedisCacheTest, SubmissionsOfOnePlayerRunOneAtATime) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::mutex mutex;
  std::vector<double> daily_scores;  // GUARDED_BY(mutex)
  std::atomic<int> errors{0};
  std::atomic<int> completed{0};
  std::atomic<bool> busy_completion_running{false};
  std::atomic<int> overlapping_completions{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Another player in between shares the leaderboard, not the strand.
        RedisCache::SubmitScore(id_, Player("other" + std::to_string(t)), 1,
                                ScoreSubmission::kAdd, kT + i, DayOnly(),
                                RankingOption(),
                                [&](bool error, std::shared_ptr<Records>) {
                                  if (error) ++errors;
                                  ++completed;
                                });
        RedisCache::SubmitScore(
            id_, PlayerAccount("steam", "busy"), 1, ScoreSubmission::kAdd,
            kT + i, DayOnly(), RankingOption(),
            [&](bool error, std::shared_ptr<Records> records) {
              if (busy_completion_running.exchange(true)) {
                ++overlapping_completions;
              }
              if (error || !records || records->empty()) {
                ++errors;
              } else {
                std::lock_guard<std::mutex> lock(mutex);
                daily_scores.push_back(records->front().second);
              }
              // Long enough for a completion running beside it to show.
              std::this_thread::sleep_for(std::chrono::milliseconds(2));
              busy_completion_running = false;
              ++completed;
            });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(plemox_test::WaitFor(
      [&] { return completed == 2 * kThreads * kPerThread; }, 60s));
  EXPECT_EQ(errors, 0);

  // Each submission saw the one before it, and the completions came in that
  // order: the reported totals are 1..n as they stand.
  EXPECT_EQ(overlapping_completions, 0);
  std::vector<double> expected;
  for (int n = 1; n <= kThreads * kPerThread; ++n) expected.push_back(n);
  EXPECT_EQ(daily_scores, expected);
  const double total = kThreads * kPerThread;
  EXPECT_EQ(MemberScore(Key("daily"),
                        HashField(Key("daily:timestamp"), "busy:steam")),
            total);
  EXPECT_EQ(MemberScore(Key("alltime"),
                        HashField(Key("alltime:timestamp"), "busy:steam")),
            total);
  EXPECT_EQ(Cardinality(Key("daily")), 1 + kThreads);
  EXPECT_EQ(RedisCache::GetPinnedPlayerCount(), 0u);
  EXPECT_GE(RedisCache::GetStrandCount(), RedisCache::kMinStrandCount);
}

// --- Public queries. -------------------------------------------------------

TEST_F(RedisCacheTest, WholeRankingInThreeNumberings) {
  Seed({{Player("A"), 100},
        {Player("B"), 100},
        {Player("C"), 90},
        {Player("D"), 80}});
  const std::vector<std::string> order = {"A", "B", "C", "D"};
  const struct {
    int ranking_type;
    std::vector<std::int64_t> ranks;
  } cases[] = {{1, {1, 2, 3, 4}}, {2, {1, 1, 3, 4}}, {3, {1, 1, 2, 3}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ranking_type);
    const QueryResult result = All(c.ranking_type);
    ASSERT_FALSE(result.error);
    EXPECT_EQ(result.total_player_count, 4);
    EXPECT_EQ(Ids(result), order);
    EXPECT_EQ(Ranks(result), c.ranks);
    EXPECT_EQ(Scores(result), (std::vector<double>{100, 100, 90, 80}));
    EXPECT_EQ(result.records[0].account, Player("A"));
  }
}

TEST_F(RedisCacheTest, WholeRankingWithScoresAtZeroAndBelow) {
  Seed({{Player("A"), 0}, {Player("B"), 0}, {Player("C"), -5}});
  EXPECT_EQ(Ranks(All(2)), (std::vector<std::int64_t>{1, 1, 3}));
  EXPECT_EQ(Ranks(All(3)), (std::vector<std::int64_t>{1, 1, 2}));
}

TEST_F(RedisCacheTest, FromTopSliceStartingInsideATieGroup) {
  Seed({{Player("A"), 100},
        {Player("B"), 100},
        {Player("C"), 100},
        {Player("D"), 90},
        {Player("E"), 80}});
  QueryResult competition = FromTop(1, 3, 2);
  ASSERT_FALSE(competition.error);
  EXPECT_EQ(competition.total_player_count, 5);
  EXPECT_EQ(Ids(competition), (std::vector<std::string>{"B", "C", "D"}));
  EXPECT_EQ(Ranks(competition), (std::vector<std::int64_t>{1, 1, 4}));
  EXPECT_EQ(Ranks(FromTop(1, 4, 2)), (std::vector<std::int64_t>{1, 1, 4, 5}));
  EXPECT_EQ(Ranks(FromTop(1, 3, 1)), (std::vector<std::int64_t>{2, 3, 4}));
  EXPECT_EQ(Ranks(FromTop(1, 4, 3)), (std::vector<std::int64_t>{1, 1, 2, 3}));
  EXPECT_EQ(Ranks(FromTop(3, 4, 3)), (std::vector<std::int64_t>{2, 3}));

  // Beyond the end: nothing, and no error.
  QueryResult beyond = FromTop(10, 20, 2);
  ASSERT_FALSE(beyond.error);
  EXPECT_TRUE(beyond.records.empty());
  EXPECT_EQ(beyond.total_player_count, 5);
}

TEST_F(RedisCacheTest, DenseRankWithoutDenseSetCountsDistinctScores) {
  Seed({{Player("A"), 100},
        {Player("B"), 90},
        {Player("C"), 90},
        {Player("D"), 80},
        {Player("E"), 70}},
       Option(true, false));
  ASSERT_FALSE(KeyExists(Key("alltime:dense")));
  QueryResult slice = FromTop(2, 4, 3);
  ASSERT_FALSE(slice.error);
  EXPECT_EQ(Ids(slice), (std::vector<std::string>{"C", "D", "E"}));
  EXPECT_EQ(Ranks(slice), (std::vector<std::int64_t>{2, 3, 4}));
  QueryResult own = Nearby(Player("D"), 0, 0, 3);
  ASSERT_FALSE(own.error);
  EXPECT_EQ(Ranks(own), std::vector<std::int64_t>{3});
  EXPECT_EQ(Ranks(Nearby(Player("E"), -1, 0, 3)),
            (std::vector<std::int64_t>{3, 4}));
}

TEST_F(RedisCacheTest, EmptyRanking) {
  QueryResult all = All(1);
  ASSERT_FALSE(all.error);
  EXPECT_EQ(all.total_player_count, 0);
  EXPECT_TRUE(all.records.empty());
  QueryResult top = FromTop(0, 9, 2);
  ASSERT_FALSE(top.error);
  EXPECT_TRUE(top.records.empty());
  QueryResult nearby = Nearby(Player("nobody"), -2, 2, 1);
  ASSERT_FALSE(nearby.error);
  ASSERT_EQ(nearby.records.size(), 1u);
  EXPECT_EQ(nearby.records[0].rank, 0);
}

TEST_F(RedisCacheTest, NearbyWindows) {
  // Positions 0 to 5.
  Seed({{Player("A"), 100},
        {Player("B"), 100},
        {Player("C"), 90},
        {Player("D"), 80},
        {Player("E"), 70},
        {Player("F"), 60}});

  QueryResult window = Nearby(Player("B"), -2, 2, 1);
  ASSERT_FALSE(window.error);
  EXPECT_EQ(window.total_player_count, 6);
  EXPECT_EQ(Ids(window), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(Ranks(window), (std::vector<std::int64_t>{1, 2, 3, 4}));

  // Own record in each numbering, with the requester's account.
  const PlayerAccount b = Player("B");
  for (const auto& [type, rank] :
       {std::pair{1, 2}, std::pair{2, 1}, std::pair{3, 1}}) {
    QueryResult own = Nearby(b, 0, 0, type);
    ASSERT_FALSE(own.error);
    ASSERT_EQ(own.records.size(), 1u);
    EXPECT_EQ(own.records[0].rank, rank) << type;
    EXPECT_EQ(own.records[0].score, 100);
    EXPECT_EQ(own.records[0].account, b);
  }
  EXPECT_EQ(Ranks(Nearby(Player("D"), 0, 0, 3)), std::vector<std::int64_t>{3});

  // Windows starting inside the tie group and cut at either end.
  EXPECT_EQ(Ranks(Nearby(Player("C"), -1, 1, 2)),
            (std::vector<std::int64_t>{1, 3, 4}));
  EXPECT_EQ(Ids(Nearby(Player("C"), -3, -1, 1)),
            (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(Ids(Nearby(Player("E"), 0, 100, 1)),
            (std::vector<std::string>{"E", "F"}));
  EXPECT_EQ(Ids(Nearby(Player("E"), 2, 3, 1)), std::vector<std::string>{});

  // A window wholly above the top is empty, never the bottom of the set.
  QueryResult above = Nearby(Player("C"), -10, -5, 1);
  ASSERT_FALSE(above.error);
  EXPECT_TRUE(above.records.empty());
  QueryResult extreme =
      Nearby(Player("C"), std::numeric_limits<std::int64_t>::min(),
             std::numeric_limits<std::int64_t>::max(), 1);
  ASSERT_FALSE(extreme.error);
  EXPECT_EQ(extreme.records.size(), 6u);
}

TEST_F(RedisCacheTest, NearbyForPlayerWithoutEntryIsAPlaceholder) {
  Seed({{Player("A"), 100}});
  const PlayerAccount stranger("steam", "stranger");
  QueryResult result = Nearby(stranger, -2, 2, 2);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 1);
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0].rank, 0);
  EXPECT_EQ(result.records[0].score, 0);
  EXPECT_EQ(result.records[0].account, stranger);

  // An index entry naming a member that is gone counts as no entry.
  ASSERT_EQ(Redis::HSet(Key("alltime:timestamp"), "stranger:steam",
                        "1:stranger:steam"),
            Redis::kSuccess);
  result = Nearby(stranger, 0, 0, 1);
  ASSERT_FALSE(result.error);
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0].rank, 0);
}

TEST_F(RedisCacheTest, BrokenRangesAreAnsweredInError) {
  Seed({{Player("A"), 100}, {Player("B"), 90}});
  using Type = LeaderboardQuery::Range;
  const RedisCache::Range broken[] = {
      MakeRange(Type::kAll, 1, 0),      MakeRange(Type::kAll, 0, -1),
      MakeRange(Type::kFromTop, -1, 3), MakeRange(Type::kFromTop, 3, 1),
      MakeRange(Type::kNearby, 2, 1),
  };
  for (const auto& range : broken) {
    SCOPED_TRACE(range.ShortDebugString());
    EXPECT_TRUE(Query(Player("A"), LeaderboardQuery::kAllTime, range, 1).error);
  }
  EXPECT_TRUE(Query(Player("A"), static_cast<Timespan>(0),
                    MakeRange(Type::kAll, 0, 0), 1)
                  .error);
  // The cache still answers afterwards.
  EXPECT_FALSE(All(1).error);
}

// --- Social queries. -------------------------------------------------------

TEST_F(RedisCacheTest, SocialRanksThePlayerAmongCompetitors) {
  Seed({{Player("A"), 50}, {Player("B"), 20}, {Player("me"), 70}});
  QueryResult result = Social(Player("me"), {Player("A"), Player("B")}, 3);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 3);
  EXPECT_EQ(Ids(result), (std::vector<std::string>{"me", "A", "B"}));
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(Scores(result), (std::vector<double>{70, 50, 20}));
  EXPECT_EQ(result.records[0].account, Player("me"));

  // Without a player only the competitors are listed.
  result = Social(PlayerAccount(), {Player("B"), Player("A")}, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 2);
  EXPECT_EQ(Ids(result), (std::vector<std::string>{"A", "B"}));
}

TEST_F(RedisCacheTest, SocialListsMembersWithoutEntryAtZero) {
  Seed({{Player("A"), 5}, {Player("B"), -3}});
  const PlayerAccount nobody = Player("nobody");
  QueryResult result =
      Social(nobody, {Player("B"), Player("ghost"), Player("A")}, 2);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 4);
  ASSERT_EQ(result.records.size(), 4u);
  EXPECT_EQ(result.records[0].account, Player("A"));
  EXPECT_EQ(Scores(result), (std::vector<double>{5, 0, 0, -3}));
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 2, 2, 4}));
  EXPECT_EQ(result.records[3].account, Player("B"));

  // Everybody at 0 shares rank 1.
  result = Social(Player("x"), {Player("y"), Player("z")}, 2);
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 1, 1}));
  result = Social(Player("x"), {Player("y"), Player("z")}, 3);
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 1, 1}));
}

TEST_F(RedisCacheTest, SocialNumberingsAndTies) {
  // C1 reaches 90 before C2; both are listed in that order, as in public
  // queries.
  Seed({{Player("top"), 100},
        {Player("C1"), 90},
        {Player("C2"), 90},
        {Player("low"), 80}});
  const std::vector<PlayerAccount> competitors = {Player("low"), Player("C2"),
                                                  Player("C1")};
  const struct {
    int ranking_type;
    std::vector<std::int64_t> ranks;
  } cases[] = {{1, {1, 2, 3, 4}}, {2, {1, 2, 2, 4}}, {3, {1, 2, 2, 3}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ranking_type);
    QueryResult result = Social(Player("top"), competitors, c.ranking_type);
    ASSERT_FALSE(result.error);
    EXPECT_EQ(Ids(result),
              (std::vector<std::string>{"top", "C1", "C2", "low"}));
    EXPECT_EQ(Ranks(result), c.ranks);
  }
  EXPECT_EQ(Ids(All(1)), (std::vector<std::string>{"top", "C1", "C2", "low"}));
}

TEST_F(RedisCacheTest, SocialWithoutCompetitors) {
  Seed({{Player("me"), 12}});
  QueryResult result = Social(Player("me"), {}, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 1);
  EXPECT_EQ(Ids(result), std::vector<std::string>{"me"});
  EXPECT_EQ(Scores(result), std::vector<double>{12});

  result = Social(PlayerAccount(), {}, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 0);
  EXPECT_TRUE(result.records.empty());

  // Only the whole list is served.
  EXPECT_TRUE(Social(Player("me"), {Player("a")}, 1,
                     MakeRange(LeaderboardQuery::Range::kFromTop, 0, 1))
                  .error);
}

TEST_F(RedisCacheTest, SocialReadsCompetitorsInOneIndexReadAndOnePipeline) {
  std::vector<std::pair<PlayerAccount, double>> seeded;
  std::vector<PlayerAccount> competitors;
  for (int i = 0; i < 20; ++i) {
    competitors.push_back(Player("c" + std::to_string(i)));
    seeded.emplace_back(competitors.back(), i);
  }
  seeded.emplace_back(Player("me"), 50);
  Seed(seeded);

  CommandMonitor monitor;
  ASSERT_TRUE(monitor.ok());
  const QueryResult result = Social(Player("me"), competitors, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 21);
  EXPECT_EQ(result.records.front().account, Player("me"));
  EXPECT_EQ(result.records.back().account, Player("c0"));
  const std::string marker = id_ + "_monitor_marker";
  bool exists = true;
  ASSERT_EQ(Redis::Exists(marker, &exists), Redis::kSuccess);

  const std::vector<std::string> lines =
      monitor.LinesUntil(marker, "\"" + Key("alltime"));
  std::vector<std::string> commands;
  for (const auto& line : lines)
    commands.push_back(CommandMonitor::CommandOf(line));
  // One HMGET for all competitors' ranking keys, then their ZSCOREs in a
  // row on one connection, then the player's own HGET and ZSCORE.
  ASSERT_EQ(commands.size(), 1u + 20u + 2u) << testing::PrintToString(lines);
  EXPECT_EQ(commands[0], "HMGET");
  for (int i = 1; i <= 20; ++i) {
    EXPECT_EQ(commands[i], "ZSCORE") << lines[i];
    EXPECT_EQ(CommandMonitor::ClientOf(lines[i]),
              CommandMonitor::ClientOf(lines[1]))
        << lines[i];
  }
  EXPECT_EQ(commands[21], "HGET");
  EXPECT_EQ(commands[22], "ZSCORE");
}

TEST(RedisCacheDeathTest, SecondInitializeStops) {
  // The child starts afresh rather than forking a process full of threads.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CacheEnvironment::InitializeOnce();
  EXPECT_DEATH(RedisCache::Initialize(), "Assert failed: ! the_io_service");
}

}  // namespace
}  // namespace plemox
