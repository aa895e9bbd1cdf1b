// Recovery mode through the real host: rankings filled by the running
// server, its Redis keys deleted, then rebuilt from the database by
// `plemox_host --force_leaderboard_recovery`; and the console dialogue, the
// target list and the empty database. Each test uses a database of its own
// on the test MariaDB (recovery reads every table of its database) and
// deletes only its own Redis keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/private_redis.h"
#include "support/recovery_test_base.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::ScoreSubmission;
using plemox::QueryBuilder;

class RecoveryTest : public RecoveryTestBase {
 protected:
  RecoveryTest() : RecoveryTestBase("e2erec") {}
};

std::int64_t NowInSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST_F(RecoveryTest, RebuildsEveryRankingAsItWas) {
  // "dense" keeps dense sets, "plain" does not; "weekly_event" has a weekly
  // schedule, so only its weekly and all-time rankings fill.
  const std::string arguments =
      "\"leaderboard_ids\": [\"" + Id("dense") + "\", \"" + Id("plain") +
      "\", \"" + Id("weekly_event") +
      "\"], \"reset_schedules\": [{\"leaderboard_id\": \"" +
      Id("weekly_event") +
      "\", \"period\": \"week\", \"interval\": 1, \"starts\": \"2021-02-08 "
      "00:00:00\", \"ends\": \"2099-12-31 23:59:59\"}], \"ranking_options\": "
      "[{\"leaderboard_id\": \"" +
      Id("plain") + "\", \"enable_dense\": false}]";
  // A Redis of its own: the server must become master to reset the weekly
  // schedule, which another test's server on the shared Redis may be.
  PrivateRedis redis;
  StoreProbe redis_probe(redis.port());
  redis_probe_ = &redis_probe;
  std::map<std::string, Ranking> before;
  {
    RunningServer server(Options(arguments, {redis.HostFlag()}),
                         "recovery-test");
    const auto submit = [&](const std::string& name, const std::string& player,
                            double score,
                            ScoreSubmission::Type type =
                                ScoreSubmission::kHighScore) {
      const auto result = server.client().SubmitScore(
          Id(name), QueryBuilder::Account("guest", player), score, type,
          std::nullopt);
      ASSERT_TRUE(result.answered()) << result.error;
      ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
    };
    // The new master resets the weekly schedule's last missed occurrence
    // (this run's id was never reset) about a second after start-up; wait
    // for it, so that it does not land between the submissions below.
    for (const char* store : {"(Redis)", "(DB)"}) {
      ASSERT_TRUE(server.host().WaitForLog(
          std::string("The leaderboard reset was successful") + store +
          ": leaderboard key=" + Id("weekly_event")));
    }
    for (const std::string name : {"dense", "plain", "weekly_event"}) {
      // Equal scores close together, then in a later second than all of
      // them (counted from the last answer: a and b may straddle a second).
      submit(name, "a", 100);
      submit(name, "b", 100);
      submit(name, "c", 0.1 + 0.2);
      submit(name, "d", 25, ScoreSubmission::kAdd);
      submit(name, "d", 25, ScoreSubmission::kAdd);
      submit(name, "e", 10, ScoreSubmission::kSubtract);
      submit(name, "f", 1234567890123456.0);
      const std::int64_t second = NowInSeconds();
      ASSERT_TRUE(WaitFor([&] { return NowInSeconds() > second; }));
      submit(name, "g", 100);
      submit(name, "h", 0.3);
    }
    server.Stop();  // every database write has finished
    for (const std::string name : {"dense", "plain", "weekly_event"}) {
      for (const char* timespan : kTimespans) {
        before[name + ":" + timespan] = Read(name, timespan);
      }
    }
  }
  ASSERT_EQ(before["dense:daily"].members.size(), 8u);
  ASSERT_FALSE(before["dense:daily"].dense.empty());
  ASSERT_TRUE(before["plain:daily"].dense.empty());
  ASSERT_TRUE(before["weekly_event:daily"].members.empty());
  ASSERT_EQ(before["weekly_event:weekly"].members.size(), 8u);

  // Previous-period and dated weekly tables recover to their keys too; the
  // stored seconds come back as milliseconds.
  CreateTable("dense", "yesterday", {"'guest', 'y1', -7.5, -1612345678"});
  before.erase("dense:yesterday");  // checked below
  CreateTable("dense_20210208", "weekly", {"'guest', 'w1', -3, -1612345679"});
  CreateTable("plain_20210208", "weekly", {"'guest', 'w1', -3, -1612345679"});

  redis_probe.DeleteKeys("leaderboard:" + prefix_ + "*");
  ASSERT_TRUE(Read("dense", "daily").members.empty());

  ASSERT_EQ(
      Recover(arguments, {"--force_leaderboard_recovery", redis.HostFlag()}), 0)
      << RecoveryLog();
  EXPECT_EQ(Count("Result: The data has been restored."), 1u);
  EXPECT_EQ(Count("Are you sure"), 0u);
  for (const auto& [ranking, expected] : before) {
    const auto colon = ranking.find(':');
    EXPECT_EQ(Read(ranking.substr(0, colon), ranking.substr(colon + 1)),
              expected)
        << ranking;
  }
  // The player who reached 100 a second later still ranks below.
  const auto daily = redis_probe.SortedSet(Key("dense", "daily"));
  ASSERT_EQ(daily.size(), 8u);
  EXPECT_EQ(daily[3].first.substr(13), ":g:guest");
  EXPECT_EQ(daily[5].second, 0.1 + 0.2);
  const Ranking yesterday = Read("dense", "yesterday");
  ASSERT_EQ(yesterday.members.size(), 1u);
  EXPECT_EQ(redis_probe.SortedSet(Key("dense", "yesterday"))[0].first,
            "8387654321999:y1:guest");
  EXPECT_EQ(yesterday.members[0].second, 7.5);
  const auto dated = redis_probe.SortedSet(Key("dense_20210208", "weekly"));
  ASSERT_EQ(dated.size(), 1u);
  EXPECT_EQ(dated[0].first, "8387654320999:w1:guest");
  EXPECT_TRUE(redis_probe.KeyExists(Key("dense_20210208", "weekly:dense")));
  // The dated table of a leaderboard without dense sets gets none either.
  EXPECT_TRUE(redis_probe.KeyExists(Key("plain_20210208", "weekly")));
  EXPECT_FALSE(redis_probe.KeyExists(Key("plain_20210208", "weekly:dense")));
}

