// The database writes of the running server: writes still queued in the bulk
// insert queue at SIGTERM reach their tables, and a database that is
// unreachable for 20 s under load loses nothing the server answered as a new
// record. The database path goes through a TcpFaultProxy, so the shared
// MariaDB keeps running for the other tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/tcp_fault_proxy.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::ScoreSubmission;
using plemox::QueryBuilder;
using Clock = std::chrono::steady_clock;

const char* const kTimespans[] = {"daily", "weekly", "monthly", "alltime"};

std::string DbWritesPrefix() {
  return "e2edbw" + std::to_string(getpid()) + "_";
}

// Plain statements: every host start replaces the stored procedures, and a
// call racing with that (another test's server starting) is refused, which
// these tests would count as a lost write.
HostProcess::Options Options(const std::string& leaderboard_id,
                             std::vector<std::string> flags) {
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + leaderboard_id + "\"]");
  options.flags = std::move(flags);
  options.flags.push_back("--leaderboard_use_db_stored_procedure=false");
  return options;
}

class DbWritesTest : public testing::TestWithParam<bool> {
 protected:
  void TearDown() override {
    probe_.DeleteKeys("leaderboard:" + DbWritesPrefix() + "*");
    probe_.DropTables(DbWritesPrefix());
  }

  // Flags that choose the bulk queue (the test parameter).
  std::vector<std::string> BulkFlags(const std::string& flush_ms) const {
    return {std::string("--leaderboard_use_db_bulk_insert=") +
                (GetParam() ? "true" : "false"),
            "--force_flush_interval_in_msec=" + flush_ms};
  }

  // Empty when the table of every ranking holds exactly the ranking's
  // players with their scores (negated); otherwise the first difference.
  std::string CompareTablesWithRedis(const std::string& leaderboard_id) {
    for (const char* timespan : kTimespans) {
      const auto ranking =
          probe_.SortedSet("leaderboard:" + leaderboard_id + ":" + timespan);
      const auto rows = probe_.ScoreRows(leaderboard_id + "_" + timespan);
      if (!rows) return std::string("no table ") + timespan;
      if (rows->size() != ranking.size()) {
        return std::string(timespan) + ": " + std::to_string(rows->size()) +
               " rows for " + std::to_string(ranking.size()) + " members";
      }
      for (const auto& member : ranking) {
        // "inverted time:local account:service provider"
        const std::string& text = member.first;
        const std::size_t first = text.find(':');
        const std::size_t second = text.find(':', first + 1);
        const std::string key = text.substr(second + 1) + ":" +
                                text.substr(first + 1, second - first - 1);
        const auto row = rows->find(key);
        if (row == rows->end()) return std::string(timespan) + ": no " + key;
        if (row->second.first != -member.second) {
          return std::string(timespan) + ": " + key + " has " +
                 std::to_string(row->second.first) + ", Redis " +
                 std::to_string(member.second);
        }
      }
    }
    return "";
  }

  StoreProbe probe_;
};

TEST_P(DbWritesTest, WritesPendingAtSigtermReachTheTables) {
  const std::string id =
      DbWritesPrefix() + "sigterm" + (GetParam() ? "b" : "s");
  // A flush interval far beyond the test: only shutdown can send them.
  RunningServer server(Options(id, BulkFlags("600000")), "db-writes-test");
  for (int i = 0; i < 5; ++i) {
    const auto result = server.client().SubmitScore(
        id, QueryBuilder::Account("guest", "p" + std::to_string(i)), 10 + i,
        ScoreSubmission::kHighScore);
    ASSERT_TRUE(result.answered()) << result.error;
    ASSERT_EQ(result.response.score_submission().result(),
              ScoreSubmission::Response::kNewRecord);
  }
  server.Stop();
  EXPECT_EQ(CompareTablesWithRedis(id), "");
  const auto rows = probe_.ScoreRows(id + "_alltime");
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 5u);
  EXPECT_EQ(rows->at("guest:p4").first, -14);
  if (GetParam()) {
    EXPECT_NE(server.host().Log().find("writes still queued"),
              std::string::npos);
  }
}

TEST_P(DbWritesTest, ADeletionRightAfterASubmissionLeavesNoRow) {
  const std::string id = DbWritesPrefix() + "delete" + (GetParam() ? "b" : "s");
  RunningServer server(Options(id, BulkFlags("600000")), "db-writes-test");
  for (const char* account : {"gone", "stays"}) {
    const auto result =
        server.client().SubmitScore(id, QueryBuilder::Account("guest", account),
                                    7, ScoreSubmission::kHighScore);
    ASSERT_TRUE(result.answered()) << result.error;
  }
  const auto deleted = server.client().DeleteScores(
      {{id, QueryBuilder::Account("guest", "gone")}});
  ASSERT_TRUE(deleted.answered()) << deleted.error;
  ASSERT_EQ(deleted.response.score_deletions_size(), 1)
      << deleted.response.DebugString();
  server.Stop();
  for (const char* timespan : kTimespans) {
    const auto rows = probe_.ScoreRows(id + "_" + timespan);
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->count("guest:gone"), 0u) << timespan;
    EXPECT_EQ(rows->count("guest:stays"), 1u) << timespan;
  }
}

