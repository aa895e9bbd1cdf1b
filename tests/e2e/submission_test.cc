// Score submission through the real host and client: the ranking cache's
// decisions, the exact Redis keys and members, the database rows, the
// refusals, and the failure paths.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/answer_checks.h"
#include "support/host_process.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::ScoreSubmission;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using Result = ScoreSubmission::Response;

// Every id used here starts with this prefix, so keys and tables are easy to
// clean up.
std::string SubmissionPrefix() {
  return "e2esub" + std::to_string(getpid()) + "_";
}

std::string Ids(const std::vector<std::string>& names) {
  std::string text = "\"leaderboard_ids\": [";
  for (size_t i = 0; i < names.size(); ++i) {
    text += (i ? ", \"" : "\"") + SubmissionPrefix() + names[i] + "\"";
  }
  return text + "]";
}

// A running server (stored procedures on unless `flags` say otherwise) and
// an authenticated client.
class Server : public RunningServer {
 public:
  Server(const std::string& arguments, std::vector<std::string> flags = {})
      : RunningServer(MakeOptions(arguments, std::move(flags)),
                      "submission-test") {}

  LeaderboardClient::Result Submit(
      const std::string& name, const std::string& account, double score,
      ScoreSubmission::Type type = ScoreSubmission::kHighScore,
      std::optional<LeaderboardClient::RankLookup> rank = std::nullopt,
      const std::string& provider = "guest") {
    return client().SubmitScore(SubmissionPrefix() + name,
                                QueryBuilder::Account(provider, account), score,
                                type, rank);
  }

 private:
  static HostProcess::Options MakeOptions(const std::string& arguments,
                                          std::vector<std::string> flags) {
    auto options = HostProcess::Options::WithArguments(arguments);
    options.flags = std::move(flags);
    return options;
  }
};

class SubmissionTest : public testing::Test {
 protected:
  void TearDown() override {
    probe_.DeleteKeys("leaderboard:" + SubmissionPrefix() + "*");
    probe_.DropTables(SubmissionPrefix());
  }
  std::string Key(const std::string& name, const std::string& timespan) {
    return "leaderboard:" + SubmissionPrefix() + name + ":" + timespan;
  }
  std::string Table(const std::string& name, const std::string& timespan) {
    return SubmissionPrefix() + name + "_" + timespan;
  }
  // Rows appear after the answer: the database write is not awaited.
  std::map<std::string, std::pair<double, std::int64_t>> WaitForRows(
      const std::string& table, size_t count) {
    std::map<std::string, std::pair<double, std::int64_t>> rows;
    WaitFor([&] {
      auto read = probe_.ScoreRows(table);
      if (!read) return false;
      rows = *read;
      return rows.size() >= count;
    });
    return rows;
  }

  StoreProbe probe_;
};

void ExpectSubmission(const LeaderboardClient::Result& result,
                      Result::Result expected, double score) {
  ASSERT_TRUE(result.answered()) << result.error;
  ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
  EXPECT_EQ(result.response.score_submission().result(), expected);
  EXPECT_DOUBLE_EQ(result.response.score_submission().score(), score);
}