TEST_F(RecoveryTest, AsksOncePerLeaderboardAndReadsAnswersFromStandardInput) {
  CreateTable("a", "alltime", {"'guest', 'p1', -1, -1612345678"});
  CreateTable(
      "a", "daily",
      {"'guest', 'p1', -1, -1612345678", "'guest', 'p2', -2, -1612345678",
       "'guest', 'p3', -3, -1612345678"});
  CreateTable("b", "alltime", {"'guest', 'p1', -1, -1612345678"});
  CreateTable("b", "daily", {"'guest', 'p1', -1, -1612345678"});
  CreateTable("c", "alltime", {"'guest', 'p1', -1, -1612345678"});

  // a: "yes" is a typing error, "Y" recovers both tables; b: "n" skips both;
  // c: "y" recovers.
  ASSERT_EQ(Recover("", {"--recover_leaderboard", "--alsologtostderr"},
                    "yes\nY\nn\ny\n"),
            0)
      << RecoveryLog();
  EXPECT_EQ(Count("Are you sure to recover the data? (y / n)"), 4u);
  EXPECT_EQ(Count("Typing error: yes"), 1u);
  EXPECT_EQ(probe_.SortedSet(Key("a", "alltime")).size(), 1u);
  EXPECT_EQ(probe_.SortedSet(Key("a", "daily")).size(), 3u);
  EXPECT_FALSE(probe_.KeyExists(Key("b", "alltime")));
  EXPECT_FALSE(probe_.KeyExists(Key("b", "daily")));
  EXPECT_EQ(probe_.SortedSet(Key("c", "alltime")).size(), 1u);
  // Three rows: three progress lines.
  EXPECT_EQ(Count("Recovering: 33%"), 1u);
  EXPECT_EQ(Count("Recovering: 66%"), 1u);
  EXPECT_EQ(Count("Recovering: 100%"), 3u);
  EXPECT_EQ(Count("Result: The data has been restored."), 1u);

  // A closed standard input answers "n": nothing is recovered.
  probe_.DeleteKeys("leaderboard:" + prefix_ + "*");
  ASSERT_EQ(Recover("", {"--recover_leaderboard", "--alsologtostderr"}, ""), 0)
      << RecoveryLog();
  EXPECT_EQ(Count("Are you sure to recover the data? (y / n)"), 3u);
  EXPECT_FALSE(probe_.KeyExists(Key("a", "alltime")));
  EXPECT_FALSE(probe_.KeyExists(Key("c", "alltime")));
  EXPECT_EQ(Count("Result: The data has been restored."), 1u);
}

