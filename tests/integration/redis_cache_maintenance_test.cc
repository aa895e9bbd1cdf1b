// RedisCache score deletion and period rollover against the shared test
// Redis, checked through the keys and members they leave behind, the
// commands the server receives and the log lines they write.
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/time_parsers.hpp>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "support/cache_environment.h"
#include "support/command_monitor.h"
#include "support/log_capture.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/redis/redis.h"

namespace plemox {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreDeletion;
using Leaderboard::ScoreSubmission;
using plemox_test::LogCapture;
using vel::PlayerAccount;
using vel::Redis;
using namespace std::chrono_literals;

constexpr std::int64_t kT = 1612345678901;  // a millisecond timestamp
const ptime kNoWeek(boost::posix_time::not_a_date_time);
constexpr char kDenseDisabledLine[] =
    "Dense ranking is disabled, Skip renaming dense ranking key: "
    "leaderboard_id=";

PlayerAccount Player(const std::string& id) {
  return PlayerAccount("guest", id);
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

// Whether the calling thread is one of the cache's completion threads.
bool OnCompletionThread() {
  const auto context = vel::IoService::GetIoGroup("RedisCacheCbIoService");
  return context && context->get_executor().running_in_this_thread();
}

struct Deletion {
  bool error = true;
  RedisCache::DeletionResult result = ScoreDeletion::Response::kNotFound;
};

struct Reset {
  bool error = true;
  std::string leaderboard_id;
};

using ResetFunction = void (*)(const std::string&, const RankingOption&,
                               const std::string&, RedisCache::ResetCallback);

// Every test works on a leaderboard id of its own and deletes its keys.
class RedisCacheMaintenanceTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CacheEnvironment::InitializeOnce())
        << "this process runs the cache on the Redis Cluster";
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    id_ = std::string("cache_maint_") + info->name() + "_" +
          std::to_string(::getpid());
  }

  void TearDown() override {
    // Every completion ran once, on a completion thread. Checked at the end
    // of the test, after its later operations, by which time a duplicate
    // call (posted with the first) would have run.
    for (const auto& calls : completion_calls_) EXPECT_EQ(*calls, 1);
    EXPECT_EQ(off_thread_completions_, 0);
    DeleteCacheKeys(id_, extra_keys_);
  }

  // "leaderboard:<id>:<suffix>"
  std::string Key(const std::string& suffix) const {
    return CacheKey(id_, suffix);
  }

  template <typename T>
  static T AwaitPromise(const std::shared_ptr<std::promise<T>>& done) {
    auto future = done->get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "the cache operation did not complete";
      return T();
    }
    return future.get();
  }

  void Submit(const PlayerAccount& account, double score,
              std::int64_t timestamp,
              const ResetScheduleInfo& schedule = ResetScheduleInfo(),
              const RankingOption& option = RankingOption()) {
    auto done = std::make_shared<std::promise<bool>>();
    RedisCache::SubmitScore(
        id_, account, score, ScoreSubmission::kHighScore, timestamp, schedule,
        option, RedisCache::SubmissionExtras(),
        [done](const RedisCache::SubmitOutcome& outcome) {
          done->set_value(outcome.status != RedisCache::SubmitStatus::kStored);
        });
    EXPECT_FALSE(AwaitPromise(done)) << "submission failed";
  }

  Deletion Delete(const PlayerAccount& account,
                  const ResetScheduleInfo& schedule = ResetScheduleInfo(),
                  const RankingOption& option = RankingOption()) {
    auto done = std::make_shared<std::promise<Deletion>>();
    auto calls =
        completion_calls_.emplace_back(std::make_shared<std::atomic<int>>(0));
    RedisCache::DeleteScore(
        id_, account, schedule, option,
        [this, done, calls](bool error, RedisCache::DeletionResult result) {
          if (!OnCompletionThread()) ++off_thread_completions_;
          if (++*calls == 1) done->set_value(Deletion{error, result});
        });
    return AwaitPromise(done);
  }

  Reset Rollover(ResetFunction reset,
                 const RankingOption& option = RankingOption()) {
    auto done = std::make_shared<std::promise<Reset>>();
    auto calls =
        completion_calls_.emplace_back(std::make_shared<std::atomic<int>>(0));
    reset(id_, option, "",
          [this, done, calls](bool error, const std::string& leaderboard_id) {
            if (!OnCompletionThread()) ++off_thread_completions_;
            if (++*calls == 1) done->set_value(Reset{error, leaderboard_id});
          });
    return AwaitPromise(done);
  }

  // Sends a command after the watched work, so that MONITOR readers know
  // where to stop.
  std::string SendMarker() {
    const std::string marker = id_ + "_monitor_marker";
    bool exists = true;
    EXPECT_EQ(Redis::Exists(marker, &exists), Redis::kSuccess);
    return marker;
  }

  std::string id_;
  std::vector<std::string> extra_keys_;
  // How often each deletion's and rollover's completion ran.
  std::vector<std::shared_ptr<std::atomic<int>>> completion_calls_;
  std::atomic<int> off_thread_completions_{0};
  gflags::FlagSaver saver_;
};