TEST_F(SubmissionTest, FirstSubmissionWritesEveryRankingAndTable) {
  Server server(Ids({"first"}));
  const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  ExpectSubmission(server.Submit("first", "p1", 100), Result::kNewRecord, 100);
  EXPECT_EQ(server.Submit("first", "p1", 100)
                .response.score_submission()
                .total_player_count(),
            0);

  for (const char* timespan : {"daily", "weekly", "monthly", "alltime"}) {
    SCOPED_TRACE(timespan);
    const auto ranking = probe_.SortedSet(Key("first", timespan));
    ASSERT_EQ(ranking.size(), 1u);
    EXPECT_DOUBLE_EQ(ranking[0].second, 100);
    // "inverted time:local account:service provider"
    const auto& member = ranking[0].first;
    ASSERT_EQ(member.size(), 13 + std::string(":p1:guest").size()) << member;
    EXPECT_EQ(member.substr(13), ":p1:guest");
    const auto index = probe_.Hash(Key("first", timespan) + ":timestamp");
    ASSERT_EQ(index.count("p1:guest"), 1u);
    EXPECT_EQ(index.at("p1:guest"), member);
    const auto dense = probe_.SortedSet(Key("first", timespan) + ":dense");
    ASSERT_EQ(dense.size(), 1u);
    EXPECT_EQ(dense[0].first, "100");

    const auto rows = WaitForRows(Table("first", timespan), 1);
    ASSERT_EQ(rows.count("guest:p1"), 1u);
    EXPECT_DOUBLE_EQ(rows.at("guest:p1").first, -100);
    // Negated seconds of the submission time.
    EXPECT_LE(rows.at("guest:p1").second, -(before / 1000));
    EXPECT_GE(rows.at("guest:p1").second, -(before / 1000) - 60);
  }
  // Nothing of the previous periods.
  EXPECT_FALSE(probe_.KeyExists(Key("first", "yesterday")));
}

TEST_F(SubmissionTest, RepeatedHighScoreChangesNothing) {
  Server server(Ids({"repeat"}));
  ExpectSubmission(server.Submit("repeat", "p1", 50), Result::kNewRecord, 50);
  const auto member = probe_.SortedSet(Key("repeat", "daily"))[0].first;
  WaitForRows(Table("repeat", "alltime"), 1);
  probe_.Execute("UPDATE " + Table("repeat", "alltime") +
                 " SET time_stamp = 7");  // Marks the row.

  // Not above the stored score: no ranking takes it, the last outcome is the
  // monthly kNone with the submitted score.
  ExpectSubmission(server.Submit("repeat", "p1", 50), Result::kNone, 50);
  ExpectSubmission(server.Submit("repeat", "p1", 20), Result::kNone, 20);
  EXPECT_EQ(probe_.SortedSet(Key("repeat", "daily"))[0].first, member);
  // A later, better score is written again (the mark goes away).
  ExpectSubmission(server.Submit("repeat", "p1", 60), Result::kNewRecord, 60);
  EXPECT_TRUE(WaitFor([&] {
    auto rows = probe_.ScoreRows(Table("repeat", "alltime"));
    return rows && rows->at("guest:p1").second != 7;
  }));
  EXPECT_DOUBLE_EQ(
      probe_.ScoreRows(Table("repeat", "alltime"))->at("guest:p1").first, -60);
}

TEST_F(SubmissionTest, AddAndSubtractAccumulate) {
  Server server(Ids({"sum"}));
  ExpectSubmission(server.Submit("sum", "p1", 25, ScoreSubmission::kAdd),
                   Result::kNewRecord, 25);
  ExpectSubmission(server.Submit("sum", "p1", 10, ScoreSubmission::kAdd),
                   Result::kNewRecord, 35);
  // The all-time ranking keeps the best period score as a high score.
  ExpectSubmission(server.Submit("sum", "p1", 5, ScoreSubmission::kSubtract),
                   Result::kNewRecordMonthly, 30);
  EXPECT_DOUBLE_EQ(probe_.SortedSet(Key("sum", "alltime"))[0].second, 35);
  EXPECT_DOUBLE_EQ(probe_.SortedSet(Key("sum", "daily"))[0].second, 30);
  // Subtracting from nothing stores the negated score.
  ExpectSubmission(server.Submit("sum", "p2", 10, ScoreSubmission::kSubtract),
                   Result::kNewRecord, -10);
}

