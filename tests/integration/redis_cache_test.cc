// RedisCache against the shared test Redis: submissions, checked through
// their results and through the Redis keys and members they leave behind.
#include "support/redis_cache_fixture.h"

namespace plemox {
namespace redis_cache_test {
namespace {

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

  // A score whose stored result is not finite is refused whole: an
  // infinite one, and a kAdd past the largest double (the database could
  // hold neither).
  const double inf = std::numeric_limits<double>::infinity();
  const Outcome infinite =
      Submit(player, inf, ScoreSubmission::kHighScore, kT + 2, DayOnly());
  EXPECT_EQ(infinite.status, RedisCache::SubmitStatus::kRefused);
  ASSERT_FALSE(
      Submit(player, 1e308, ScoreSubmission::kAdd, kT + 3, DayOnly()).error);
  const Outcome overflow =
      Submit(player, 1e308, ScoreSubmission::kAdd, kT + 4, DayOnly());
  EXPECT_EQ(overflow.status, RedisCache::SubmitStatus::kRefused);
  // -5 + 1e308 is 1e308 in a double; the refused kAdd left it so.
  EXPECT_EQ(
      MemberScore(Key("daily"), HashField(Key("daily:timestamp"), "p:guest")),
      1e308);
  EXPECT_EQ(Cardinality(Key("daily:dense")), 1);
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
        RedisCache::SubmitScore(
            id_, Player("other" + std::to_string(t)), 1, ScoreSubmission::kAdd,
            kT + i, DayOnly(), RankingOption(), RedisCache::SubmissionExtras(),
            [&](const RedisCache::SubmitOutcome& outcome) {
              if (outcome.status != RedisCache::SubmitStatus::kStored) {
                ++errors;
              }
              ++completed;
            });
        RedisCache::SubmitScore(
            id_, PlayerAccount("steam", "busy"), 1, ScoreSubmission::kAdd,
            kT + i, DayOnly(), RankingOption(), RedisCache::SubmissionExtras(),
            [&](const RedisCache::SubmitOutcome& outcome) {
              const std::shared_ptr<Records>& records = outcome.new_records;
              const bool error =
                  outcome.status != RedisCache::SubmitStatus::kStored;
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

TEST(RedisCacheDeathTest, SecondInitializeStops) {
  // The child starts afresh rather than forking a process full of threads.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(CacheEnvironment::InitializeOnce())
      << "this process runs the cache on the Redis Cluster";
  EXPECT_DEATH(RedisCache::Initialize(), "Assert failed: ! the_io_service");
}

}  // namespace
}  // namespace redis_cache_test
}  // namespace plemox