// --- Deletion. -------------------------------------------------------------

TEST_F(RedisCacheMaintenanceTest, DeletingAPlayerWithoutEntryWritesNothing) {
  Submit(Player("other"), 10, kT);

  CommandMonitor monitor;
  ASSERT_TRUE(monitor.ok());
  const Deletion deletion = Delete(Player("nobody"));
  EXPECT_FALSE(deletion.error);
  EXPECT_EQ(deletion.result, ScoreDeletion::Response::kNotFound);
  const std::vector<std::string> lines =
      monitor.LinesUntil(SendMarker(), "\"leaderboard:" + id_ + ":");
  // One index read per ranking (all-time and the six periods), no writes
  // to them; then the profile's field, which a player keeps without
  // entries (after rollovers), is removed.
  ASSERT_EQ(lines.size(), 8u) << testing::PrintToString(lines);
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(CommandMonitor::CommandOf(lines[i]), "HGET");
  }
  EXPECT_EQ(CommandMonitor::CommandOf(lines[7]), "HDEL");
  EXPECT_NE(lines[7].find(":profile\""), std::string::npos);

  EXPECT_EQ(HashField(Key("daily:timestamp"), "other:guest"),
            MakeMemberRankingKey(kT, "other:guest"));
  EXPECT_EQ(Cardinality(Key("alltime")), 1);
}

