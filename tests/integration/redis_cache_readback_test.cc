// RedisCache::ReadBackSubmission against the shared test Redis: what it
// reports for a submission must be exactly what that submission stored, so
// that an uncertain submission is answered and persisted by what Redis kept.
// And the repair of a member index that a cut write left half-way.
#include <future>

#include "support/redis_cache_fixture.h"

namespace plemox {
namespace redis_cache_test {
namespace {

struct ReadBack {
  bool answered = false;
  Records stored;
};

class RedisCacheReadBackTest : public RedisCacheTest {
 protected:
  ReadBack Read(const PlayerAccount& account, double score,
                std::int64_t timestamp,
                const ResetScheduleInfo& schedule = ResetScheduleInfo(),
                const RankingOption& option = RankingOption()) {
    auto done = std::make_shared<std::promise<ReadBack>>();
    RedisCache::ReadBackSubmission(
        id_, account, score, timestamp, schedule, option,
        RedisCache::SubmissionExtras(),
        [done](const RedisCache::SubmitOutcome& outcome) {
          ReadBack result;
          result.answered = outcome.status != RedisCache::SubmitStatus::kFailed;
          result.stored = *outcome.new_records;
          done->set_value(result);
        });
    auto future = done->get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "read-back did not complete";
      return ReadBack();
    }
    return future.get();
  }
};

TEST_F(RedisCacheReadBackTest, FindsExactlyWhatAStoredSubmissionReported) {
  const PlayerAccount player = Player("p");
  struct Step {
    double score;
    int type;
    ResetScheduleInfo schedule;
    RankingOption option;
  };
  // A first score, a better one, one that is no record, an addition, and
  // leaderboards with one period and without the all-time ranking.
  const std::vector<Step> steps = {
      {100, ScoreSubmission::kHighScore, ResetScheduleInfo(), RankingOption()},
      {150, ScoreSubmission::kHighScore, ResetScheduleInfo(), RankingOption()},
      {120, ScoreSubmission::kHighScore, ResetScheduleInfo(), RankingOption()},
      {5, ScoreSubmission::kAdd, ResetScheduleInfo(), Option(true, false)},
      {500, ScoreSubmission::kHighScore, DayOnly(), RankingOption()},
      {900, ScoreSubmission::kHighScore, WeekOnly(), Option(false, true)},
  };
  std::int64_t timestamp = kT;
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "score " << step.score);
    const Outcome outcome = Submit(player, step.score, step.type, ++timestamp,
                                   step.schedule, step.option);
    ASSERT_EQ(outcome.status, RedisCache::SubmitStatus::kStored);
    const ReadBack read =
        Read(player, step.score, timestamp, step.schedule, step.option);
    ASSERT_TRUE(read.answered);
    EXPECT_EQ(read.stored, outcome.records);
  }
}

TEST_F(RedisCacheReadBackTest, ASubmissionThatDidNotLandReportsNoRecord) {
  const PlayerAccount player = Player("p");
  // Never submitted: no entry anywhere.
  ReadBack read = Read(player, 70, kT);
  ASSERT_TRUE(read.answered);
  EXPECT_EQ(read.stored, (Records{{Response::kNone, 70},
                                  {Response::kNone, 70},
                                  {Response::kNone, 70}}));

  // Another submission's entry (another time) is not this one's.
  ASSERT_FALSE(Submit(player, 100, ScoreSubmission::kHighScore, kT).error);
  read = Read(player, 200, kT + 1);
  ASSERT_TRUE(read.answered);
  EXPECT_EQ(read.stored, (Records{{Response::kNone, 200},
                                  {Response::kNone, 200},
                                  {Response::kNone, 200}}));
}

TEST_F(RedisCacheReadBackTest, AnIndexWithoutItsMemberIsNoEntry) {
  const PlayerAccount player = Player("p");
  ASSERT_FALSE(Submit(player, 100, ScoreSubmission::kHighScore, kT).error);
  // A write that stopped after rewriting the daily index: the member it
  // names never reached the ranking.
  const std::string member = "8387654321097:p:guest";  // kT + 1
  ASSERT_EQ(Redis::HSet(Key("daily:timestamp"), "p:guest", member),
            Redis::kSuccess);
  const ReadBack read = Read(player, 300, kT + 1, DayOnly());
  ASSERT_TRUE(read.answered);
  EXPECT_EQ(read.stored, (Records{{Response::kNone, 300}}));
}

