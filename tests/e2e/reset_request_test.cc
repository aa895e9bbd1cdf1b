// Reset requests (type 11) through the real host and client: refusals, the
// three log rows and six rollovers of a requested reset, and a reset whose
// log rows exist already.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/answer_checks.h"
#include "support/host_process.h"
#include "support/leaderboard_cleanup.h"
#include "support/reset_test_support.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using plemox::LeaderboardClient;
using plemox::QueryBuilder;

std::string ResetRequestPrefix() { return UniquePrefix("e2ereq"); }

class ResetRequestTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string p = ResetRequestPrefix();
    // The weekly schedule starts far ahead, so it never falls due here.
    server_ = std::make_unique<RunningServer>(
        HostProcess::Options::WithArguments(ArgumentsJson(
            {p + "free", p + "busy", p + "weekly"},
            {ScheduleJson(
                p + "weekly", "week",
                posix_time::time_from_string("2098-01-05 00:00:00"))})),
        "reset-request-test");
  }
  static void TearDownTestSuite() {
    server_.reset();
    StoreProbe().ForgetLeaderboards(ResetRequestPrefix());
  }

  LeaderboardClient& client() { return server_->client(); }

  void Submit(const std::string& id, const std::string& account, double score) {
    ASSERT_TRUE(client()
                    .SubmitScore(id, QueryBuilder::Account("guest", account),
                                 score,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }

  // Waits until the database writes of earlier answers have landed.
  void WaitForRows(const std::string& id, std::size_t count) {
    for (const char* table : {"_daily", "_weekly", "_monthly"}) {
      EXPECT_TRUE(WaitFor([&] {
        const auto rows = probe_.ScoreRows(id + table);
        return rows && rows->size() == count;
      })) << id
          << table;
    }
  }

  // (leaderboard key, schedule date time) of the log rows of `id`.
  std::vector<std::pair<std::string, std::string>> LogRows(
      const std::string& id) {
    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& row :
         probe_.Rows("SELECT leaderboard_key, schedule_date_time FROM "
                     "reset_schedule_log WHERE leaderboard_key LIKE '" +
                     id + "\\_%' ORDER BY leaderboard_key")) {
      rows.emplace_back(row.at(0), row.at(1));
    }
    return rows;
  }

  std::string Key(const std::string& id, const std::string& timespan) {
    return "leaderboard:" + id + ":" + timespan;
  }

  static std::unique_ptr<RunningServer> server_;
  StoreProbe probe_;
};
std::unique_ptr<RunningServer> ResetRequestTest::server_;

TEST_F(ResetRequestTest, RefusesScheduledEmptyAndUnauthenticatedRequests) {
  ExpectRefused(client().RequestReset(ResetRequestPrefix() + "weekly"),
                Leaderboard::Response::kFailInvalidParameter,
                "Invalid parameter found");
  ExpectRefused(client().RequestReset(""),
                Leaderboard::Response::kFailInvalidParameter,
                "Invalid parameter found");
  // With stored procedures any id is accepted, but it must still be usable
  // in table names and keys.
  ExpectRefused(client().RequestReset("a'b"),
                Leaderboard::Response::kFailInvalidParameter,
                kInvalidLeaderboardIdMessage);
  EXPECT_NE(server_->host().Log().find(
                "LeaderboardReset() failed: The reset schedule is registered"),
            std::string::npos);
  EXPECT_TRUE(LogRows(ResetRequestPrefix() + "weekly").empty());

  LeaderboardClient anonymous;
  ASSERT_TRUE(anonymous.Connect("127.0.0.1", server_->host().tcp_port()));
  ExpectRefused(anonymous.RequestReset(ResetRequestPrefix() + "free"),
                Leaderboard::Response::kFailUnauthenticatedApp,
                "Access denied, authentication required");
}