TEST_F(SubmissionTest, SchedulesAndRankingOptionsChooseTheRankings) {
  // The schedule starts far ahead: one that has fallen due would roll the
  // rankings over while the test reads them.
  Server server(Ids({"daily", "noall"}) + R"(,
      "reset_schedules": [{"leaderboard_id": ")" +
                SubmissionPrefix() +
                R"(daily", "period": "day", "interval": 1,
          "starts": "2098-01-05 00:00:00", "ends": "2099-01-01 00:00:00"}],
      "ranking_options": [{"leaderboard_id": ")" +
                SubmissionPrefix() + R"(noall", "enable_alltime": false,
          "enable_dense": false}])");
  ExpectSubmission(server.Submit("daily", "p1", 10), Result::kNewRecord, 10);
  EXPECT_TRUE(probe_.KeyExists(Key("daily", "daily")));
  EXPECT_FALSE(probe_.KeyExists(Key("daily", "weekly")));
  EXPECT_FALSE(probe_.KeyExists(Key("daily", "monthly")));
  EXPECT_TRUE(probe_.KeyExists(Key("daily", "alltime")));

  // Without an all-time ranking the last outcome is the monthly one.
  ExpectSubmission(server.Submit("noall", "p1", 10), Result::kNewRecordMonthly,
                   10);
  EXPECT_FALSE(probe_.KeyExists(Key("noall", "alltime")));
  EXPECT_FALSE(probe_.KeyExists(Key("noall", "daily:dense")));
  EXPECT_TRUE(WaitForRows(Table("noall", "monthly"), 1).count("guest:p1"));
  EXPECT_TRUE(probe_.ScoreRows(Table("noall", "alltime"))->empty());
}

TEST_F(SubmissionTest, DenseSetFollowsDistinctScoresAndTiesKeepTimeOrder) {
  Server server(Ids({"dense"}));
  ExpectSubmission(server.Submit("dense", "a", 100), Result::kNewRecord, 100);
  ExpectSubmission(server.Submit("dense", "b", 100), Result::kNewRecord, 100);
  ExpectSubmission(server.Submit("dense", "a", 120), Result::kNewRecord, 120);
  // Ties are ordered by the millisecond each score was stored in; b must
  // reach 120 in a later one than a (one submission can take less).
  const auto stored_at = std::chrono::system_clock::now();
  ASSERT_TRUE(WaitFor([&] {
    return std::chrono::system_clock::now() - stored_at >
           std::chrono::milliseconds(2);
  }));
  auto dense = probe_.SortedSet(Key("dense", "daily:dense"));
  ASSERT_EQ(dense.size(), 2u);
  EXPECT_EQ(dense[0].first, "120");
  EXPECT_EQ(dense[1].first, "100");
  ExpectSubmission(server.Submit("dense", "b", 120), Result::kNewRecord, 120);
  dense = probe_.SortedSet(Key("dense", "daily:dense"));
  ASSERT_EQ(dense.size(), 1u);
  EXPECT_EQ(dense[0].first, "120");

  // Equal scores: the earlier one ranks first.
  const auto ranking = probe_.SortedSet(Key("dense", "daily"));
  ASSERT_EQ(ranking.size(), 2u);
  EXPECT_NE(ranking[0].first.find(":a:guest"), std::string::npos);
  EXPECT_NE(ranking[1].first.find(":b:guest"), std::string::npos);
}

TEST_F(SubmissionTest, RankLookupAnswersWithThePlayersRank) {
  Server server(Ids({"rank"}));
  server.Submit("rank", "top", 300);
  server.Submit("rank", "mid", 200);
  const auto answer =
      server.Submit("rank", "p1", 200, ScoreSubmission::kHighScore,
                    LeaderboardClient::RankLookup{
                        Leaderboard::LeaderboardQuery::Request::kCompetition,
                        Leaderboard::LeaderboardQuery::kDaily});
  ExpectSubmission(answer, Result::kNewRecord, 200);
  EXPECT_EQ(answer.response.score_submission().total_player_count(), 3);
  EXPECT_EQ(answer.response.score_submission().rank(), 2);  // 1, 2, 2

  // No entry in the requested timespan: rank 0.
  const auto yesterday =
      server.Submit("rank", "p2", 1, ScoreSubmission::kHighScore,
                    LeaderboardClient::RankLookup{
                        Leaderboard::LeaderboardQuery::Request::kPosition,
                        Leaderboard::LeaderboardQuery::kYesterday});
  ExpectSubmission(yesterday, Result::kNewRecord, 1);
  EXPECT_EQ(yesterday.response.score_submission().rank(), 0);
  EXPECT_EQ(yesterday.response.score_submission().total_player_count(), 0);
}