// A write cut right after it rewrote the member index leaves the player's
// previous member in the ranking, unindexed. The next submission must take
// it as the player's entry, not add a second one.
TEST_F(RedisCacheReadBackTest, AStrayPreviousMemberIsThePlayersEntryAgain) {
  // The command chain repairs what an earlier chain's cut write left; the
  // submission script, atomic, leaves no such state behind.
  gflags::FlagSaver flag_saver;
  FLAGS_redis_cache_use_scripts = false;
  // Glob characters in the account must match only themselves.
  const PlayerAccount player = Player("a*b");
  const PlayerAccount lookalike = Player("axb");
  ASSERT_FALSE(Submit(player, 100, ScoreSubmission::kHighScore, kT).error);
  ASSERT_FALSE(Submit(lookalike, 70, ScoreSubmission::kHighScore, kT).error);
  const std::string previous = MakeMemberRankingKey(kT, "a*b:guest");
  const std::string older = MakeMemberRankingKey(kT - 5, "a*b:guest");
  ASSERT_EQ(Redis::HSet(Key("daily:timestamp"), "a*b:guest",
                        MakeMemberRankingKey(kT + 1, "a*b:guest")),
            Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(Key("daily"), 40, older), Redis::kSuccess);

  // No record against the stray's 100: nothing written, the index names
  // the stray again and the older stray is gone.
  Outcome outcome =
      Submit(player, 90, ScoreSubmission::kHighScore, kT + 2, DayOnly());
  ASSERT_EQ(outcome.status, RedisCache::SubmitStatus::kStored);
  EXPECT_EQ(outcome.records, (Records{{Response::kNone, 90}}));
  EXPECT_EQ(HashField(Key("daily:timestamp"), "a*b:guest"), previous);
  EXPECT_FALSE(MemberScore(Key("daily"), older).has_value());
  EXPECT_EQ(Cardinality(Key("daily")), 2);

  // A better score replaces the stray: one entry for the player.
  outcome = Submit(player, 150, ScoreSubmission::kAdd, kT + 3, DayOnly());
  ASSERT_EQ(outcome.status, RedisCache::SubmitStatus::kStored);
  EXPECT_EQ(outcome.records, (Records{{Response::kNewRecordDaily, 250},
                                      {Response::kNewRecord, 250}}));
  EXPECT_EQ(Cardinality(Key("daily")), 2);
  EXPECT_FALSE(MemberScore(Key("daily"), previous).has_value());
  EXPECT_EQ(MemberScore(Key("daily"), MakeMemberRankingKey(kT, "axb:guest")),
            70);
}

TEST_F(RedisCacheReadBackTest, DeletionRemovesAStrayPreviousMember) {
  const PlayerAccount player = Player("p");
  ASSERT_FALSE(Submit(player, 100, ScoreSubmission::kHighScore, kT).error);
  ASSERT_EQ(Redis::HSet(Key("alltime:timestamp"), "p:guest",
                        MakeMemberRankingKey(kT + 1, "p:guest")),
            Redis::kSuccess);
  auto done = std::make_shared<std::promise<RedisCache::DeletionResult>>();
  RedisCache::DeleteScore(
      id_, player, ResetScheduleInfo(), RankingOption(),
      [done](bool error, RedisCache::DeletionResult result) {
        EXPECT_FALSE(error);
        done->set_value(result);
      });
  auto future = done->get_future();
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(future.get(), Leaderboard::ScoreDeletion::Response::kRemoved);
  for (const char* name : {"alltime", "daily", "weekly", "monthly"}) {
    EXPECT_EQ(Cardinality(Key(name)), 0) << name;
    EXPECT_EQ(HashField(Key(std::string(name) + ":timestamp"), "p:guest"), "")
        << name;
  }
}

}  // namespace
}  // namespace redis_cache_test
}  // namespace plemox