TEST_F(ResetRequestTest, RollsEveryPeriodOverAndAnswersTheRequestTime) {
  const std::string id = ResetRequestPrefix() + "free";
  Submit(id, "p1", 10);
  Submit(id, "p2", 20);
  WaitForRows(id, 2);
  const auto before = LocalNow();
  const auto result = client().RequestReset(id);
  const auto after = LocalNow();
  ASSERT_TRUE(result.answered()) << result.error;
  ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
  ASSERT_TRUE(result.response.has_leaderboard_reset());
  const auto& answer = result.response.leaderboard_reset();
  EXPECT_FALSE(answer.already_reset());
  // The date-time library's default text form, e.g. 2021-Feb-08 12:34:56.
  const std::string text = answer.schedule_date_time();
  ASSERT_TRUE(std::regex_match(
      text, std::regex(R"(\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2})")))
      << text;
  const auto time = posix_time::time_from_string(text);
  EXPECT_LE(before, time);
  EXPECT_LE(time, after);

  EXPECT_EQ(
      LogRows(id),
      (std::vector<std::pair<std::string, std::string>>{
          {id + "_day", text}, {id + "_month", text}, {id + "_week", text}}));
  const std::vector<std::pair<std::string, std::string>> periods = {
      {"daily", "yesterday"}, {"weekly", "lastweek"}, {"monthly", "lastmonth"}};
  for (const auto& [current, previous] : periods) {
    SCOPED_TRACE(current);
    for (const char* suffix : {"", ":timestamp", ":dense"}) {
      EXPECT_FALSE(probe_.KeyExists(Key(id, current) + suffix)) << suffix;
    }
    EXPECT_EQ(probe_.SortedSet(Key(id, previous)).size(), 2u);
    EXPECT_EQ(probe_.Hash(Key(id, previous) + ":timestamp").size(), 2u);
    EXPECT_EQ(probe_.ScoreRows(id + "_" + current)->size(), 0u);
    EXPECT_EQ(probe_.ScoreRows(id + "_" + previous)->size(), 2u);
  }
  EXPECT_EQ(probe_.SortedSet(Key(id, "alltime")).size(), 2u);
}

TEST_F(ResetRequestTest, ResetAlreadyLoggedForThisSecondIsAnInternalDbError) {
  const std::string id = ResetRequestPrefix() + "busy";
  Submit(id, "p1", 10);
  WaitForRows(id, 1);
  // A request in the same second as an earlier one finds its weekly row: log
  // the next few seconds as done already.
  const auto now = LocalNow();
  for (int s = 0; s < 30; ++s) {
    ASSERT_EQ(
        probe_.Execute(
            "INSERT INTO reset_schedule_log(leaderboard_key, "
            "schedule_date_time) VALUES('" +
            id + "_week', '" +
            posix_time::to_simple_string(now + posix_time::seconds(s)) + "')"),
        "");
  }
  const auto result = client().RequestReset(id);
  ASSERT_LT(LocalNow(), now + posix_time::seconds(30));
  ExpectRefused(result, Leaderboard::Response::kFailUnknown,
                "internal db error");
  // Nothing rolled over.
  EXPECT_EQ(probe_.SortedSet(Key(id, "daily")).size(), 1u);
  EXPECT_EQ(probe_.SortedSet(Key(id, "weekly")).size(), 1u);
  EXPECT_FALSE(probe_.KeyExists(Key(id, "yesterday")));
  EXPECT_EQ(probe_.ScoreRows(id + "_daily")->size(), 1u);
  EXPECT_EQ(probe_.ScoreRows(id + "_yesterday")->size(), 0u);
}

TEST(ResetRequestWithoutProceduresTest, RefusesUnknownIdAndResetsKnownOne) {
  const std::string id = ResetRequestPrefix() + "plain";
  auto options = HostProcess::Options::WithArguments(ArgumentsJson({id}, {}));
  options.flags = {"--leaderboard_use_db_stored_procedure=false"};
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {id});
  RunningServer server(options, "plain-sql");
  const auto unknown =
      server.client().RequestReset(ResetRequestPrefix() + "unknown");
  ASSERT_TRUE(unknown.answered());
  EXPECT_EQ(unknown.response.fail().message(), "Invalid parameter found");

  // The plain statements roll the tables over as the procedures do.
  ASSERT_TRUE(server.client()
                  .SubmitScore(id, QueryBuilder::Account("guest", "p1"), 5,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  ASSERT_TRUE(
      WaitFor([&] { return probe.ScoreRows(id + "_daily")->size() == 1; }));
  const auto reset = server.client().RequestReset(id);
  ASSERT_TRUE(reset.answered());
  ASSERT_FALSE(reset.response.has_fail()) << reset.response.DebugString();
  EXPECT_EQ(probe.ScoreRows(id + "_yesterday")->size(), 1u);
  EXPECT_EQ(probe.ScoreRows(id + "_daily")->size(), 0u);
  server.Stop();
}

}  // namespace
}  // namespace plemox_test