TEST_F(SubmissionTest, BadSubmissionsAreRefusedBeforeAnythingIsWritten) {
  Server server(Ids({"bad"}));
  using Leaderboard::Response;
  ExpectRefused(server.Submit("bad", "p:1", 1), Response::kFailInvalidParameter,
                "Invalid parameter found");
  ExpectRefused(server.Submit("bad", "p1", 1, ScoreSubmission::kHighScore,
                              std::nullopt, "gu:est"),
                Response::kFailInvalidParameter, "Invalid parameter found");
  ExpectRefused(server.Submit("bad", "p1", std::nan("")),
                Response::kFailInvalidParameter, "Invalid parameter found");
  ExpectRefused(
      server.Submit("bad", "p1", std::numeric_limits<double>::infinity()),
      Response::kFailInvalidParameter, "Invalid parameter found");
  ExpectRefused(server.Submit("bad", std::string(51, 'x'), 1),
                Response::kFailInvalidParameter, "Invalid parameter found");
  // Stored procedures accept unknown ids, but not unsafe or empty ones.
  ExpectRefused(
      server.client().SubmitScore("x'; DROP TABLE t; --",
                                  QueryBuilder::Account("guest", "p1"), 1,
                                  ScoreSubmission::kHighScore),
      Response::kFailInvalidParameter, kInvalidLeaderboardIdMessage);
  ExpectRefused(
      server.client().SubmitScore("", QueryBuilder::Account("guest", "p1"), 1,
                                  ScoreSubmission::kHighScore),
      Response::kFailInvalidParameter, "Invalid parameter found");
  // Missing fields.
  Leaderboard::Request request;
  request.set_request_uuid(LeaderboardClient::NewRequestUuid());
  request.set_type(Leaderboard::Request::kScoreSubmission);
  request.mutable_score_submission()->set_leaderboard_id(SubmissionPrefix() +
                                                         "bad");
  request.mutable_score_submission()->set_score(1);
  ExpectRefused(server.client().Send(request), Response::kFailInvalidParameter,
                "Invalid parameter found");
  EXPECT_TRUE(server.host().WaitForLog(
      "ScoreSubmission() failed: Invalid parameter found. Required fields are "
      "missing: leaderboard id=1, account_id=0, service_provider=0, "
      "local_account=0, score=1, type=0, session=submission-test-"
      "kAuthenticated"));

  EXPECT_FALSE(probe_.KeyExists(Key("bad", "alltime")));
  // A well-formed id that is not configured is accepted with procedures.
  ExpectSubmission(server.Submit("unlisted", "p1", 1), Result::kNewRecord, 1);
}

