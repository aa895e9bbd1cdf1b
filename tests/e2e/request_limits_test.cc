// The bounded cost of one request through the real host: the record cap of
// an answer (a batch counted together), the competitor and deletion caps,
// the length checks on texts that reach keys and columns, the app id allow
// list, and a shutdown under load.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/answer_checks.h"
#include "support/host_process.h"
#include "support/leaderboard_cleanup.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;

constexpr char kRecordCap[] =
    "Too many records for one answer: at most 5 (max_records_per_answer)";
constexpr char kCompetitorCap[] =
    "Too many competitors: at most 3 per query (max_competitors_per_query)";
constexpr char kDeletionCap[] =
    "Too many deletions: at most 2 per request (max_deletions_per_request)";

std::string RequestLimitsPrefix() {
  return "e2elim" + std::to_string(getpid()) + "_";
}

class RequestLimitsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string p = RequestLimitsPrefix();
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + p + "five\", \"" + p + "six\"], " +
        "\"reset_schedules\": [{\"leaderboard_id\": \"" + p +
        "five\", \"period\": \"day\", \"interval\": 1, \"starts\": "
        "\"2021-02-08 00:00:00\", \"ends\": \"2099-12-31 23:59:59\"}]");
    options.flags = {
        "--max_records_per_answer=5", "--max_competitors_per_query=3",
        "--max_deletions_per_request=2", "--allowed_app_ids= game-a ,game-b"};
    server_ = std::make_unique<RunningServer>(options, "game-a");
    client_ = &server_->client();
    for (int i = 0; i < 5; ++i) Submit("five", "p" + std::to_string(i), i);
    for (int i = 0; i < 6; ++i) Submit("six", "p" + std::to_string(i), i);
  }
  static void TearDownTestSuite() {
    client_ = nullptr;
    server_.reset();
    StoreProbe probe;
    probe.DeleteKeys("leaderboard:" + RequestLimitsPrefix() + "*");
    probe.DropTables(RequestLimitsPrefix());
  }

  static void Submit(const std::string& name, const std::string& account,
                     double score) {
    ASSERT_TRUE(client_
                    ->SubmitScore(RequestLimitsPrefix() + name,
                                  QueryBuilder::Account("guest", account),
                                  score,
                                  Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }

  static LeaderboardQuery::Request Public(const std::string& name,
                                          LeaderboardQuery::Range range) {
    return QueryBuilder::Public(RequestLimitsPrefix() + name,
                                LeaderboardQuery::kAllTime,
                                LeaderboardQuery::Request::kPosition, range,
                                QueryBuilder::Account("guest", "p1"));
  }

  static LeaderboardQuery::Request Social(int competitors) {
    std::vector<Leaderboard::AccountId> friends;
    for (int i = 0; i < competitors; ++i) {
      friends.push_back(
          QueryBuilder::Account("guest", "p" + std::to_string(i)));
    }
    return QueryBuilder::Social(RequestLimitsPrefix() + "six",
                                QueryBuilder::Account("guest", "p5"), friends,
                                LeaderboardQuery::kAllTime,
                                LeaderboardQuery::Request::kPosition);
  }

  // The number of records of the answer; fails the test on a refusal.
  static int Served(const LeaderboardClient::Result& result) {
    EXPECT_TRUE(result.answered()) << result.error;
    EXPECT_FALSE(result.response.has_fail()) << result.response.DebugString();
    if (result.response.has_leaderboard_query()) {
      return result.response.leaderboard_query().record_size();
    }
    int records = 0;
    for (const auto& answer : result.response.leaderboard_queries()) {
      records += answer.record_size();
    }
    return records;
  }

  static void ExpectRefused(const LeaderboardClient::Result& result,
                            const std::string& message,
                            Leaderboard::Response::Fail code =
                                Leaderboard::Response::kFailInvalidParameter) {
    plemox_test::ExpectRefused(result, code, message);
  }

  static std::unique_ptr<RunningServer> server_;
  static LeaderboardClient* client_;
};
std::unique_ptr<RunningServer> RequestLimitsTest::server_;
LeaderboardClient* RequestLimitsTest::client_ = nullptr;

TEST_F(RequestLimitsTest, OneAnswerHoldsAtMostTheRecordCap) {
  // The whole ranking: at the cap served, one more refused.
  EXPECT_EQ(Served(client_->Query(Public("five", QueryBuilder::AllRange()))),
            5);
  ExpectRefused(client_->Query(Public("six", QueryBuilder::AllRange())),
                kRecordCap);
  // Slices and windows count what the ranking can give, not the span.
  EXPECT_EQ(
      Served(client_->Query(Public("five", QueryBuilder::TopRange(0, 1000)))),
      5);
  EXPECT_EQ(Served(client_->Query(
                Public("six", QueryBuilder::TopRange(1, 1000000000)))),
            5);
  ExpectRefused(client_->Query(Public("six", QueryBuilder::TopRange(0, 5))),
                kRecordCap);
  EXPECT_EQ(Served(client_->Query(Public("six", QueryBuilder::TopRange(0, 4)))),
            5);
  ExpectRefused(
      client_->Query(Public("six", QueryBuilder::NearbyRange(-1000, 1000))),
      kRecordCap);
  EXPECT_EQ(Served(client_->Query(
                Public("five", QueryBuilder::NearbyRange(
                                   std::numeric_limits<int64_t>::min(),
                                   std::numeric_limits<int64_t>::max())))),
            5);
  // A social answer holds the competitors and the player.
  EXPECT_EQ(Served(client_->Query(Social(3))), 4);
}

TEST_F(RequestLimitsTest, ABatchIsCountedTogether) {
  EXPECT_EQ(Served(client_->QueryBatch(
                {Public("five", QueryBuilder::TopRange(0, 2)),
                 Public("six", QueryBuilder::TopRange(4, 100))})),
            5);
  EXPECT_EQ(Served(client_->QueryBatch(
                {Public("five", QueryBuilder::TopRange(0, 3)), Social(0)})),
            5);
  ExpectRefused(client_->QueryBatch(
                    {Public("five", QueryBuilder::AllRange()), Social(0)}),
                kRecordCap);
  ExpectRefused(
      client_->QueryBatch({Public("five", QueryBuilder::AllRange()),
                           Public("five", QueryBuilder::TopRange(0, 0))}),
      kRecordCap);
  ExpectRefused(client_->QueryBatch({Social(3), Social(1)}), kRecordCap);
  std::vector<LeaderboardQuery::Request> many(
      1000, Public("six", QueryBuilder::AllRange()));
  ExpectRefused(client_->QueryBatch(many), kRecordCap);
}

TEST_F(RequestLimitsTest, CompetitorsAndDeletionsAreCapped) {
  ExpectRefused(client_->Query(Social(4)), kCompetitorCap);
  ExpectRefused(client_->QueryBatch({Social(4)}), kCompetitorCap);

  const auto deletion = [](const std::string& account) {
    return LeaderboardClient::Deletion{RequestLimitsPrefix() + "five",
                                       QueryBuilder::Account("guest", account)};
  };
  ExpectRefused(
      client_->DeleteScores({deletion("x1"), deletion("x2"), deletion("x3")}),
      kDeletionCap);
  const auto served = client_->DeleteScores({deletion("x1"), deletion("x2")});
  ASSERT_TRUE(served.ok()) << served.response.DebugString();
  EXPECT_EQ(served.response.score_deletions_size(), 2);
}

TEST_F(RequestLimitsTest, TextsLongerThanTheirColumnsAreInvalid) {
  const std::string long_account(51, 'a');
  auto query = Public("five", QueryBuilder::NearbyRange(0, 0));
  query.mutable_account_id()->set_local_account(long_account);
  ExpectRefused(client_->Query(query), "Invalid parameter found");
  auto social = Social(1);
  social.mutable_competitors(0)->set_service_provider(std::string(51, 'g'));
  ExpectRefused(client_->Query(social), "Invalid parameter found");
  ExpectRefused(
      client_->DeleteScores({{RequestLimitsPrefix() + "five",
                              QueryBuilder::Account("guest", long_account)}}),
      "Invalid parameter found");
  // 50 characters of four bytes each still fit.
  std::string wide;
  for (int i = 0; i < 50; ++i) wide += "\xF0\x9F\x98\x80";
  query.mutable_account_id()->set_local_account(wide);
  EXPECT_EQ(Served(client_->Query(query)), 1);  // The placeholder.

  ExpectRefused(client_->ResetScheduleStatus(RequestLimitsPrefix() + "five", 0,
                                             std::string(5000, '2')),
                "Invalid parameter found");
  ExpectRefused(client_->ResetScheduleStatus(std::string(5000, 'x'), 0,
                                             "2021-Feb-08 00:00:00"),
                "Invalid parameter found");
  const auto at_length = client_->ResetScheduleStatus(
      RequestLimitsPrefix() + "five", 0, std::string(50, '2'));
  ASSERT_TRUE(at_length.ok()) << at_length.response.DebugString();
  EXPECT_EQ(at_length.response.reset_schedule_status_query().result(),
            Leaderboard::ResetScheduleStatusQuery::Response::kOk);
  EXPECT_FALSE(
      at_length.response.reset_schedule_status_query().already_reset());
}

TEST_F(RequestLimitsTest, OnlyListedAppIdsAuthenticate) {
  LeaderboardClient intruder;
  ASSERT_TRUE(intruder.Connect("127.0.0.1", server_->host().tcp_port()));
  ExpectRefused(intruder.Authenticate("intruder"),
                "Access denied, authentication required",
                Leaderboard::Response::kFailUnauthenticatedApp);
  ExpectRefused(
      intruder.SubmitScore(RequestLimitsPrefix() + "five",
                           QueryBuilder::Account("guest", "evil"), 1e9,
                           Leaderboard::ScoreSubmission::kHighScore),
      "Access denied, authentication required",
      Leaderboard::Response::kFailUnauthenticatedApp);
  // The same connection may still authenticate with a listed id.
  EXPECT_TRUE(intruder.Authenticate("game-b").ok());
  // An authenticated session stays so, whatever id it sends next.
  const auto again = client_->Authenticate("intruder");
  ASSERT_TRUE(again.answered());
  EXPECT_EQ(again.response.leaderboard_authentication().result(),
            Leaderboard::LeaderboardAuthentication::Response::
                kFailAlreadyAuthenticated);
}

// SIGTERM while several clients keep requests in flight: the host must exit
// cleanly (under the sanitizers, without a report).
TEST(ShutdownUnderLoadTest, SigtermWhileRequestsAreInFlightExitsCleanly) {
  const std::string id = RequestLimitsPrefix() + "load";
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {id});
  HostProcess host(HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + id + "\"]"));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();

  constexpr int kClients = 4;
  std::vector<std::unique_ptr<LeaderboardClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<LeaderboardClient>());
    ASSERT_TRUE(clients.back()->Connect("127.0.0.1", host.tcp_port()));
    ASSERT_TRUE(clients.back()->Authenticate("load").ok());
  }
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      LeaderboardClient& client = *clients[i];
      for (int n = 0; !stop.load(); ++n) {
        // Keep a handful of requests in flight, without waiting for them.
        client.SubmitScoreAsync(
            id, QueryBuilder::Account("guest", "p" + std::to_string(n % 50)), n,
            Leaderboard::ScoreSubmission::kHighScore, std::nullopt,
            [&](LeaderboardClient::Result r) {
              if (r.answered()) ++answered;
            });
        client.QueryAsync(
            QueryBuilder::Public(id, LeaderboardQuery::kAllTime,
                                 LeaderboardQuery::Request::kPosition,
                                 QueryBuilder::TopRange(0, 9)),
            [&](LeaderboardClient::Result r) {
              if (r.answered()) ++answered;
            });
        const auto reply = client.Query(QueryBuilder::Public(
            id, LeaderboardQuery::kDaily, LeaderboardQuery::Request::kDense,
            QueryBuilder::AllRange()));
        if (!reply.answered()) return;  // The server has gone.
      }
    });
  }
  // Under load for a moment before the signal.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (answered.load() < 300 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(answered.load(), 300);
  const int status = host.Stop(SIGTERM);
  stop = true;
  for (auto& thread : threads) thread.join();
  clients.clear();
  EXPECT_EQ(ExitCode(status), 0) << host.Log();
  const std::string log = host.Log();
  EXPECT_EQ(log.find("AddressSanitizer"), std::string::npos) << log;
  EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
}

}  // namespace
}  // namespace plemox_test