TEST_F(RedisCacheMaintenanceTest, DeletingAPlayerCleansEveryRanking) {
  const PlayerAccount gone = Player("gone");
  const PlayerAccount stays = Player("stays");
  Submit(gone, 70, kT);
  Submit(stays, 50, kT + 1);
  // Give the previous periods an entry of the player too.
  for (auto reset :
       {&RedisCache::ResetDailyLeaderboard, &RedisCache::ResetWeeklyLeaderboard,
        &RedisCache::ResetMonthlyLeaderboard}) {
    ASSERT_FALSE(Rollover(reset).error);
  }
  Submit(gone, 30, kT + 2);

  const Deletion deletion = Delete(gone);
  EXPECT_FALSE(deletion.error);
  EXPECT_EQ(deletion.result, ScoreDeletion::Response::kRemoved);
  for (const char* name : {"alltime", "daily", "yesterday", "weekly",
                           "lastweek", "monthly", "lastmonth"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(HashField(Key(name) + ":timestamp", "gone:guest"), "");
    EXPECT_EQ(MemberScore(Key(name), MakeMemberRankingKey(kT, "gone:guest")),
              std::nullopt);
    EXPECT_EQ(
        MemberScore(Key(name), MakeMemberRankingKey(kT + 2, "gone:guest")),
        std::nullopt);
    EXPECT_EQ(MemberScore(Key(name + std::string(":dense")), "30"),
              std::nullopt);
  }
  // The other player stays wherever it was.
  EXPECT_EQ(
      MemberScore(Key("alltime"), MakeMemberRankingKey(kT + 1, "stays:guest")),
      50);
  EXPECT_EQ(MemberScore(Key("yesterday:dense"), "50"), 50);
  EXPECT_EQ(MemberScore(Key("yesterday:dense"), "70"), std::nullopt);
  EXPECT_EQ(HashField(Key("lastmonth:timestamp"), "stays:guest"),
            MakeMemberRankingKey(kT + 1, "stays:guest"));

  // Deleting again finds nothing.
  const Deletion again = Delete(gone);
  EXPECT_FALSE(again.error);
  EXPECT_EQ(again.result, ScoreDeletion::Response::kNotFound);
}

TEST_F(RedisCacheMaintenanceTest, AllTimeIsCleanedEvenWhenItIsDisabled) {
  // Scores from the days the leaderboard kept an all-time ranking.
  Submit(Player("p"), 40, kT);
  ASSERT_EQ(Cardinality(Key("alltime")), 1);
  const Deletion deletion =
      Delete(Player("p"), ResetScheduleInfo(), Option(false, true));
  EXPECT_FALSE(deletion.error);
  EXPECT_EQ(deletion.result, ScoreDeletion::Response::kRemoved);
  EXPECT_FALSE(KeyExists(Key("alltime")));
  EXPECT_FALSE(KeyExists(Key("alltime:timestamp")));
  EXPECT_FALSE(KeyExists(Key("daily")));

  // Without an all-time entry the result says not found, though the period
  // rankings were cleaned.
  Submit(Player("q"), 40, kT, ResetScheduleInfo(), Option(false, true));
  const Deletion period_only =
      Delete(Player("q"), ResetScheduleInfo(), Option(false, true));
  EXPECT_FALSE(period_only.error);
  EXPECT_EQ(period_only.result, ScoreDeletion::Response::kNotFound);
  EXPECT_FALSE(KeyExists(Key("daily")));
  EXPECT_FALSE(KeyExists(Key("monthly:timestamp")));
}

TEST_F(RedisCacheMaintenanceTest, DenseScoreLeavesWithItsLastHolder) {
  Submit(Player("A"), 100, kT);
  Submit(Player("B"), 100, kT + 1);
  Submit(Player("C"), 80, kT + 2);

  ASSERT_FALSE(Delete(Player("A")).error);
  for (const char* name : {"alltime:dense", "daily:dense", "monthly:dense"}) {
    EXPECT_EQ(MemberScore(Key(name), "100"), 100) << name;
  }
  ASSERT_FALSE(Delete(Player("B")).error);
  for (const char* name : {"alltime:dense", "daily:dense", "monthly:dense"}) {
    EXPECT_EQ(MemberScore(Key(name), "100"), std::nullopt) << name;
    EXPECT_EQ(MemberScore(Key(name), "80"), 80) << name;
  }
}

TEST_F(RedisCacheMaintenanceTest, DenseIsLeftAloneWhenDisabled) {
  const RankingOption no_dense = Option(true, false);
  Submit(Player("A"), 100, kT, ResetScheduleInfo(), no_dense);
  // A dense set from the days dense ranks were kept.
  ASSERT_EQ(Redis::ZAdd(Key("daily:dense"), 100, "100"), Redis::kSuccess);
  ASSERT_FALSE(Delete(Player("A"), ResetScheduleInfo(), no_dense).error);
  EXPECT_FALSE(KeyExists(Key("daily")));
  EXPECT_EQ(MemberScore(Key("daily:dense"), "100"), 100);
}

TEST_F(RedisCacheMaintenanceTest, DanglingIndexEntryCountsAsNoEntry) {
  // An index entry left by a failed update names a member that is gone.
  Submit(Player("other"), 100, kT);
  ASSERT_EQ(Redis::HSet(Key("alltime:timestamp"), "ghost:guest",
                        MakeMemberRankingKey(kT, "ghost:guest")),
            Redis::kSuccess);
  const Deletion deletion = Delete(Player("ghost"));
  EXPECT_FALSE(deletion.error);
  EXPECT_EQ(deletion.result, ScoreDeletion::Response::kNotFound);
  EXPECT_EQ(HashField(Key("alltime:timestamp"), "ghost:guest"), "");
  // Nobody's dense score was touched.
  EXPECT_EQ(MemberScore(Key("alltime:dense"), "100"), 100);
}

TEST_F(RedisCacheMaintenanceTest, WeeklyScheduleDeletesAllTimeAndWeeksOnly) {
  Submit(Player("p"), 10, kT);
  ASSERT_FALSE(Rollover(&RedisCache::ResetDailyLeaderboard).error);
  ASSERT_FALSE(Rollover(&RedisCache::ResetWeeklyLeaderboard).error);
  ASSERT_FALSE(Rollover(&RedisCache::ResetMonthlyLeaderboard).error);
  Submit(Player("p"), 20, kT + 1);

  const Deletion deletion = Delete(Player("p"), WeekOnly());
  EXPECT_FALSE(deletion.error);
  EXPECT_EQ(deletion.result, ScoreDeletion::Response::kRemoved);
  for (const char* name : {"alltime", "weekly", "lastweek"}) {
    EXPECT_EQ(HashField(Key(name) + ":timestamp", "p:guest"), "") << name;
    EXPECT_FALSE(KeyExists(Key(name))) << name;
  }
  for (const char* name : {"daily", "yesterday", "monthly", "lastmonth"}) {
    EXPECT_NE(HashField(Key(name) + ":timestamp", "p:guest"), "") << name;
    EXPECT_EQ(Cardinality(Key(name)), 1) << name;
  }
}

TEST_F(RedisCacheMaintenanceTest, WeeklyDeletionUsesTheDatedWeeks) {
  FLAGS_use_leaderboard_table_with_date = true;
  // Dated weekly keys are named after the week's next reset.
  const auto week_key = [&](const std::string& date) {
    const std::string key = "leaderboard:" + id_ + "_" + date + ":weekly";
    extra_keys_.insert(extra_keys_.end(),
                       {key, key + ":dense", key + ":timestamp"});
    return key;
  };
  const std::string older_week = week_key("20210125");
  const std::string last_week = week_key("20210201");
  const std::string this_week = week_key("20210208");
  const auto submit_in_week = [&](const char* next, std::int64_t timestamp) {
    ResetScheduleInfo schedule = WeekOnly();
    schedule.next_date_time = time_from_string(next);
    Submit(Player("p"), 5, timestamp, schedule);
  };
  submit_in_week("2021-01-25 10:00:00", kT);
  submit_in_week("2021-02-01 10:00:00", kT + 1);
  submit_in_week("2021-02-08 10:00:00", kT + 2);
  ASSERT_EQ(Cardinality(last_week), 1);

  ResetScheduleInfo schedule = WeekOnly();
  schedule.past_date_time = time_from_string("2021-02-01 10:00:00");
  schedule.next_date_time = time_from_string("2021-02-08 10:00:00");
  const Deletion deletion = Delete(Player("p"), schedule);
  EXPECT_FALSE(deletion.error);
  EXPECT_EQ(deletion.result, ScoreDeletion::Response::kRemoved);
  for (const std::string& key : {this_week, last_week}) {
    EXPECT_FALSE(KeyExists(key)) << key;
    EXPECT_FALSE(KeyExists(key + ":timestamp")) << key;
    EXPECT_FALSE(KeyExists(key + ":dense")) << key;
  }
  // The week before last is neither this week nor last week.
  EXPECT_EQ(Cardinality(older_week), 1);
  EXPECT_EQ(HashField(older_week + ":timestamp", "p:guest"),
            MakeMemberRankingKey(kT, "p:guest"));
  EXPECT_FALSE(KeyExists(Key("alltime")));
}

// --- Rollover. -------------------------------------------------------------

TEST_F(RedisCacheMaintenanceTest, DailyRolloverMovesTheThreeKeys) {
  // Yesterday's old contents are replaced.
  Submit(Player("old"), 1, kT);
  ASSERT_FALSE(Rollover(&RedisCache::ResetDailyLeaderboard).error);
  ASSERT_EQ(Cardinality(Key("yesterday")), 1);

  Submit(Player("A"), 100, kT + 1);
  Submit(Player("B"), 90, kT + 2);
  LogCapture log;
  const Reset reset = Rollover(&RedisCache::ResetDailyLeaderboard);
  EXPECT_FALSE(reset.error);
  EXPECT_EQ(reset.leaderboard_id, id_);
  EXPECT_EQ(log.Lines("Succeed to reset daily leaderboard: " + id_).size(), 1u);

  EXPECT_FALSE(KeyExists(Key("daily")));
  EXPECT_FALSE(KeyExists(Key("daily:dense")));
  EXPECT_FALSE(KeyExists(Key("daily:timestamp")));
  EXPECT_EQ(Cardinality(Key("yesterday")), 2);
  EXPECT_EQ(HashField(Key("yesterday:timestamp"), "old:guest"), "");
  EXPECT_EQ(
      MemberScore(Key("yesterday"), MakeMemberRankingKey(kT + 1, "A:guest")),
      100);
  EXPECT_EQ(HashField(Key("yesterday:timestamp"), "B:guest"),
            MakeMemberRankingKey(kT + 2, "B:guest"));
  EXPECT_EQ(Cardinality(Key("yesterday:dense")), 2);
  EXPECT_EQ(MemberScore(Key("yesterday:dense"), "1"), std::nullopt);
  // Other periods are untouched.
  EXPECT_EQ(Cardinality(Key("weekly")), 3);
  EXPECT_FALSE(KeyExists(Key("lastweek")));

  // Only the players of the last day are yesterday's after the next one.
  Submit(Player("C"), 5, kT + 3);
  ASSERT_FALSE(Rollover(&RedisCache::ResetDailyLeaderboard).error);
  EXPECT_EQ(Cardinality(Key("yesterday")), 1);
  EXPECT_EQ(HashField(Key("yesterday:timestamp"), "A:guest"), "");
  EXPECT_EQ(MemberScore(Key("yesterday:dense"), "100"), std::nullopt);
}

TEST_F(RedisCacheMaintenanceTest, EachRolloverTracesItsOwnEntryAndHandler) {
  // Operators grep for these fixed texts; each names the function that
  // writes it, and a rollover writes only those of its own period.
  gflags::FlagSaver saver;
  FLAGS_v = 2;
  const std::vector<std::pair<ResetFunction, std::string>> rollovers = {
      {&RedisCache::ResetDailyLeaderboard, "Daily"},
      {&RedisCache::ResetWeeklyLeaderboard, "Weekly"},
      {&RedisCache::ResetMonthlyLeaderboard, "Monthly"}};
  for (const auto& [reset, period] : rollovers) {
    LogCapture log;
    ASSERT_FALSE(Rollover(reset).error) << period;
    for (const auto& other : rollovers) {
      const std::string& traced = other.second;
      const bool own = traced == period;
      EXPECT_EQ(log.HasLine(google::GLOG_INFO,
                            "Reset" + traced + "Leaderboard called"),
                own)
          << period << " rollover, " << traced << " entry";
      EXPECT_EQ(log.HasLine(google::GLOG_INFO,
                            "On" + traced + "LeaderboardResetRequested called"),
                own)
          << period << " rollover, " << traced << " handler";
    }
  }
}

TEST_F(RedisCacheMaintenanceTest, WeeklyAndMonthlyRolloversUseTheirKeys) {
  FLAGS_use_leaderboard_table_with_date = true;  // rollover stays undated
  Submit(Player("A"), 10, kT);
  ASSERT_FALSE(Rollover(&RedisCache::ResetWeeklyLeaderboard).error);
  EXPECT_FALSE(KeyExists(Key("weekly")));
  EXPECT_FALSE(KeyExists(Key("weekly:timestamp")));
  EXPECT_EQ(MemberScore(Key("lastweek:dense"), "10"), 10);
  EXPECT_EQ(HashField(Key("lastweek:timestamp"), "A:guest"),
            MakeMemberRankingKey(kT, "A:guest"));
  EXPECT_TRUE(KeyExists(Key("daily")));
  EXPECT_TRUE(KeyExists(Key("monthly")));

  ASSERT_FALSE(Rollover(&RedisCache::ResetMonthlyLeaderboard).error);
  EXPECT_FALSE(KeyExists(Key("monthly")));
  EXPECT_EQ(Cardinality(Key("lastmonth")), 1);
  EXPECT_TRUE(KeyExists(Key("lastmonth:timestamp")));
  EXPECT_TRUE(KeyExists(Key("lastmonth:dense")));
  EXPECT_TRUE(KeyExists(Key("lastweek")));
  EXPECT_TRUE(KeyExists(Key("daily")));
}

TEST_F(RedisCacheMaintenanceTest, RolloverWithoutScoresEmptiesThePrevious) {
  Submit(Player("A"), 10, kT);
  ASSERT_FALSE(Rollover(&RedisCache::ResetDailyLeaderboard).error);
  ASSERT_TRUE(KeyExists(Key("yesterday")));

  const Reset reset = Rollover(&RedisCache::ResetDailyLeaderboard);
  EXPECT_FALSE(reset.error);
  EXPECT_EQ(reset.leaderboard_id, id_);
  for (const char* name :
       {"yesterday", "yesterday:dense", "yesterday:timestamp", "daily",
        "daily:dense", "daily:timestamp"}) {
    EXPECT_FALSE(KeyExists(Key(name))) << name;
  }
  // A leaderboard that never had scores rolls over too.
  EXPECT_FALSE(Rollover(&RedisCache::ResetMonthlyLeaderboard).error);
}

TEST_F(RedisCacheMaintenanceTest, RolloverWithoutDenseNeverTouchesDenseKeys) {
  const RankingOption no_dense = Option(true, false);
  Submit(Player("A"), 10, kT, ResetScheduleInfo(), no_dense);
  // Dense sets from the days dense ranks were kept stay where they are.
  ASSERT_EQ(Redis::ZAdd(Key("weekly:dense"), 7, "7"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(Key("lastweek:dense"), 3, "3"), Redis::kSuccess);

  {
    LogCapture log;
    CommandMonitor monitor;
    ASSERT_TRUE(monitor.ok());
    ASSERT_FALSE(Rollover(&RedisCache::ResetWeeklyLeaderboard, no_dense).error);
    const std::vector<std::string> commands =
        monitor.LinesUntil(SendMarker(), "\"leaderboard:" + id_ + ":");
    EXPECT_FALSE(commands.empty());
    for (const std::string& line : commands) {
      EXPECT_EQ(line.find(":dense"), std::string::npos) << line;
    }
    const auto lines = log.Lines(kDenseDisabledLine);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, google::GLOG_INFO);
    EXPECT_EQ(lines[0].second, kDenseDisabledLine + Key("weekly:dense"));
  }
  EXPECT_EQ(Cardinality(Key("lastweek")), 1);
  EXPECT_EQ(MemberScore(Key("lastweek:dense"), "3"), 3);
  EXPECT_EQ(MemberScore(Key("weekly:dense"), "7"), 7);

  // The empty-period path skips the dense key as well, once.
  LogCapture log;
  ASSERT_FALSE(Rollover(&RedisCache::ResetWeeklyLeaderboard, no_dense).error);
  EXPECT_FALSE(KeyExists(Key("lastweek")));
  EXPECT_EQ(MemberScore(Key("lastweek:dense"), "3"), 3);
  const auto lines = log.Lines(kDenseDisabledLine);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, kDenseDisabledLine + Key("lastweek:dense"));
}

