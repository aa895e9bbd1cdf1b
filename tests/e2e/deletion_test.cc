// Score deletion and the reset-schedule status query through the real host
// and client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/answer_checks.h"
#include "support/host_process.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::ScoreDeletion;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;

std::string DeletionPrefix() {
  return "e2edel" + std::to_string(getpid()) + "_";
}

class DeletionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string p = DeletionPrefix();
    // The schedule starts far ahead: one that has fallen due would roll the
    // rankings over while the tests read them.
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + p + "a\", \"" + p + "b\", \"" + p +
        "weekly\"], \"reset_schedules\": [{\"leaderboard_id\": \"" + p +
        "weekly\", \"period\": \"week\", \"interval\": 1, \"starts\": "
        "\"2098-01-05 00:00:00\", \"ends\": \"2099-01-01 00:00:00\"}]");
    options.flags = {"--enable_event_profiler=true"};
    server_ = std::make_unique<RunningServer>(options, "deletion-test");
    client_ = &server_->client();
  }
  static void TearDownTestSuite() {
    client_ = nullptr;
    server_.reset();
    StoreProbe probe;
    probe.DeleteKeys("leaderboard:" + DeletionPrefix() + "*");
    probe.DropTables(DeletionPrefix());
    probe.Execute(
        "DELETE FROM reset_schedule_log WHERE leaderboard_key LIKE '" +
        DeletionPrefix() + "%'");
  }

  static void Submit(const std::string& name, const std::string& account,
                     double score) {
    ASSERT_TRUE(client_
                    ->SubmitScore(DeletionPrefix() + name,
                                  QueryBuilder::Account("guest", account),
                                  score,
                                  Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }
  static LeaderboardClient::Deletion Of(const std::string& name,
                                        const std::string& account) {
    return {DeletionPrefix() + name, QueryBuilder::Account("guest", account)};
  }
  std::string Key(const std::string& name, const std::string& timespan) {
    return "leaderboard:" + DeletionPrefix() + name + ":" + timespan;
  }
  // Rows of the player in a table, once the writes of earlier answers
  // have landed.
  std::size_t RowsOf(const std::string& table, const std::string& account,
                     std::size_t expected) {
    std::size_t count = 0;
    WaitFor([&] {
      auto rows = probe_.ScoreRows(DeletionPrefix() + table);
      count = rows ? rows->count("guest:" + account) : 0;
      return count == expected;
    });
    return count;
  }

  static std::unique_ptr<RunningServer> server_;
  // The client of server_.
  static LeaderboardClient* client_;
  StoreProbe probe_;
};
std::unique_ptr<RunningServer> DeletionTest::server_;
LeaderboardClient* DeletionTest::client_ = nullptr;

TEST_F(DeletionTest, BatchRemovesFromCacheAndDatabaseInRequestOrder) {
  Submit("a", "p1", 10);
  Submit("a", "p2", 20);
  Submit("b", "p1", 30);
  ASSERT_EQ(RowsOf("a_alltime", "p1", 1), 1u);
  ASSERT_EQ(RowsOf("b_daily", "p1", 1), 1u);

  const auto result =
      client_->DeleteScores({Of("a", "p1"), Of("a", "nobody"), Of("b", "p1")});
  ASSERT_TRUE(result.answered()) << result.error;
  ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
  ASSERT_EQ(result.response.score_deletions_size(), 3);
  EXPECT_EQ(result.response.score_deletions(0).result(),
            ScoreDeletion::Response::kRemoved);
  EXPECT_EQ(result.response.score_deletions(1).result(),
            ScoreDeletion::Response::kNotFound);
  EXPECT_EQ(result.response.score_deletions(2).result(),
            ScoreDeletion::Response::kRemoved);

  // The answer came after the database step: the rows are gone already.
  for (const char* table : {"a_alltime", "a_daily", "a_weekly", "a_monthly"}) {
    EXPECT_EQ(probe_.ScoreRows(DeletionPrefix() + table)->count("guest:p1"), 0u)
        << table;
    EXPECT_EQ(probe_.ScoreRows(DeletionPrefix() + table)->count("guest:p2"), 1u)
        << table;
  }
  EXPECT_EQ(probe_.ScoreRows(DeletionPrefix() + "b_daily")->count("guest:p1"),
            0u);
  for (const char* timespan : {"alltime", "daily", "weekly", "monthly"}) {
    const auto ranking = probe_.SortedSet(Key("a", timespan));
    ASSERT_EQ(ranking.size(), 1u) << timespan;
    EXPECT_NE(ranking[0].first.find(":p2:guest"), std::string::npos);
    EXPECT_EQ(probe_.Hash(Key("a", timespan) + ":timestamp").count("p1:guest"),
              0u);
  }
  // The dense set keeps only scores somebody holds.
  const auto dense = probe_.SortedSet(Key("a", "daily:dense"));
  ASSERT_EQ(dense.size(), 1u);
  EXPECT_EQ(dense[0].first, "20");
}

TEST_F(DeletionTest, ScheduledPeriodsOnly) {
  Submit("weekly", "p1", 5);
  ASSERT_EQ(RowsOf("weekly_weekly", "p1", 1), 1u);
  const auto result = client_->DeleteScores({Of("weekly", "p1")});
  ASSERT_EQ(result.response.score_deletions_size(), 1);
  EXPECT_FALSE(probe_.KeyExists(Key("weekly", "weekly")));
  EXPECT_FALSE(probe_.KeyExists(Key("weekly", "alltime")));
  EXPECT_TRUE(probe_.ScoreRows(DeletionPrefix() + "weekly_weekly")->empty());
}

TEST_F(DeletionTest, BadBatchesAreRefusedBeforeAnythingIsDeleted) {
  Submit("a", "keep", 1);
  auto missing = Of("a", "x");
  missing.account.clear_local_account();
  auto result = client_->DeleteScores({Of("a", "keep"), missing});
  ASSERT_TRUE(result.response.has_fail());
  EXPECT_EQ(result.response.fail().code(),
            Leaderboard::Response::kFailInvalidParameter);
  EXPECT_EQ(result.response.fail().message(), "Invalid parameter found");
  EXPECT_EQ(client_->DeleteScores({}).response.fail().message(),
            "Invalid parameter found");
  result = client_->DeleteScores({{"bad id", QueryBuilder::Account("g", "x")}});
  EXPECT_EQ(result.response.fail().message(), kInvalidLeaderboardIdMessage);
  EXPECT_EQ(probe_.Hash(Key("a", "alltime") + ":timestamp").count("keep:guest"),
            1u);
}

TEST_F(DeletionTest, CacheFailureStopsTheBatchAfterTheDoneDeletions) {
  Submit("a", "first", 1);
  Submit("b", "second", 1);
  ASSERT_EQ(RowsOf("a_alltime", "first", 1), 1u);
  // A key of the wrong type makes Redis refuse the deletion's commands.
  probe_.SetString(Key("b", "alltime") + ":timestamp", "broken");
  const auto result =
      client_->DeleteScores({Of("a", "first"), Of("b", "second")});
  ASSERT_TRUE(result.response.has_fail()) << result.response.DebugString();
  EXPECT_EQ(result.response.fail().code(), Leaderboard::Response::kFailUnknown);
  EXPECT_EQ(result.response.fail().message(), "Internal error");
  // The first deletion stays done in both stores.
  EXPECT_EQ(
      probe_.ScoreRows(DeletionPrefix() + "a_alltime")->count("guest:first"),
      0u);
  probe_.DeleteKeys(Key("b", "alltime") + ":timestamp");
}

TEST_F(DeletionTest, ScheduleStatusComesFromTheResetLog) {
  const std::string weekly = DeletionPrefix() + "weekly";
  // Without a schedule of that period: result 1, no database access.
  auto status = client_->ResetScheduleStatus(weekly, 0, "20210208T000000");
  ASSERT_TRUE(status.answered());
  ASSERT_FALSE(status.response.has_fail()) << status.response.DebugString();
  EXPECT_EQ(status.response.reset_schedule_status_query().result(),
            Leaderboard::ResetScheduleStatusQuery::Response::kNoSchedule);

  ASSERT_EQ(probe_.Execute("INSERT INTO reset_schedule_log (leaderboard_key, "
                           "schedule_date_time, reset_date_time) VALUES ('" +
                           weekly +
                           "_week', '20210208T000000', "
                           "'2021-02-08 00:00:01')"),
            "");
  status = client_->ResetScheduleStatus(weekly, 1, "20210208T000000");
  ASSERT_FALSE(status.response.has_fail()) << status.response.DebugString();
  const auto& answer = status.response.reset_schedule_status_query();
  EXPECT_EQ(answer.result(),
            Leaderboard::ResetScheduleStatusQuery::Response::kOk);
  EXPECT_TRUE(answer.already_reset());
  EXPECT_EQ(answer.reset_date_time(), "2021-02-08 00:00:01");

  status = client_->ResetScheduleStatus(weekly, 1, "20210215T000000");
  EXPECT_FALSE(status.response.reset_schedule_status_query().already_reset());
  EXPECT_EQ(status.response.reset_schedule_status_query().reset_date_time(),
            "");

  for (int period : {3, -1}) {
    status = client_->ResetScheduleStatus(weekly, period, "20210208T000000");
    EXPECT_EQ(status.response.fail().code(),
              Leaderboard::Response::kFailInvalidParameter);
  }
  EXPECT_TRUE(server_->host().WaitForLog(
      "ScheduleStatusQuery() failed: Unexpected value: "
      "name='period', value=3"));
  EXPECT_EQ(client_->ResetScheduleStatus("", 1, "x").response.fail().message(),
            "Invalid parameter found");
  EXPECT_EQ(
      client_->ResetScheduleStatus(weekly, 1, "").response.fail().message(),
      "Invalid parameter found");
}

}  // namespace
}  // namespace plemox_test