TEST_F(RecoveryTest, TargetListIsCutAtEveryCommaWithoutTrimming) {
  for (const char* name : {"a", "b", "c"}) {
    CreateTable(name, "alltime", {"'guest', 'p1', -1, -1612345678"});
  }
  ASSERT_EQ(Recover("", {"--force_leaderboard_recovery",
                         "--recovery_target_leaderboard_ids=" + Id("a") + "," +
                             Id("b")}),
            0)
      << RecoveryLog();
  EXPECT_TRUE(probe_.KeyExists(Key("a", "alltime")));
  EXPECT_TRUE(probe_.KeyExists(Key("b", "alltime")));
  EXPECT_FALSE(probe_.KeyExists(Key("c", "alltime")));
  EXPECT_EQ(Count("Recovering Leaderboard ID(" + Id("c") +
                  ") is skipped. the ID is not in the list(" + Id("a") + "," +
                  Id("b") + ")."),
            1u);

  // The blank after the comma stays part of the second id.
  probe_.DeleteKeys("leaderboard:" + prefix_ + "*");
  ASSERT_EQ(Recover("", {"--force_leaderboard_recovery",
                         "--recovery_target_leaderboard_ids=" + Id("a") + ", " +
                             Id("b")}),
            0)
      << RecoveryLog();
  EXPECT_TRUE(probe_.KeyExists(Key("a", "alltime")));
  EXPECT_FALSE(probe_.KeyExists(Key("b", "alltime")));
  EXPECT_EQ(Count(") is skipped. the ID is not in the list("), 2u);
}

TEST_F(RecoveryTest, UnreadableTableEndsTheRunAsAFailure) {
  CreateTable("a", "alltime", {"'guest', 'p1', -1, -1612345678"});
  // Named like a score table, but without its columns.
  ASSERT_EQ(
      probe_.Execute("CREATE TABLE " + Table("bad", "alltime") + " (a INT)"),
      "");
  EXPECT_NE(Recover("", {"--force_leaderboard_recovery"}), 0);
  EXPECT_EQ(Count("Failed to query and recover the data: Leaderboard=" +
                  Id("bad") + "_alltime, id=" + Id("bad") + ", timespan=1"),
            1u)
      << RecoveryLog();
  EXPECT_EQ(Count("Result: failed to recover the data."), 1u);
  EXPECT_EQ(Count("Result: The data has been restored."), 0u);
  // What was recovered before stays.
  EXPECT_TRUE(probe_.KeyExists(Key("a", "alltime")));
}

TEST_F(RecoveryTest, RedisLostDuringTheRunEndsItAsAFailure) {
  // Large enough that the run is still going when Redis goes away.
  CreateTable("big", "alltime", {});
  ASSERT_EQ(probe_.Execute("INSERT INTO " + Table("big", "alltime") +
                           " SELECT 'guest', CONCAT('p', seq), -seq, "
                           "-1612345678 FROM seq_1_to_300000"),
            "");
  auto redis = std::make_unique<PrivateRedis>();
  auto options =
      Options("", {"--force_leaderboard_recovery", redis->HostFlag()});
  recovery_ = std::make_unique<HostProcess>(options);
  ASSERT_TRUE(recovery_->Start());
  ASSERT_TRUE(
      recovery_->WaitForLog("Recovering: 10%", std::chrono::seconds(60)))
      << RecoveryLog();
  redis.reset();  // Killed mid-run.
  EXPECT_NE(ExitCode(recovery_->WaitForExit(std::chrono::seconds(60))), 0)
      << RecoveryLog();
  EXPECT_EQ(Count("Redis stopped answering while recovering the data: table=" +
                  Id("big") + "_alltime"),
            1u)
      << RecoveryLog();
  EXPECT_EQ(Count("Result: failed to recover the data."), 1u);
  EXPECT_EQ(Count("Result: The data has been restored."), 0u);
}

TEST_F(RecoveryTest, EmptyDatabaseRecoversNothingAndSucceeds) {
  ASSERT_EQ(Recover("", {"--force_leaderboard_recovery"}), 0) << RecoveryLog();
  EXPECT_EQ(Count("The target Leaderboard to recover"), 0u);
  EXPECT_EQ(Count("Result: The data has been restored."), 1u);
}

}  // namespace
}  // namespace plemox_test
