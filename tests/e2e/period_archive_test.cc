// Closed periods in real time, through two real host processes on a Redis of
// the test's own and the suite's MariaDB: a daily schedule falls due a few
// seconds after start-up; the closed day is archived, readable by its date
// over TCP (every answer shape, equal to what "yesterday" holds) and HTTP,
// and handed to a receiver on loopback that refuses the first attempts. The
// master is killed right after its first attempt; the other server, once
// master, delivers. Forced resets and a reset request end further periods;
// an expired period is refused and removed.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/answer_checks.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/own_database_test.h"
#include "support/private_redis.h"
#include "support/reset_test_support.h"
#include "support/store_probe.h"
#include "support/test_env.h"
#include "support/webhook_receiver.h"
#include "vel/core/json.h"

namespace plemox_test {
namespace {

using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using Query = Leaderboard::LeaderboardQuery;
using std::chrono::seconds;

constexpr char kSecret[] = "reward-secret";
constexpr char kToken[] = "period-test-token-0123456789abcdef";
constexpr int kTopN = 4;

std::string HmacHex(const std::string& body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), kSecret, sizeof(kSecret) - 1,
       reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest,
       &length);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0xF];
  }
  return "sha256=" + hex;
}

HostProcess::Options ServerOptions(const PrivateRedis& redis,
                                   const std::string& arguments,
                                   const std::string& webhook_url) {
  auto options = HostProcess::Options::WithArguments(arguments);
  options.flags = {redis.HostFlag(),
                   "--external_ip=127.0.0.1",
                   "--enable_reset_leaderboard_api",
                   std::string("--api_token=") + kToken,
                   "--period_end_webhook_url=" + webhook_url,
                   std::string("--period_end_webhook_secret=") + kSecret,
                   "--period_end_top_n=" + std::to_string(kTopN),
                   "--period_end_webhook_timeout_ms=2000",
                   "--period_archive_retention_days=2"};
  return options;
}

// A request of the HTTP API with the token.
HttpAnswer Api(int port, const std::string& method, const std::string& target) {
  return HttpRequest(port, method, target,
                     {{"Authorization", std::string("Bearer ") + kToken}});
}

vel::Json ParseJson(const std::string& text) {
  vel::Json json;
  EXPECT_TRUE(vel::Json::Parse(text, &json)) << text;
  return json;
}

class PeriodArchiveTest : public testing::Test {
 protected:
  ~PeriodArchiveTest() override { probe_.ForgetLeaderboards(prefix_); }

  const std::string prefix_ = UniquePrefix("e2eper");
  StoreProbe probe_;
};