TEST_F(RedisCacheMaintenanceTest, RolloverAfterDenseWasEnabledMovesRanking) {
  // Scores written while dense ranks were off; yesterday still has a dense
  // set from an earlier time.
  Submit(Player("A"), 100, kT, ResetScheduleInfo(), Option(true, false));
  Submit(Player("B"), 90, kT + 1, ResetScheduleInfo(), Option(true, false));
  for (const double stale : {150.0, 120.0, 90.0}) {
    ASSERT_EQ(Redis::ZAdd(Key("yesterday:dense"), stale, ScoreToText(stale)),
              Redis::kSuccess);
  }

  LogCapture log;
  const Reset reset = Rollover(&RedisCache::ResetDailyLeaderboard);
  EXPECT_FALSE(reset.error);
  const auto no_dense = log.Lines("No dense ranking to move");
  ASSERT_EQ(no_dense.size(), 1u);
  EXPECT_EQ(no_dense[0].first, google::GLOG_INFO);
  EXPECT_FALSE(KeyExists(Key("daily")));
  EXPECT_FALSE(KeyExists(Key("daily:timestamp")));
  EXPECT_EQ(Cardinality(Key("yesterday")), 2);
  EXPECT_EQ(HashField(Key("yesterday:timestamp"), "B:guest"),
            MakeMemberRankingKey(kT + 1, "B:guest"));
  // The stale dense set is gone rather than ranking yesterday wrongly.
  EXPECT_FALSE(KeyExists(Key("yesterday:dense")));

  // Dense ranks of yesterday are right, counted from the ranking (the stale
  // set would have ranked B third).
  auto done = std::make_shared<std::promise<QueryResult>>();
  RedisCache::Range range;
  range.set_type(LeaderboardQuery::Range::kFromTop);
  range.set_begin(1);
  range.set_end(1);
  RedisCache::GetPublicLeaderboard(
      id_, PlayerAccount(), LeaderboardQuery::kYesterday, range,
      LeaderboardQuery::Request::kDense, kNoWeek,
      [done](const std::shared_ptr<QueryResult>& result) {
        done->set_value(*result);
      });
  const QueryResult result = AwaitPromise(done);
  ASSERT_FALSE(result.error);
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0].account, Player("B"));
  EXPECT_EQ(result.records[0].rank, 2);
}

