// What the scripted ranking cache adds to the command chain: a failed
// submission writes nothing, a reader never sees a submission half-done, a
// server that lost its scripts gets them again, and a connection failure is
// reported as an uncertain outcome rather than as a plain failure.
#include <hiredis/hiredis.h>

#include "support/command_monitor.h"
#include "support/log_capture.h"
#include "support/private_redis.h"
#include "support/redis_cache_fixture.h"
#include "support/tcp_fault_proxy.h"
#include "vel/redis/redis_script.h"

namespace plemox {
namespace redis_cache_test {
namespace {

using Status = RedisCache::SubmitStatus;

struct StatusOutcome {
  Status status = Status::kFailed;
  RedisCache::NewRecords records;
};

class RedisCacheScriptTest : public RedisCacheTest {
 protected:
  StatusOutcome SubmitWithStatus(const PlayerAccount& account, double score,
                                 std::int64_t timestamp) {
    auto done = std::make_shared<std::promise<StatusOutcome>>();
    RedisCache::SubmitScore(id_, account, score, ScoreSubmission::kHighScore,
                            timestamp, ResetScheduleInfo(), RankingOption(),
                            RedisCache::SubmissionExtras(),
                            [done](const RedisCache::SubmitOutcome& submitted) {
                              StatusOutcome outcome;
                              outcome.status = submitted.status;
                              outcome.records = *submitted.new_records;
                              done->set_value(outcome);
                            });
    auto future = done->get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  }

  void TearDown() override {
    if (moved_) UseSharedServer();
    RedisCacheTest::TearDown();
  }

  // Points the client's default server at 127.0.0.1:`port` (the cache
  // always uses the default server) with a short command timeout, until the
  // test ends.
  void UseDefaultServer(int port) {
    moved_ = true;
    Redis::Finalize();
    FLAGS_redis_host = "127.0.0.1";
    FLAGS_redis_port = port;
    FLAGS_redis_timeout_ms = 300;
    ASSERT_TRUE(Redis::Initialize());
  }

  // Back to the shared test server, for the clean-up and the tests that run
  // after this one in the same process.
  static void UseSharedServer() {
    Redis::Finalize();
    FLAGS_redis_host = plemox_test::RedisHost();
    FLAGS_redis_port = plemox_test::RedisPort();
    FLAGS_redis_timeout_ms = 2000;
    ASSERT_TRUE(Redis::Initialize());
  }