TEST_F(PeriodArchiveTest, ClosedPeriodsAreKeptReadableAndHandedOverOnce) {
  PrivateRedis redis;
  WebhookReceiver receiver(
      [](const std::string&, int attempt) { return attempt <= 2 ? 503 : 200; });
  const std::string id = prefix_ + "d", unscheduled = prefix_ + "r";
  const auto starts = LocalNow() + posix_time::seconds(14);
  const std::string arguments =
      ArgumentsJson({id, unscheduled}, {ScheduleJson(id, "day", starts)});
  HostProcess first(ServerOptions(redis, arguments, receiver.url()));
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(first.WaitForLog("The master has elected")) << first.Log();
  HostProcess second(ServerOptions(redis, arguments, receiver.url()));
  ASSERT_TRUE(second.Start());
  ASSERT_TRUE(second.WaitForPort(second.tcp_port())) << second.Log();

  // A period that ended long ago: beyond the retention of two days.
  const auto old_end = LocalNow() - posix_time::hours(24 * 10);
  ASSERT_EQ(
      probe_.Execute(
          "INSERT INTO period_archive(leaderboard_id, period_kind, "
          "period_start, period_end, reset_kind, idempotency_key, "
          "source_key, marker_key, keep_standings, state, player_count, "
          "lease_until) VALUES('" +
          id + "', 'day', '" + ManifestTime(old_end - posix_time::hours(24)) +
          "', '" + ManifestTime(old_end) + "', 'scheduled', '" + id +
          "/old', '', '', 1, 'archived', 0, NOW())"),
      "");
  const std::string old_start =
      CompactTime(old_end - posix_time::hours(24)).substr(0, 8);

  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", first.tcp_port()));
  ASSERT_TRUE(client.Authenticate("periods").ok());
  // Ties at 100 and 80, so the three numberings differ. Within a tie the
  // earlier comes first, and two scores of one millisecond go by the
  // account, later names first: the earlier of each tie has the later name.
  const std::vector<std::pair<std::string, double>> scores = {
      {"p2", 100}, {"p1", 100}, {"p3", 90}, {"p5", 80}, {"p4", 80}, {"p6", 5}};
  // p1 has a name and metadata: every answer shows them, archived or not.
  const std::string metadata("\0\xffmeta", 6);
  for (const auto& [account, score] : scores) {
    LeaderboardClient::Submission submission;
    submission.leaderboard_id = id;
    submission.account = QueryBuilder::Account("guest", account);
    submission.score = score;
    if (account == "p1") {
      submission.display_name = "Bob";
      submission.metadata = metadata;
    }
    ASSERT_TRUE(client.SubmitScore(submission).ok());
  }
  ASSERT_LT(LocalNow(), starts) << "the servers took too long to start";

  // The master archives the closed day and makes its first attempt; it dies
  // at once.
  const std::string key = id + "_day/" + CompactTime(starts);
  ASSERT_TRUE(
      WaitFor([&] { return !receiver.deliveries().empty(); }, seconds(40)))
      << first.Log();
  first.Stop(SIGKILL);
  client.Close();
  ASSERT_TRUE(
      WaitFor([&] { return receiver.AcceptedCount(key) == 1; }, seconds(40)))
      << second.Log();

  // The document: signed, the top of the closed day in all numberings.
  for (const auto& delivery : receiver.deliveries()) {
    EXPECT_EQ(delivery.signature, HmacHex(delivery.body));
  }
  const vel::Json document = ParseJson(receiver.deliveries().front().body);
  EXPECT_EQ(document["idempotency_key"].GetString(), key);
  EXPECT_EQ(document["leaderboard_id"].GetString(), id);
  EXPECT_EQ(document["period"].GetString(), "day");
  const std::string day_start = CompactTime(starts - posix_time::hours(24));
  EXPECT_EQ(document["period_start"].GetString(), day_start);
  EXPECT_EQ(document["period_end"].GetString(), CompactTime(starts));
  EXPECT_EQ(document["total_player_count"].GetInt(), 6);
  const vel::Json top = document["top"];
  ASSERT_EQ(top.Size(), static_cast<std::size_t>(kTopN));
  const int positions[] = {1, 2, 3, 4}, competition[] = {1, 1, 3, 4},
            dense[] = {1, 1, 2, 3};
  const char* accounts[] = {"p2", "p1", "p3", "p5"};
  for (int i = 0; i < kTopN; ++i) {
    EXPECT_EQ(top[i]["position"].GetInt(), positions[i]);
    EXPECT_EQ(top[i]["competition_rank"].GetInt(), competition[i]);
    EXPECT_EQ(top[i]["dense_rank"].GetInt(), dense[i]);
    EXPECT_EQ(top[i]["local_account"].GetString(), accounts[i]);
    EXPECT_EQ(top[i]["score"].GetDouble(), scores[i].second);
  }
  EXPECT_EQ(top[1]["display_name"].GetString(), "Bob");
  EXPECT_EQ(top[1]["metadata"].GetString(), "AP9tZXRh");  // base64
  EXPECT_EQ(top[1]["metadata_bytes"].GetInt(), 6);

  // Over TCP, on the server that took over: the closed day by its date
  // answers as "yesterday" does, in every shape and numbering.
  ASSERT_TRUE(client.Connect("127.0.0.1", second.tcp_port()));
  ASSERT_TRUE(client.Authenticate("periods").ok());
  const auto me = QueryBuilder::Account("guest", "p4");
  std::vector<Query::Request> shapes;
  for (const auto type :
       {Query::Request::kPosition, Query::Request::kCompetition,
        Query::Request::kDense}) {
    shapes.push_back(QueryBuilder::Public(id, Query::kYesterday, type,
                                          QueryBuilder::AllRange()));
    shapes.push_back(QueryBuilder::Public(id, Query::kYesterday, type,
                                          QueryBuilder::TopRange(1, 3)));
    shapes.push_back(QueryBuilder::Public(
        id, Query::kYesterday, type, QueryBuilder::NearbyRange(-2, 1), me));
    shapes.push_back(QueryBuilder::Public(
        id, Query::kYesterday, type, QueryBuilder::NearbyRange(0, 0),
        QueryBuilder::Account("guest", "nobody")));
    shapes.push_back(
        QueryBuilder::Social(id, me,
                             {QueryBuilder::Account("guest", "p5"),
                              QueryBuilder::Account("guest", "p1"),
                              QueryBuilder::Account("guest", "p2"),
                              QueryBuilder::Account("guest", "absent")},
                             Query::kYesterday, type));
  }
  for (const auto& live : shapes) {
    for (const std::string& start : {day_start.substr(0, 8), day_start}) {
      Query::Request archived = live;
      archived.set_period_start(start);
      const auto live_answer = client.Query(live);
      const auto archived_answer = client.Query(archived);
      ASSERT_TRUE(live_answer.ok() && archived_answer.ok())
          << archived.ShortDebugString() << "\n"
          << archived_answer.response.DebugString();
      EXPECT_EQ(archived_answer.response.leaderboard_query().DebugString(),
                live_answer.response.leaderboard_query().DebugString())
          << archived.ShortDebugString();
    }
  }
  {
    // The names are there to compare: p1, second, carries its own.
    Query::Request archived = shapes[0];
    archived.set_period_start(day_start);
    const auto answer = client.Query(archived);
    ASSERT_GE(answer.response.leaderboard_query().record_size(), 2);
    EXPECT_EQ(answer.response.leaderboard_query().record(1).display_name(),
              "Bob");
    EXPECT_EQ(answer.response.leaderboard_query().record(1).metadata(),
              metadata);
  }
  // A batch mixes live and archived queries; unknown and expired periods
  // are refused as such.
  {
    Query::Request archived = shapes[0];
    archived.set_period_start(day_start);
    const auto batch = client.QueryBatch({shapes[0], archived});
    ASSERT_TRUE(batch.ok());
    ASSERT_EQ(batch.response.leaderboard_queries_size(), 2);
    EXPECT_EQ(batch.response.leaderboard_queries(1).DebugString(),
              batch.response.leaderboard_queries(0).DebugString());
  }
  for (const std::string& start : {std::string("20000101"), old_start}) {
    Query::Request archived = shapes[0];
    archived.set_period_start(start);
    const auto refused = client.Query(archived);
    ASSERT_TRUE(refused.answered());
    EXPECT_EQ(refused.response.fail().code(),
              Leaderboard::Response::kFailInvalidParameter);
    EXPECT_NE(
        refused.response.fail().message().find("Unknown or expired period"),
        std::string::npos)
        << refused.response.DebugString();
  }

  // Over HTTP, with the API token only: the period in the list, and a page
  // of its standings.
  const int api = second.api_port();
  for (const auto& [method, target] :
       std::vector<std::pair<std::string, std::string>>{
           {"GET", "/v1/period_archive/" + id + "/"},
           {"GET", "/v1/period_end_notifications/"},
           {"POST", "/v1/period_end_notifications/1/resend/"}}) {
    EXPECT_EQ(HttpRequest(api, method, target).status, 401) << target;
  }
  const vel::Json page =
      ParseJson(Api(api, "GET",
                    "/v1/period_archive/" + id + "/day/" +
                        day_start.substr(0, 8) + "/?offset=1&limit=2")
                    .body);
  ASSERT_FALSE(page["error"].GetBool()) << page.ToString();
  EXPECT_EQ(page["total_player_count"].GetInt(), 6);
  ASSERT_EQ(page["standings"].Size(), 2u);
  EXPECT_EQ(page["standings"][0]["local_account"].GetString(), "p1");
  EXPECT_EQ(page["standings"][0]["display_name"].GetString(), "Bob");
  EXPECT_EQ(page["standings"][1]["dense_rank"].GetInt(), 2);

  // Two forced resets end two more days; a reset request ends a day, a
  // week and a month of the unscheduled leaderboard.
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(client
                    .SubmitScore(id, QueryBuilder::Account("guest", "late"),
                                 10 + i,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
    const vel::Json forced = ParseJson(
        Api(api, "PUT", "/v1/leaderboard_schedules/" + id + "_day/").body);
    ASSERT_TRUE(forced["result"].GetBool()) << forced.ToString();
  }
  ASSERT_TRUE(client
                  .SubmitScore(unscheduled, QueryBuilder::Account("guest", "q"),
                               7, Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  ASSERT_TRUE(client.RequestReset(unscheduled).ok());
  const auto listed = [&](const std::string& leaderboard) {
    return ParseJson(Api(api, "GET", "/v1/period_archive/" + leaderboard + "/")
                         .body)["periods"];
  };
  ASSERT_TRUE(WaitFor([&] { return listed(id).Size() == 3; }, seconds(20)))
      << listed(id).ToString();
  ASSERT_TRUE(
      WaitFor([&] { return listed(unscheduled).Size() == 3; }, seconds(20)))
      << listed(unscheduled).ToString();
  std::set<std::string> kinds;
  for (std::size_t i = 0; i < 3; ++i) {
    kinds.insert(listed(unscheduled)[i]["period"].GetString());
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"day", "week", "month"}));

  // Every period end reached the receiver and was acknowledged once.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::map<std::string, int> accepted;
        for (const auto& delivery : receiver.deliveries()) {
          accepted[delivery.idempotency_key] += delivery.status == 200 ? 1 : 0;
        }
        if (accepted.size() != 6) return false;
        for (const auto& [key_seen, count] : accepted) {
          if (count != 1) return false;
        }
        return true;
      },
      seconds(30)));
  EXPECT_TRUE(WaitFor(
      [&] {
        return Api(api, "GET", "/metrics")
                   .body.find(
                       "plemox_period_end_notifications_delivered_total 6") !=
               std::string::npos;
      },
      seconds(10)));

  // A delivered notification sent again over HTTP reaches the receiver
  // again, with the same key.
  const auto notification = probe_.Rows(
      "SELECT notification_id FROM period_end_notification WHERE "
      "idempotency_key = '" +
      key + "'");
  ASSERT_EQ(notification.size(), 1u);
  const vel::Json resent = ParseJson(
      Api(api, "POST",
          "/v1/period_end_notifications/" + notification[0][0] + "/resend/")
          .body);
  EXPECT_EQ(resent["state"].GetString(), "pending") << resent.ToString();
  EXPECT_TRUE(
      WaitFor([&] { return receiver.AcceptedCount(key) == 2; }, seconds(10)));

  // The expired period is removed by the new master's first sweep.
  EXPECT_TRUE(WaitFor(
      [&] {
        return probe_
            .Rows("SELECT 1 FROM period_archive WHERE idempotency_key = '" +
                  id + "/old'")
            .empty();
      },
      seconds(20)));
  EXPECT_EQ(ExitCode(second.Stop(SIGTERM)), 0);
}