TEST_F(SubmissionTest, PlainStatementsWriteTheSameRowsAndCheckIds) {
  const std::vector<std::string> plain = {
      "--leaderboard_use_db_stored_procedure=false"};
  {
    Server server(Ids({"plain"}), plain);
    ExpectSubmission(server.Submit("plain", "p1", 42.5), Result::kNewRecord,
                     42.5);
    ExpectSubmission(server.Submit("plain", "o'brien\\", 7), Result::kNewRecord,
                     7);
    ExpectRefused(server.Submit("unlisted", "p1", 1),
                  Leaderboard::Response::kFailInvalidParameter,
                  "Unknown leaderboard ID");
    const auto rows = WaitForRows(Table("plain", "alltime"), 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_DOUBLE_EQ(rows.at("guest:p1").first, -42.5);
    EXPECT_DOUBLE_EQ(rows.at("guest:o'brien\\").first, -7);
  }
  Server server(Ids({"proc"}));
  ExpectSubmission(server.Submit("proc", "p1", 42.5), Result::kNewRecord, 42.5);
  ExpectSubmission(server.Submit("proc", "o'brien\\", 7), Result::kNewRecord,
                   7);
  const auto rows = WaitForRows(Table("proc", "alltime"), 2);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_DOUBLE_EQ(rows.at("guest:p1").first, -42.5);
  EXPECT_DOUBLE_EQ(rows.at("guest:o'brien\\").first, -7);
}

TEST_F(SubmissionTest, DatabaseFailureIsOnlyLoggedAfterTheAnswer) {
  Server server(Ids({"dbfail"}));
  ASSERT_EQ(probe_.Execute("DROP TABLE " + Table("dbfail", "alltime")), "");
  ExpectSubmission(server.Submit("dbfail", "p1", 5), Result::kNewRecord, 5);
  EXPECT_TRUE(server.host().WaitForLog(
      "ScoreSubmission() failed: : session=submission-test-kAuthenticated, "
      "request uuid="));
  // The other tables were written.
  EXPECT_EQ(WaitForRows(Table("dbfail", "daily"), 1).size(), 1u);
}

TEST_F(SubmissionTest, RedisFailureAnswersInternalError) {
  const int dead_port = FreePort();  // Nothing listens there.
  Server server(Ids({"noredis"}), {"--redis_port=" + std::to_string(dead_port),
                                   "--redis_timeout_ms=200"});
  ExpectRefused(server.Submit("noredis", "p1", 5),
                Leaderboard::Response::kFailUnknown, "Internal error");
  EXPECT_TRUE(server.host().WaitForLog(
      "ScoreSubmission() failed: Failed to cache score: leaderboard id=" +
      SubmissionPrefix() +
      "noredis, service provider=guest, player id=p1, score=5"));
}

TEST_F(SubmissionTest, ConcurrentSubmissionsOfOnePlayerActAsASerialOrder) {
  Server server(Ids({"race"}));
  constexpr int kConnections = 4;
  constexpr int kPerConnection = 25;
  std::vector<std::unique_ptr<LeaderboardClient>> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(std::make_unique<LeaderboardClient>());
    ASSERT_TRUE(clients.back()->Connect("127.0.0.1", server.host().tcp_port()));
    ASSERT_TRUE(clients.back()->Authenticate("racer").ok());
  }
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&] {
      for (int j = 0; j < kPerConnection; ++j) {
        if (client
                ->SubmitScore(SubmissionPrefix() + "race",
                              QueryBuilder::Account("guest", "p1"), 1,
                              ScoreSubmission::kAdd)
                .ok()) {
          ++answered;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(answered, kConnections * kPerConnection);
  for (const char* timespan : {"daily", "weekly", "monthly", "alltime"}) {
    const auto ranking = probe_.SortedSet(Key("race", timespan));
    ASSERT_EQ(ranking.size(), 1u) << timespan;
    EXPECT_DOUBLE_EQ(ranking[0].second, kConnections * kPerConnection)
        << timespan;
  }
  // Every record was a new one, so the database saw 100 writes per table;
  // once the host stopped, they have all landed, and the last one must have
  // landed last.
  for (auto& client : clients) client->Close();
  server.Stop();
  for (const char* timespan : {"daily", "weekly", "monthly", "alltime"}) {
    const auto rows = probe_.ScoreRows(Table("race", timespan));
    ASSERT_TRUE(rows && rows->count("guest:p1")) << timespan;
    EXPECT_DOUBLE_EQ(rows->at("guest:p1").first, -kConnections * kPerConnection)
        << timespan;
  }
}

}  // namespace
}  // namespace plemox_test