TEST_F(RedisCacheMaintenanceTest, RolloverWithoutMemberIndexMovesRanking) {
  Submit(Player("A"), 100, kT);
  ASSERT_FALSE(Rollover(&RedisCache::ResetMonthlyLeaderboard).error);
  Submit(Player("B"), 90, kT + 1);
  // The current member index is lost; last month's must not survive to
  // point into the moved ranking.
  ASSERT_EQ(Redis::Del(Key("monthly:timestamp")), Redis::kSuccess);
  ASSERT_TRUE(KeyExists(Key("lastmonth:timestamp")));

  LogCapture month_log;
  EXPECT_FALSE(Rollover(&RedisCache::ResetMonthlyLeaderboard).error);
  EXPECT_EQ(month_log.Lines("No member index to move").size(), 1u);
  EXPECT_FALSE(KeyExists(Key("monthly")));
  // Last month now holds this month's ranking, B only.
  EXPECT_EQ(Cardinality(Key("lastmonth")), 1);
  EXPECT_EQ(
      MemberScore(Key("lastmonth"), MakeMemberRankingKey(kT + 1, "B:guest")),
      90);
  EXPECT_EQ(MemberScore(Key("lastmonth:dense"), "90"), 90);
  EXPECT_EQ(MemberScore(Key("lastmonth:dense"), "100"), std::nullopt);
  EXPECT_FALSE(KeyExists(Key("lastmonth:timestamp")));
}

