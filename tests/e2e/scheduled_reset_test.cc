// Scheduled resets and the master election through real host processes on
// one Redis of the test's own (the master key is one per Redis) and the
// suite's MariaDB, in real time: schedules start a few seconds after the
// servers and fall due while the test waits for their effects. Also: a
// record made while the tables' rotation is still to run lands in the new
// day's table.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/private_redis.h"
#include "support/reset_test_support.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr char kMasterKey[] = "LEADERBOARD_MASTER";

std::string Identity(int tcp_port) {
  return "127.0.0.1:" + std::to_string(tcp_port);
}

HostProcess::Options ServerOptions(const PrivateRedis& redis,
                                   const std::string& arguments) {
  auto options = HostProcess::Options::WithArguments(arguments);
  options.flags = {redis.HostFlag(), "--external_ip=127.0.0.1"};
  return options;
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class ScheduledResetTest : public testing::Test {
 protected:
  ~ScheduledResetTest() override { probe_.ForgetLeaderboards(prefix_); }

  // The reset log rows of `key` (schedule date times).
  std::vector<std::string> LoggedResets(const std::string& key) {
    std::vector<std::string> out;
    for (const auto& row :
         probe_.Rows("SELECT schedule_date_time FROM reset_schedule_log WHERE "
                     "leaderboard_key = '" +
                     key + "'")) {
      out.push_back(row.at(0));
    }
    return out;
  }

  // The current ranking of `id`, its member index and its dense set have
  // moved to the previous-period keys, and the tables have swapped.
  void ExpectRolledOver(StoreProbe& redis_probe, const std::string& id,
                        const std::string& current, const std::string& previous,
                        const std::string& account) {
    SCOPED_TRACE(id + " " + current);
    const std::string now_key = "leaderboard:" + id + ":" + current;
    const std::string old_key = "leaderboard:" + id + ":" + previous;
    for (const char* suffix : {"", ":timestamp", ":dense"}) {
      EXPECT_FALSE(redis_probe.KeyExists(now_key + suffix)) << suffix;
      EXPECT_TRUE(redis_probe.KeyExists(old_key + suffix)) << suffix;
    }
    const auto ranking = redis_probe.SortedSet(old_key);
    ASSERT_EQ(ranking.size(), 1u);
    EXPECT_NE(ranking[0].first.find(":" + account + ":guest"),
              std::string::npos);
    EXPECT_EQ(redis_probe.SortedSet("leaderboard:" + id + ":alltime").size(),
              1u);
    const auto current_rows = probe_.ScoreRows(id + "_" + current);
    const auto previous_rows = probe_.ScoreRows(id + "_" + previous);
    ASSERT_TRUE(current_rows && previous_rows);
    EXPECT_TRUE(current_rows->empty());
    EXPECT_EQ(previous_rows->count("guest:" + account), 1u);
  }

  const std::string prefix_ = UniquePrefix("e2esch");
  StoreProbe probe_;
};

TEST_F(ScheduledResetTest, DailyWeeklyMonthlyRollOverOnceOnTheMasterOnly) {
  PrivateRedis redis;
  const std::string day = prefix_ + "d", week = prefix_ + "w",
                    month = prefix_ + "m";
  const auto starts = LocalNow() + posix_time::seconds(15);
  const std::string arguments =
      ArgumentsJson({day, week, month}, {ScheduleJson(day, "day", starts),
                                         ScheduleJson(week, "week", starts),
                                         ScheduleJson(month, "month", starts)});
  RunningServer master(ServerOptions(redis, arguments), "scheduled-reset");
  ASSERT_TRUE(master.host().WaitForLog("The master has elected"))
      << master.host().Log();
  HostProcess follower(ServerOptions(redis, arguments));
  ASSERT_TRUE(follower.Start());
  ASSERT_TRUE(follower.WaitForLog("New master elected: " +
                                  Identity(master.host().tcp_port())))
      << follower.Log();

  for (const auto& id : {day, week, month}) {
    ASSERT_TRUE(master.client()
                    .SubmitScore(id, QueryBuilder::Account("guest", "p1"), 10,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }
  ASSERT_LT(LocalNow(), starts) << "the servers took too long to start";
  for (const auto& key : {day + "_day", week + "_week", month + "_month"}) {
    for (const char* part : {"(Redis)", "(DB)"}) {
      ASSERT_TRUE(master.host().WaitForLog(
          std::string("The leaderboard reset was successful") + part +
              ": leaderboard key=" + key,
          seconds(40)))
          << master.host().Log();
    }
    EXPECT_EQ(LoggedResets(key), std::vector<std::string>{CompactTime(starts)})
        << key;
  }
  StoreProbe redis_probe(redis.port());
  ExpectRolledOver(redis_probe, day, "daily", "yesterday", "p1");
  ExpectRolledOver(redis_probe, week, "weekly", "lastweek", "p1");
  ExpectRolledOver(redis_probe, month, "monthly", "lastmonth", "p1");

  // The follower's schedules moved past the reset without performing it.
  ASSERT_TRUE(
      WaitFor([&] { return LocalNow() > starts + posix_time::seconds(2); },
              seconds(10)));
  EXPECT_EQ(follower.Log().find("Leaderboard is going to be reset"),
            std::string::npos);
  EXPECT_EQ(Count(master.host().Log(), "Leaderboard is going to be reset"), 3);

  // Shutting down stops the election chain before the database goes: the
  // host exits cleanly and nothing reaches a released connection.
  const auto stop_started = steady_clock::now();
  master.Stop();
  EXPECT_LT(steady_clock::now() - stop_started, seconds(10));
  const std::string log = master.host().Log();
  const std::string after = log.substr(log.find("Shutting down"));
  EXPECT_EQ(after.find("Timer threads are not running"), std::string::npos)
      << after;
  EXPECT_EQ(after.find("database connection is closed"), std::string::npos)
      << after;
  EXPECT_EQ(ExitCode(follower.Stop(SIGTERM)), 0);
}

TEST_F(ScheduledResetTest,
       NewMasterTakesOverAndPerformsTheResetMissedInTheGap) {
  PrivateRedis redis;
  const std::string id = prefix_ + "gap";
  const auto starts = LocalNow() + posix_time::seconds(14);
  const std::string arguments =
      ArgumentsJson({id}, {ScheduleJson(id, "day", starts)});
  // Two servers start together: exactly one wins the election.
  HostProcess first(ServerOptions(redis, arguments));
  HostProcess second(ServerOptions(redis, arguments));
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  StoreProbe redis_probe(redis.port());
  ASSERT_TRUE(
      WaitFor([&] { return redis_probe.KeyExists(kMasterKey); }, seconds(20)))
      << first.Log() << second.Log();
  const std::string master_identity =
      redis_probe.RedisCall({"GET", kMasterKey}).at(0);
  const bool first_is_master = master_identity == Identity(first.tcp_port());
  HostProcess& master = first_is_master ? first : second;
  HostProcess& follower = first_is_master ? second : first;
  ASSERT_EQ(master_identity, Identity(master.tcp_port()));
  ASSERT_TRUE(master.WaitForLog("The master has elected")) << master.Log();
  ASSERT_TRUE(follower.WaitForLog("New master elected: " + master_identity))
      << follower.Log();
  EXPECT_EQ(follower.Log().find("The master has elected"), std::string::npos);
  const long long ttl_ms =
      std::stoll(redis_probe.RedisCall({"PTTL", kMasterKey}).at(0));
  EXPECT_GT(ttl_ms, 0);
  EXPECT_LE(ttl_ms, 5000);

  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", follower.tcp_port()));
  ASSERT_TRUE(client.Authenticate("failover").ok());
  ASSERT_TRUE(client
                  .SubmitScore(id, QueryBuilder::Account("guest", "p1"), 10,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());

  // The master dies two seconds before the reset; its key outlives the
  // reset time, so nobody is master when it falls due.
  ASSERT_TRUE(
      WaitFor([&] { return LocalNow() >= starts - posix_time::seconds(2); },
              seconds(30)));
  ASSERT_LT(LocalNow(), starts) << "the servers took too long to start";
  master.Stop(SIGKILL);
  const auto killed = steady_clock::now();
  ASSERT_TRUE(follower.WaitForLog("The master has elected", seconds(15)))
      << follower.Log();
  EXPECT_LE(steady_clock::now() - killed, seconds(7));
  EXPECT_EQ(redis_probe.RedisCall({"GET", kMasterKey}).at(0),
            Identity(follower.tcp_port()));

  for (const char* part : {"(Redis)", "(DB)"}) {
    ASSERT_TRUE(follower.WaitForLog(
        std::string("The leaderboard reset was successful") + part +
            ": leaderboard key=" + id + "_day",
        seconds(20)))
        << follower.Log();
  }
  EXPECT_NE(follower.Log().find(
                "unless it was done before this server became master"),
            std::string::npos);
  EXPECT_EQ(LoggedResets(id + "_day"),
            std::vector<std::string>{CompactTime(starts)});
  // Performed once: a second rollover would have emptied yesterday.
  ExpectRolledOver(redis_probe, id, "daily", "yesterday", "p1");
  EXPECT_EQ(Count(follower.Log(), "Leaderboard is going to be reset"), 1);
  client.Close();
  EXPECT_EQ(ExitCode(follower.Stop(SIGTERM)), 0);
}

TEST_F(ScheduledResetTest, ServerStartedAfterAResetTimePerformsItOnce) {
  PrivateRedis redis;
  StoreProbe redis_probe(redis.port());
  const std::string week = prefix_ + "down", day = prefix_ + "due";
  // Every server was down when the weekly reset fell due a day ago; the daily
  // one is due again today, an instant ago.
  const auto starts = LocalNow() - posix_time::hours(24);
  for (const auto& [id, timespan] :
       std::vector<std::pair<std::string, std::string>>{{week, "weekly"},
                                                        {day, "daily"}}) {
    const std::string key = "leaderboard:" + id + ":" + timespan;
    redis_probe.RedisCall({"ZADD", key, "10", "1:p1:guest"});
    redis_probe.RedisCall({"ZADD", key + ":dense", "10", "10"});
    redis_probe.RedisCall(
        {"HSET", key + ":timestamp", "p1:guest", "1:p1:guest"});
  }
  HostProcess host(ServerOptions(
      redis, ArgumentsJson({week, day}, {ScheduleJson(week, "week", starts),
                                         ScheduleJson(day, "day", starts)})));
  ASSERT_TRUE(host.Start());
  for (const auto& key : {week + "_week", day + "_day"}) {
    ASSERT_TRUE(host.WaitForLog(
        "The leaderboard reset was successful(Redis): leaderboard key=" + key))
        << host.Log();
  }
  EXPECT_EQ(LoggedResets(week + "_week"),
            std::vector<std::string>{CompactTime(starts)});
  // Today's daily occurrence only: yesterday's on top of it would have
  // emptied the previous day.
  EXPECT_EQ(
      LoggedResets(day + "_day"),
      std::vector<std::string>{CompactTime(starts + posix_time::hours(24))});
  EXPECT_EQ(redis_probe.SortedSet("leaderboard:" + week + ":lastweek").size(),
            1u);
  EXPECT_EQ(redis_probe.SortedSet("leaderboard:" + day + ":yesterday").size(),
            1u);
  EXPECT_FALSE(redis_probe.KeyExists("leaderboard:" + week + ":weekly"));
  EXPECT_EQ(Count(host.Log(), "Leaderboard is going to be reset"), 2);
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0);
}

TEST_F(ScheduledResetTest, RestartWithinTheKeyLifetimeResumesAsMaster) {
  PrivateRedis redis;
  const std::string arguments = ArgumentsJson({prefix_ + "r"}, {});
  HostProcess before(ServerOptions(redis, arguments));
  ASSERT_TRUE(before.Start());
  ASSERT_TRUE(before.WaitForLog("The master has elected")) << before.Log();
  const int port = before.tcp_port();
  before.Stop(SIGKILL);
  const auto killed = steady_clock::now();

  auto options = ServerOptions(redis, arguments);
  options.flags.push_back("--server_tcp_port=" + std::to_string(port));
  HostProcess after(options);
  ASSERT_TRUE(after.Start());
  ASSERT_TRUE(after.WaitForLog("New master elected: " + Identity(port)))
      << after.Log();
  EXPECT_LT(steady_clock::now() - killed, seconds(5));
  // Well past the lifetime of the old refresh, the key is still held: the
  // restarted server renews it without a new election.
  ASSERT_TRUE(WaitFor([&] { return steady_clock::now() - killed > seconds(7); },
                      seconds(10)));
  StoreProbe redis_probe(redis.port());
  EXPECT_EQ(redis_probe.RedisCall({"GET", kMasterKey}).at(0), Identity(port));
  EXPECT_EQ(after.Log().find("The Redis master key does not exists"),
            std::string::npos)
      << after.Log();
  EXPECT_EQ(after.Log().find("The master has elected"), std::string::npos);
  EXPECT_EQ(ExitCode(after.Stop(SIGTERM)), 0);
}

TEST_F(ScheduledResetTest, RecordsAfterTheDueInstantWaitForTheTablesRotation) {
  PrivateRedis redis;
  const std::string id = prefix_ + "late", other = prefix_ + "other";
  const auto starts = LocalNow() + posix_time::seconds(15);
  RunningServer master(
      ServerOptions(
          redis, ArgumentsJson({id, other}, {ScheduleJson(id, "day", starts)})),
      "rotation-order");
  ASSERT_TRUE(master.host().WaitForLog("The master has elected"))
      << master.host().Log();
  const auto submit = [&](const std::string& leaderboard,
                          const std::string& player, double score) {
    return master.client()
        .SubmitScore(leaderboard, QueryBuilder::Account("guest", player), score,
                     Leaderboard::ScoreSubmission::kHighScore)
        .ok();
  };
  ASSERT_TRUE(submit(id, "before", 10));
  // Another session holds yesterday's table, so the rotation (its TRUNCATE)
  // waits at midnight as it does behind thousands of others.
  StoreProbe locker;
  ASSERT_EQ(locker.Execute("LOCK TABLES " + id + "_yesterday WRITE"), "");
  ASSERT_LT(LocalNow(), starts) << "the server took too long to start";
  ASSERT_TRUE(master.host().WaitForLog(
      "The leaderboard reset was successful(Redis): leaderboard key=" + id +
          "_day",
      seconds(40)))
      << master.host().Log();

  // A record of the new day while the rotation waits; the same player's
  // record on a leaderboard without a schedule is written after it on the
  // same connection, so once that is in its table this one would be in
  // the daily table too, had it not been held.
  ASSERT_TRUE(submit(id, "after", 20));
  ASSERT_TRUE(submit(other, "after", 5));
  ASSERT_TRUE(WaitFor([&] {
    const auto rows = probe_.ScoreRows(other + "_alltime");
    return rows && rows->count("guest:after") == 1;
  }));
  const auto waiting = probe_.ScoreRows(id + "_daily");
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->count("guest:after"), 0u);
  EXPECT_EQ(waiting->count("guest:before"), 1u);

  ASSERT_EQ(locker.Execute("UNLOCK TABLES"), "");
  ASSERT_TRUE(master.host().WaitForLog(
      "The leaderboard reset was successful(DB): leaderboard key=" + id +
          "_day",
      seconds(40)))
      << master.host().Log();
  // The held record follows the rotation into the day it belongs to.
  ASSERT_TRUE(WaitFor([&] {
    const auto rows = probe_.ScoreRows(id + "_daily");
    return rows && rows->count("guest:after") == 1;
  }));
  const auto today = probe_.ScoreRows(id + "_daily");
  const auto yesterday = probe_.ScoreRows(id + "_yesterday");
  ASSERT_TRUE(today && yesterday);
  EXPECT_EQ(today->size(), 1u);
  EXPECT_EQ(yesterday->size(), 1u);
  EXPECT_EQ(yesterday->count("guest:before"), 1u);
  master.Stop();
}

}  // namespace
}  // namespace plemox_test