// A database of the test's own: a master hands over every pending
// period-end notification of its database, so two tests' masters on one
// database would deliver each other's.
class OwnArchiveTest : public OwnDatabaseTest {
 protected:
  OwnArchiveTest() : OwnDatabaseTest("e2eperown") {}
};

TEST_F(OwnArchiveTest, ALowestFirstTiebreakLeaderboardIsArchivedInOrder) {
  PrivateRedis redis;
  WebhookReceiver receiver([](const std::string&, int) { return 200; });
  const std::string id = prefix_ + "laps";
  const std::string arguments =
      ArgumentsJson({id}, {}) +
      ", \"ranking_options\": [{\"leaderboard_id\": \"" + id +
      "\", \"sort_order\": \"ascending\", \"tiebreak\": \"descending\"}]";
  auto options = ServerOptions(redis, arguments, receiver.url());
  options.flags.push_back("--mysql_db_name=" + database_);
  HostProcess server(options);
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitForLog("The master has elected")) << server.Log();
  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.tcp_port()));
  ASSERT_TRUE(client.Authenticate("periods").ok());
  // Equal times ordered by the second score, the higher first; p1 and p5
  // equal in both.
  for (const auto& [account, score, tiebreak] :
       std::vector<std::tuple<std::string, double, double>>{{"p1", 71.25, 3},
                                                            {"p2", 69.5, 0},
                                                            {"p3", 71.25, 5},
                                                            {"p4", 80, 1},
                                                            {"p5", 71.25, 3}}) {
    LeaderboardClient::Submission submission;
    submission.leaderboard_id = id;
    submission.account = QueryBuilder::Account("guest", account);
    submission.score = score;
    submission.tiebreak_score = tiebreak;
    ASSERT_TRUE(client.SubmitScore(submission).ok());
  }
  ASSERT_TRUE(client.RequestReset(id).ok());

  // The day's document: the lowest time first, real scores.
  vel::Json document;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& delivery : receiver.deliveries()) {
          vel::Json body;
          if (vel::Json::Parse(delivery.body, &body) &&
              body["period"].GetString() == "day") {
            document = body;
            return true;
          }
        }
        return false;
      },
      seconds(30)))
      << server.Log();
  const vel::Json top = document["top"];
  ASSERT_EQ(top.Size(), 4u);
  const char* accounts[] = {"p2", "p3", "p1", "p5"};
  const double scores[] = {69.5, 71.25, 71.25, 71.25};
  const double tiebreaks[] = {0, 5, 3, 3};
  const int competition[] = {1, 2, 3, 3}, dense[] = {1, 2, 3, 3};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(top[i]["local_account"].GetString(), accounts[i]);
    EXPECT_EQ(top[i]["score"].GetDouble(), scores[i]);
    EXPECT_EQ(top[i]["tiebreak_score"].GetDouble(), tiebreaks[i]);
    EXPECT_EQ(top[i]["competition_rank"].GetInt(), competition[i]);
    EXPECT_EQ(top[i]["dense_rank"].GetInt(), dense[i]);
  }

  // The closed day by its date answers as "yesterday" does (which Redis
  // keeps negated), the social order included.
  const auto me = QueryBuilder::Account("guest", "p3");
  for (const auto type :
       {Query::Request::kPosition, Query::Request::kCompetition,
        Query::Request::kDense}) {
    for (Query::Request live :
         {QueryBuilder::Public(id, Query::kYesterday, type,
                               QueryBuilder::AllRange()),
          QueryBuilder::Public(id, Query::kYesterday, type,
                               QueryBuilder::NearbyRange(-1, 1), me),
          QueryBuilder::Social(id, me,
                               {QueryBuilder::Account("guest", "p4"),
                                QueryBuilder::Account("guest", "p2"),
                                QueryBuilder::Account("guest", "absent")},
                               Query::kYesterday, type)}) {
      Query::Request archived = live;
      archived.set_period_start(document["period_start"].GetString());
      const auto live_answer = client.Query(live);
      const auto archived_answer = client.Query(archived);
      ASSERT_TRUE(live_answer.ok() && archived_answer.ok())
          << archived_answer.response.DebugString();
      EXPECT_EQ(archived_answer.response.leaderboard_query().DebugString(),
                live_answer.response.leaderboard_query().DebugString())
          << archived.ShortDebugString();
      // The best first: p2's 69.5 of all and in p3's window; among the
      // listed, a player without a time counts as 0, the best of all.
      const auto& first = live_answer.response.leaderboard_query().record(0);
      EXPECT_EQ(first.account_id().local_account(),
                live.collection() == Query::kSocial ? "absent" : "p2");
    }
  }
  EXPECT_EQ(ExitCode(server.Stop(SIGTERM)), 0);
}

}  // namespace
}  // namespace plemox_test