TEST_F(RedisCacheMaintenanceTest, SubmissionsAndQueriesWorkAfterRollover) {
  Submit(Player("A"), 100, kT);
  Submit(Player("B"), 80, kT + 1);
  ASSERT_FALSE(Rollover(&RedisCache::ResetDailyLeaderboard).error);

  // A lower score than yesterday's is a new daily record today.
  auto done = std::make_shared<std::promise<RedisCache::NewRecords>>();
  RedisCache::SubmitScore(
      id_, Player("A"), 50, ScoreSubmission::kHighScore, kT + 2,
      ResetScheduleInfo(), RankingOption(), RedisCache::SubmissionExtras(),
      [done](const RedisCache::SubmitOutcome& outcome) {
        EXPECT_EQ(outcome.status, RedisCache::SubmitStatus::kStored);
        done->set_value(*outcome.new_records);
      });
  const RedisCache::NewRecords records = AwaitPromise(done);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front(),
            std::make_pair(ScoreSubmission::Response::kNewRecordDaily, 50.0));

  const auto query = [&](Timespan timespan, const PlayerAccount& account) {
    auto answer = std::make_shared<std::promise<QueryResult>>();
    RedisCache::Range range;
    range.set_type(LeaderboardQuery::Range::kNearby);
    RedisCache::GetPublicLeaderboard(
        id_, account, timespan, range, LeaderboardQuery::Request::kDense,
        kNoWeek, [answer](const std::shared_ptr<QueryResult>& result) {
          answer->set_value(*result);
        });
    return AwaitPromise(answer);
  };
  const QueryResult today = query(LeaderboardQuery::kDaily, Player("A"));
  ASSERT_FALSE(today.error);
  EXPECT_EQ(today.total_player_count, 1);
  ASSERT_EQ(today.records.size(), 1u);
  EXPECT_EQ(today.records[0].rank, 1);
  EXPECT_EQ(today.records[0].score, 50);
  const QueryResult yesterday =
      query(LeaderboardQuery::kYesterday, Player("B"));
  ASSERT_FALSE(yesterday.error);
  EXPECT_EQ(yesterday.total_player_count, 2);
  ASSERT_EQ(yesterday.records.size(), 1u);
  EXPECT_EQ(yesterday.records[0].rank, 2);
  EXPECT_EQ(yesterday.records[0].score, 80);
  EXPECT_EQ(Cardinality(Key("daily:dense")), 1);
}

}  // namespace
}  // namespace plemox