  bool moved_ = false;
};

TEST_F(RedisCacheScriptTest, FailedSubmissionWritesNothing) {
  const PlayerAccount player = Player("p");
  // The weekly ranking's key holds a hash: Redis refuses the weekly update.
  ASSERT_EQ(Redis::HSet(Key("weekly"), "f", "v"), Redis::kSuccess);

  FLAGS_redis_cache_use_scripts = true;
  const StatusOutcome scripted = SubmitWithStatus(player, 10, kT);
  EXPECT_EQ(scripted.status, Status::kFailed);
  EXPECT_TRUE(scripted.records.empty());
  EXPECT_FALSE(KeyExists(Key("daily")));
  EXPECT_FALSE(KeyExists(Key("daily:timestamp")));
  EXPECT_FALSE(KeyExists(Key("alltime")));

  // The command chain stops half-way instead: daily is written.
  FLAGS_redis_cache_use_scripts = false;
  const StatusOutcome chained = SubmitWithStatus(player, 10, kT);
  EXPECT_EQ(chained.status, Status::kFailed);
  EXPECT_EQ(chained.records.size(), 1u);
  EXPECT_TRUE(KeyExists(Key("daily")));
}

TEST_F(RedisCacheScriptTest, QueriesNeverSeeASubmissionHalfDone) {
  FLAGS_redis_cache_use_scripts = true;
  const PlayerAccount player = Player("p");
  ASSERT_FALSE(Submit(player, 1, ScoreSubmission::kHighScore, kT).error);

  // Every submission moves the player to a new member of the ranking; a
  // reader between the index write and the member write would find no rank.
  std::atomic<bool> done{false};
  std::atomic<int> absent{0};
  std::atomic<int> queries{0};
  std::thread reader([&] {
    while (!done) {
      const QueryResult result =
          Nearby(player, 0, 0, LeaderboardQuery::Request::kPosition);
      ++queries;
      if (result.error || result.records.size() != 1 ||
          result.records[0].rank != 1) {
        ++absent;
      }
      // A social query reads the index entry and the score at one instant:
      // never the entry of a member the submission has just replaced.
      const QueryResult social = Social(Player("q"), {player}, 1);
      ++queries;
      if (social.error || social.records.size() != 2 ||
          social.records[0].account != player || social.records[0].score < 1) {
        ++absent;
      }
    }
  });
  for (int i = 2; i <= 300; ++i) {
    ASSERT_FALSE(Submit(player, i, ScoreSubmission::kHighScore, kT + i).error);
  }
  done = true;
  reader.join();
  EXPECT_GT(queries, 10);
  EXPECT_EQ(absent, 0);
}

TEST_F(RedisCacheScriptTest, ServerThatLostTheScriptsGetsThemAgain) {
  plemox_test::PrivateRedis server;
  UseDefaultServer(server.port());
  FLAGS_redis_cache_use_scripts = true;

  // The scripts were loaded into the shared server at start-up, not here.
  Outcome first = Submit(Player("p"), 5, ScoreSubmission::kHighScore, kT);
  ASSERT_FALSE(first.error);
  EXPECT_EQ(first.records.size(), 4u);

  redisContext* context = redisConnect("127.0.0.1", server.port());
  ASSERT_TRUE(context != nullptr && context->err == 0);
  auto* reply = static_cast<redisReply*>(redisCommand(context, "SCRIPT FLUSH"));
  ASSERT_NE(reply, nullptr);
  freeReplyObject(reply);
  redisFree(context);

  const Outcome second =
      Submit(Player("p"), 7, ScoreSubmission::kHighScore, kT + 1);
  ASSERT_FALSE(second.error);
  EXPECT_EQ(second.records.back(), std::make_pair(Response::kNewRecord, 7.0));
  const QueryResult top = FromTop(0, 9, LeaderboardQuery::Request::kDense);
  ASSERT_FALSE(top.error);
  ASSERT_EQ(top.records.size(), 1u);
  EXPECT_EQ(top.records[0].score, 7);
  // Whether a call met NOSCRIPT (a connection opened before the flush) or
  // not (one opened after it loads the scripts first) depends on the
  // connection each call took; redis_pipeline_test covers both ways.
}

TEST_F(RedisCacheScriptTest, ConnectionFailureIsAnUncertainOutcome) {
  plemox_test::TcpFaultProxy proxy(plemox_test::RedisHost(),
                                   plemox_test::RedisPort());
  UseDefaultServer(proxy.port());
  FLAGS_redis_cache_use_scripts = true;

  // A refusal by Redis is definite.
  ASSERT_EQ(Redis::HSet(Key("daily:dense"), "f", "v"), Redis::kSuccess);
  EXPECT_EQ(SubmitWithStatus(Player("p"), 1, kT).status, Status::kFailed);
  ASSERT_EQ(Redis::Del(Key("daily:dense")), Redis::kSuccess);
  ASSERT_EQ(SubmitWithStatus(Player("p"), 5, kT).status, Status::kStored);

  plemox_test::LogCapture log;
  proxy.SetStalled(true);
  const StatusOutcome stalled = SubmitWithStatus(Player("p"), 9, kT + 1);
  EXPECT_EQ(stalled.status, Status::kUncertain);
  EXPECT_TRUE(stalled.records.empty());
  EXPECT_EQ(log.Count(google::GLOG_ERROR,
                      "the submission may or may not have been stored"),
            1);

  // The old interface reports an uncertain outcome as a failure.
  Outcome old_interface =
      Submit(Player("p"), 10, ScoreSubmission::kHighScore, kT + 2);
  EXPECT_TRUE(old_interface.error);
  // Nothing sent (no server to connect to): a definite failure.
  proxy.SetStalled(false);
  proxy.StopListening();
  proxy.CutAll();
  EXPECT_EQ(SubmitWithStatus(Player("p"), 11, kT + 2).status, Status::kFailed);
  proxy.StartListening();

  ASSERT_TRUE(plemox_test::WaitFor([&] {
    return SubmitWithStatus(Player("q"), 1, kT + 3).status == Status::kStored;
  }));
}

// The longest list the service lets through is read by one EVALSHA (no
// argument or unpack limit of Lua is reached) and answered as the command
// chain answers it.
TEST_F(RedisCacheScriptTest, LargestSocialListIsOneScriptCall) {
  const auto count = static_cast<int>(FLAGS_max_competitors_per_query);
  ASSERT_GE(count, 2);
  std::vector<std::pair<PlayerAccount, double>> seeded;
  std::vector<PlayerAccount> competitors;
  for (int i = 0; i < count - 1; ++i) {
    competitors.push_back(Player("c" + std::to_string(i)));
    if (i % 2 == 0) seeded.emplace_back(competitors.back(), i % 7);
  }
  competitors.push_back(Player("me"));  // the player among its competitors
  seeded.emplace_back(Player("me"), 3);
  Seed(seeded);

  FLAGS_redis_cache_use_scripts = true;
  CommandMonitor monitor;
  ASSERT_TRUE(monitor.ok());
  const QueryResult scripted = Social(Player("me"), competitors,
                                      LeaderboardQuery::Request::kCompetition);
  const std::string marker = id_ + "_monitor_marker";
  bool exists = true;
  ASSERT_EQ(Redis::Exists(marker, &exists), Redis::kSuccess);
  std::vector<std::string> sent;  // by the cache, not by the script
  for (const auto& line : monitor.LinesUntil(marker, "\"" + Key("alltime"))) {
    if (CommandMonitor::ClientOf(line).find("lua") == std::string::npos) {
      sent.push_back(CommandMonitor::CommandOf(line));
    }
  }
  EXPECT_EQ(sent, std::vector<std::string>{"EVALSHA"});

  ASSERT_FALSE(scripted.error);
  EXPECT_EQ(scripted.total_player_count, count + 1);
  ASSERT_EQ(scripted.records.size(), static_cast<std::size_t>(count + 1));
  EXPECT_EQ(scripted.records.front().score, 6);
  EXPECT_EQ(scripted.records.back().score, 0);

  FLAGS_redis_cache_use_scripts = false;
  const QueryResult chained = Social(Player("me"), competitors,
                                     LeaderboardQuery::Request::kCompetition);
  ASSERT_FALSE(chained.error);
  EXPECT_EQ(Ids(scripted), Ids(chained));
  EXPECT_EQ(Ranks(scripted), Ranks(chained));
  EXPECT_EQ(Scores(scripted), Scores(chained));
}

// A script that Redis stops (here: the member index is not a hash) fails the
// query with one error line, never with a partial list.
TEST_F(RedisCacheScriptTest, FailedSocialScriptIsAnError) {
  ASSERT_EQ(Redis::ZAdd(Key("alltime:timestamp"), 1, "not a hash"),
            Redis::kSuccess);
  FLAGS_redis_cache_use_scripts = true;
  plemox_test::LogCapture log;
  const QueryResult result = Social(Player("me"), {Player("a")}, 1);
  EXPECT_TRUE(result.error);
  EXPECT_TRUE(result.records.empty());
  EXPECT_EQ(log.Count(google::GLOG_ERROR,
                      "Failed to query social leaderboard, the query script "
                      "failed: "),
            1);
}

// A submission id's record makes the read-back of an uncertain submission
// exact: the copy that wrote it, another copy (a resend), or none; and a
// resend is answered from it without writing. A submission without an id
// is read back from the rankings, the profile compared with what it carried.
TEST_F(RedisCacheScriptTest, SubmissionIdRecordAnswersResendsAndReadBacks) {
  FLAGS_redis_cache_use_scripts = true;
  FLAGS_submission_id_ttl_seconds = 77;
  const PlayerAccount player = Player("p");
  extra_keys_ = {MakeSubmissionIdKey(id_, "id-1"),
                 MakeSubmissionIdKey(id_, "id-2")};
  // A kAdd of 5 by "Pat" at kT, or its read-back, as the copy `token`.
  const auto run = [&](bool read, const std::string& submission_id,
                       const std::string& token) {
    RedisCache::SubmissionExtras extras;
    extras.display_name = "Pat";
    extras.submission_id = submission_id;
    extras.token = token;
    auto done = std::make_shared<std::promise<RedisCache::SubmitOutcome>>();
    const auto callback = [done](const RedisCache::SubmitOutcome& outcome) {
      done->set_value(outcome);
    };
    if (read) {
      RedisCache::ReadBackSubmission(id_, player, 5, kT, DayOnly(),
                                     RankingOption(), extras, callback);
    } else {
      RedisCache::SubmitScore(id_, player, 5, ScoreSubmission::kAdd, kT,
                              DayOnly(), RankingOption(), extras, callback);
    }
    return done->get_future().get();
  };
  const auto submit = [&](const std::string& submission_id,
                          const std::string& token) {
    return run(false, submission_id, token);
  };
  const auto read_back = [&](const std::string& submission_id,
                             const std::string& token) {
    return run(true, submission_id, token);
  };
  const Records applied = {{Response::kNewRecordDaily, 5},
                           {Response::kNewRecord, 5}};

  const auto first = submit("id-1", "token-a");
  ASSERT_EQ(first.status, Status::kStored);
  EXPECT_EQ(*first.new_records, applied);
  EXPECT_TRUE(first.profile_changed);
  const vel::RedisScript ttl_script("ttl", "return redis.call('TTL', KEYS[1])");
  vel::RedisValue ttl;
  ASSERT_EQ(ttl_script.Run({MakeSubmissionIdKey(id_, "id-1")}, {}, &ttl),
            Redis::kSuccess);
  EXPECT_GT(ttl.integer, 70);
  EXPECT_LE(ttl.integer, 77);

  // A resend: the first answer, nothing added.
  const auto resent = submit("id-1", "token-b");
  EXPECT_EQ(resent.status, Status::kResent);
  EXPECT_EQ(*resent.new_records, applied);
  double stored = 0;
  ASSERT_EQ(
      Redis::ZScore(Key("daily"), HashField(Key("daily:timestamp"), "p:guest"),
                    &stored),
      Redis::kSuccess);
  EXPECT_EQ(stored, 5);

  const auto own = read_back("id-1", "token-a");
  EXPECT_EQ(own.status, Status::kStored);
  EXPECT_EQ(*own.new_records, applied);
  EXPECT_TRUE(own.profile_changed);
  EXPECT_EQ(read_back("id-1", "token-b").status, Status::kResent);
  const auto none = read_back("id-2", "token-c");
  EXPECT_EQ(none.status, Status::kStored);
  EXPECT_TRUE(none.new_records->empty());

  // Without an id: the rankings as SubmitScore left them (the member of
  // time kT), and the profile holds the name the submission carried.
  const auto plain = read_back("", "");
  EXPECT_EQ(plain.status, Status::kStored);
  EXPECT_EQ(*plain.new_records, applied);
  EXPECT_TRUE(plain.profile_changed);
}

// The command chain keeps no names, metadata or submission ids: a
// submission carrying one is refused before anything is written.
TEST_F(RedisCacheScriptTest, ChainRefusesSubmissionExtras) {
  FLAGS_redis_cache_use_scripts = false;
  RedisCache::SubmissionExtras extras;
  extras.metadata = "m";
  auto done = std::make_shared<std::promise<RedisCache::SubmitOutcome>>();
  RedisCache::SubmitScore(id_, Player("p"), 5, ScoreSubmission::kHighScore, kT,
                          ResetScheduleInfo(), RankingOption(), extras,
                          [done](const RedisCache::SubmitOutcome& outcome) {
                            done->set_value(outcome);
                          });
  const auto outcome = done->get_future().get();
  EXPECT_EQ(outcome.status, Status::kRefused);
  EXPECT_EQ(outcome.refusal,
            "display_name, metadata and submission_id are not kept without "
            "--redis_cache_use_scripts");
  bool exists = true;
  ASSERT_EQ(Redis::Exists(Key("alltime"), &exists), Redis::kSuccess);
  EXPECT_FALSE(exists);
}

}  // namespace
}  // namespace redis_cache_test
}  // namespace plemox
