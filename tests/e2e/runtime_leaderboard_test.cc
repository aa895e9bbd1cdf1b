// Leaderboards created at run time, through the real host: with stored
// procedures on, a leaderboard id that is not in the manifest gets its
// database tables with its first score, and then deletes, resets and comes
// back from recovery like a configured one; ids that break the id rule are
// refused with a message that states it. The test uses a database of its own
// (recovery reads every table of its database) and deletes only its own
// Redis keys.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/answer_checks.h"
#include "support/host_process.h"
#include "support/own_database_test.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::ScoreDeletion;
using Leaderboard::ScoreSubmission;
using plemox::QueryBuilder;

class RuntimeLeaderboardTest : public OwnDatabaseTest {
 protected:
  RuntimeLeaderboardTest() : OwnDatabaseTest("e2ert") {}

  // `name` after the test's prefix, padded with 'x' to `length` characters.
  std::string Id(const std::string& name, std::size_t length = 0) const {
    std::string id = prefix_ + name;
    if (id.size() < length) id.append(length - id.size(), 'x');
    return id;
  }
  std::string Key(const std::string& id, const std::string& timespan) const {
    return "leaderboard:" + id + ":" + timespan;
  }
  // player -> stored score of a table of the test's database; empty when the
  // table does not exist.
  std::map<std::string, double> Rows(const std::string& id,
                                     const std::string& timespan) {
    std::map<std::string, double> rows;
    const auto stored = probe_.ScoreRows(database_ + "." + id + "_" + timespan);
    if (!stored) return rows;
    for (const auto& [player, row] : *stored) rows[player] = row.first;
    return rows;
  }
  // Members and scores of a ranking, without the time of each member.
  std::map<std::string, double> Ranking(const std::string& id,
                                        const std::string& timespan) {
    std::map<std::string, double> ranking;
    for (const auto& [member, score] : probe_.SortedSet(Key(id, timespan))) {
      ranking[member.substr(member.find(':') + 1)] = score;
    }
    return ranking;
  }

  HostProcess::Options Options(std::vector<std::string> flags) const {
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + Id("listed") + "\"]");
    options.flags = std::move(flags);
    options.flags.push_back("--mysql_db_name=" + database_);
    return options;
  }
};

TEST_F(RuntimeLeaderboardTest,
       FirstScoreCreatesALeaderboardThatLastsLikeOthers) {
  // The longest id the rule allows: its table names reach 58 characters, 60
  // for the temporary name of a reset.
  const std::string id = Id("new", 48);
  ASSERT_EQ(id.size(), 48u);
  const auto account = [](const std::string& player) {
    return QueryBuilder::Account("guest", player);
  };
  {
    RunningServer server(Options({}), "runtime-test");
    auto& client = server.client();
    for (const auto& [player, score] :
         std::vector<std::pair<std::string, double>>{
             {"p1", 100}, {"p2", 50}, {"p3", 70}}) {
      const auto answer = client.SubmitScore(id, account(player), score,
                                             ScoreSubmission::kHighScore);
      ASSERT_TRUE(answer.ok()) << answer.error << answer.response.DebugString();
      EXPECT_EQ(answer.response.score_submission().result(),
                ScoreSubmission::Response::kNewRecord);
    }
    // Every record reached its table.
    const std::map<std::string, double> all = {
        {"guest:p1", -100}, {"guest:p2", -50}, {"guest:p3", -70}};
    ASSERT_TRUE(WaitFor([&] {
      return Rows(id, "alltime") == all && Rows(id, "daily") == all &&
             Rows(id, "weekly") == all && Rows(id, "monthly") == all;
    })) << Rows(id, "alltime").size();

    // Deletions, also of a leaderboard that never had a score.
    const auto deleted = client.DeleteScores(
        {{id, account("p2")}, {Id("never_scored"), account("p1")}});
    ASSERT_TRUE(deleted.ok()) << deleted.response.DebugString();
    ASSERT_EQ(deleted.response.score_deletions_size(), 2);
    EXPECT_EQ(deleted.response.score_deletions(0).result(),
              ScoreDeletion::Response::kRemoved);
    EXPECT_EQ(deleted.response.score_deletions(1).result(),
              ScoreDeletion::Response::kNotFound);
    EXPECT_EQ(Rows(id, "alltime").count("guest:p2"), 0u);
    EXPECT_EQ(Rows(id, "daily").count("guest:p2"), 0u);

    // A reset request rolls the periods over in Redis and in MariaDB.
    const auto reset = client.RequestReset(id);
    ASSERT_TRUE(reset.ok()) << reset.response.DebugString();
    EXPECT_TRUE(Rows(id, "daily").empty());
    EXPECT_EQ(Rows(id, "yesterday").size(), 2u);
    EXPECT_EQ(Ranking(id, "yesterday").size(), 2u);
    const auto fresh = client.RequestReset(Id("never_reset"));
    EXPECT_TRUE(fresh.ok()) << fresh.response.DebugString();

    // It has no schedule.
    const auto status = client.ResetScheduleStatus(id, 0, "20210208T000000");
    ASSERT_TRUE(status.ok()) << status.response.DebugString();
    EXPECT_EQ(status.response.reset_schedule_status_query().result(),
              Leaderboard::ResetScheduleStatusQuery::Response::kNoSchedule);

    // Ids that break the rule never reach a table or a key.
    for (const std::string& bad : {Id("too_long", 49), std::string("a-b")}) {
      ExpectRefused(client.SubmitScore(bad, account("p1"), 1,
                                       ScoreSubmission::kHighScore),
                    Leaderboard::Response::kFailInvalidParameter,
                    kInvalidLeaderboardIdMessage);
    }
    EXPECT_FALSE(probe_.KeyExists(Key(Id("too_long", 49), "alltime")));
    server.Stop();
  }

  // Redis loses everything; the recovery finds the new leaderboard's tables.
  const auto alltime = Ranking(id, "alltime");
  const auto yesterday = Ranking(id, "yesterday");
  ASSERT_EQ(alltime.size(), 2u);
  probe_.DeleteKeys("leaderboard:" + prefix_ + "*");
  HostProcess recovery(Options({"--force_leaderboard_recovery"}));
  ASSERT_TRUE(recovery.Start());
  ASSERT_EQ(ExitCode(recovery.WaitForExit(std::chrono::seconds(60))), 0)
      << recovery.Log();
  EXPECT_EQ(Ranking(id, "alltime"), alltime);
  EXPECT_EQ(Ranking(id, "yesterday"), yesterday);
  EXPECT_TRUE(probe_.SortedSet(Key(id, "daily")).empty());
}

}  // namespace
}  // namespace plemox_test