TEST_P(DbWritesTest, TwentySecondOutageUnderLoadLosesNoRecord) {
  const std::string id = DbWritesPrefix() + "outage" + (GetParam() ? "b" : "s");
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  auto flags = BulkFlags("200");
  flags.push_back("--mysql_server_url=" + proxy.url());
  RunningServer server(Options(id, flags), "db-writes-test");

  constexpr int kPlayers = 200;
  // Submissions per second the load keeps to; between them it reads.
  constexpr int kSubmissionsPerSecond = 500;
  const auto start = Clock::now();
  const auto elapsed = [&] { return Clock::now() - start; };
  std::map<std::string, double> reported_alltime;  // account -> score
  bool cut = false;
  bool restored = false;
  int submissions = 0;
  int during_outage = 0;
  int reads = 0;
  while (elapsed() < std::chrono::seconds(24)) {
    if (!cut && elapsed() >= std::chrono::seconds(2)) {
      proxy.SetClosingNewConnections(true);
      proxy.CutAll();
      cut = true;
    }
    if (!restored && elapsed() >= std::chrono::seconds(22)) {
      proxy.SetClosingNewConnections(false);
      restored = true;
    }
    const auto due =
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed())
            .count() *
        kSubmissionsPerSecond / 1000;
    const std::string account = "p" + std::to_string(submissions % kPlayers);
    if (submissions >= due) {
      // Ahead of the pace: a read keeps the server busy meanwhile.
      const auto read = server.client().Query(QueryBuilder::Public(
          id, Leaderboard::LeaderboardQuery::kAllTime,
          Leaderboard::LeaderboardQuery::Request::kPosition,
          QueryBuilder::TopRange(0, 9)));
      ASSERT_TRUE(read.answered()) << read.error;
      ++reads;
      continue;
    }
    // Every round raises every player's score: a new record everywhere.
    const double score = 1 + submissions / kPlayers;
    const auto result =
        server.client().SubmitScore(id, QueryBuilder::Account("guest", account),
                                    score, ScoreSubmission::kHighScore);
    ASSERT_TRUE(result.answered()) << result.error;
    ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
    if (result.response.score_submission().result() ==
        ScoreSubmission::Response::kNewRecord) {
      reported_alltime["guest:" + account] = score;
    }
    ++submissions;
    if (cut && !restored) ++during_outage;
  }
  ASSERT_TRUE(cut && restored);
  // The pace is a goal; a slow (sanitized) build gets less done.
  EXPECT_GE(during_outage, 500);
  EXPECT_GT(reads, 0);

  // The kept writes arrive once the database is back.
  std::string difference;
  EXPECT_TRUE(WaitFor(
      [&] {
        difference = CompareTablesWithRedis(id);
        return difference.empty();
      },
      std::chrono::seconds(60)))
      << difference;
  const auto rows = probe_.ScoreRows(id + "_alltime");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), static_cast<std::size_t>(kPlayers));
  for (const auto& record : reported_alltime) {
    ASSERT_EQ(rows->count(record.first), 1u) << record.first;
    EXPECT_EQ(rows->at(record.first).first, -record.second) << record.first;
  }
  // Operators see what was kept, and that nothing was dropped.
  const HttpAnswer counter =
      HttpRequest(server.host().api_port(), "GET",
                  "/v1/counters/leaderboard/database_writes/");
  ASSERT_EQ(counter.status, 200) << counter.body;
  const auto counts = nlohmann::json::parse(counter.body);
  const auto& part = counts[GetParam() ? "bulk" : "single"];
  EXPECT_GE(part["retained"].get<int>(), 1) << counter.body;
  EXPECT_EQ(part["dropped"].get<int>(), 0) << counter.body;
  EXPECT_EQ(counts["pending_write_limit"].get<int>(), 200000);

  server.Stop();
  const std::string log = server.host().Log();
  EXPECT_NE(log.find("the database is unreachable; keeping the write"),
            std::string::npos);
  EXPECT_NE(log.find("the database is reachable again"), std::string::npos);
  EXPECT_EQ(log.find("write DROPPED"), std::string::npos);
  EXPECT_EQ(log.find("they are lost"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(SingleAndBulk, DbWritesTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Bulk" : "Single";
                         });

}  // namespace
}  // namespace plemox_test
