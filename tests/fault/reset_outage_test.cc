// A scheduled reset that falls due while MariaDB cannot be reached: the real
// host on a Redis of its own reaches MariaDB through a TcpFaultProxy that
// refuses every connection across the due instant. The reset must not be
// lost: it waits (nothing rolls over before its log row exists), is tried
// again, and once the database is back it is logged once, rolled over once
// and its period archived with every player.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/own_database_test.h"
#include "support/private_redis.h"
#include "support/reset_test_support.h"
#include "support/store_probe.h"
#include "support/tcp_fault_proxy.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using std::chrono::seconds;

constexpr int kPlayers = 3;

class ResetOutageTest : public OwnDatabaseTest {
 protected:
  ResetOutageTest() : OwnDatabaseTest("fltreset") {}

  PrivateRedis redis_;
};

TEST_F(ResetOutageTest, AResetDueWhileTheDatabaseIsAwayIsLoggedOnceItIsBack) {
  const std::string id = prefix_ + "daily";
  const std::string stem = "leaderboard:" + id + ":";
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  const auto due = LocalNow() + posix_time::seconds(20);
  auto options = HostProcess::Options::WithArguments(
      ArgumentsJson({id}, {ScheduleJson(id, "day", due)}));
  options.flags = {redis_.HostFlag(), "--external_ip=127.0.0.1",
                   "--mysql_db_name=" + database_,
                   "--mysql_server_url=" + proxy.url(),
                   "--period_archive_retention_days=2"};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForLog("The master has elected", seconds(60)))
      << host.Log();
  plemox::LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", host.tcp_port()));
  ASSERT_TRUE(client.Authenticate("outage").ok());
  for (int j = 0; j < kPlayers; ++j) {
    ASSERT_TRUE(
        client
            .SubmitScore(
                id,
                plemox::QueryBuilder::Account("guest", "p" + std::to_string(j)),
                100 + j, Leaderboard::ScoreSubmission::kHighScore)
            .ok());
  }
  // The closing day's rows are in their table before the database goes.
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto rows = probe_.ScoreRows(database_ + "." + id + "_daily");
        return rows && rows->size() == static_cast<std::size_t>(kPlayers);
      },
      seconds(30)));
  ASSERT_LT(LocalNow(), due - posix_time::seconds(3))
      << "the server took too long to start";
  proxy.SetClosingNewConnections(true);
  proxy.CutAll();

  // Past the due instant the reset failed and waits to be tried again:
  // nothing rolled over, nothing logged.
  StoreProbe redis_probe(redis_.port());
  ASSERT_TRUE(host.WaitForLog("The reset is tried again", seconds(60)))
      << host.Log();
  EXPECT_TRUE(redis_probe.KeyExists(stem + "daily"));
  EXPECT_TRUE(redis_probe.SortedSet(stem + "yesterday").empty());

  proxy.SetClosingNewConnections(false);
  const std::string key = id + "_day/" + CompactTime(due);
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto rows = probe_.Rows(
            "SELECT state, player_count FROM " + database_ +
            ".period_archive WHERE idempotency_key = '" + key + "'");
        return rows.size() == 1 && rows[0][0] == "archived";
      },
      seconds(120)))
      << host.Log();
  const auto logged = probe_.Rows(
      "SELECT schedule_date_time FROM " + database_ +
      ".reset_schedule_log WHERE leaderboard_key = '" + id + "_day'");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0][0], CompactTime(due));
  const auto archived =
      probe_.Rows("SELECT player_count FROM " + database_ +
                  ".period_archive WHERE idempotency_key = '" + key + "'");
  ASSERT_EQ(archived.size(), 1u);
  EXPECT_EQ(archived[0][0], std::to_string(kPlayers));
  // Rolled over once, in Redis and in the tables.
  EXPECT_EQ(redis_probe.SortedSet(stem + "yesterday").size(),
            static_cast<std::size_t>(kPlayers));
  EXPECT_FALSE(redis_probe.KeyExists(stem + "daily"));
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto closed =
            probe_.ScoreRows(database_ + "." + id + "_yesterday");
        return closed && closed->size() == static_cast<std::size_t>(kPlayers);
      },
      seconds(30)))
      << host.Log();
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM, seconds(60))), 0) << host.Log();
}

}  // namespace
}  // namespace plemox_test
