// Leaderboards defined at run time over the HTTP API, through real host
// processes: a lowest-first leaderboard with a daily schedule defined on one
// server is ranked lowest first by another server sharing the Redis (of the
// test's own, so that one of them becomes master) and the database, rolls
// over once, is archived and announced lowest first, and is rebuilt lowest
// first by recovery; and every refusal leaves nothing stored. Each test has
// a database of its own: definitions are shared by every server on one
// database, and those of one test must not reach the servers of another.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
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
using std::chrono::steady_clock;

constexpr char kToken[] = "definition-test-token-0123456789abcdef";
// How long a definition made on one server may take to be used by another
// (docs/operations.md).
constexpr seconds kPropagation(3);

HttpAnswer Api(int port, const std::string& method, const std::string& target,
               const std::string& body = "") {
  return HttpRequest(port, method, target,
                     {{"Authorization", std::string("Bearer ") + kToken}},
                     body);
}

HttpAnswer Define(int port, const std::string& id, const std::string& body) {
  return Api(port, "PUT", "/v1/leaderboards/" + id + "/", body);
}

// The listing's entry of `id` on the server at `port`; null when absent.
vel::Json Listed(int port, const std::string& id) {
  vel::Json body;
  const HttpAnswer answer = Api(port, "GET", "/v1/leaderboards/");
  if (answer.status != 200 || !vel::Json::Parse(answer.body, &body)) {
    return vel::Json();
  }
  const vel::Json list = body["leaderboards"];
  for (std::size_t i = 0; i < list.Size(); ++i) {
    if (list[i]["leaderboard_id"].GetString() == id) return list[i];
  }
  return vel::Json();
}

std::string DailyBody(const std::string& sort_order,
                      const posix_time::ptime& starts) {
  return R"({"ranking_option": {"sort_order": ")" + sort_order +
         R"("}, "reset_schedules": [{"period": "day", "interval": 1, )"
         R"("starts": ")" +
         ManifestTime(starts) + R"(", "ends": "2099-01-01 00:00:00"}]})";
}

class LeaderboardDefinitionTest : public OwnDatabaseTest {
 protected:
  LeaderboardDefinitionTest() : OwnDatabaseTest("e2edef") {}

  HostProcess::Options ServerOptions(
      const std::vector<std::string>& extra,
      const std::string& arguments = ArgumentsJson({}, {})) const {
    auto options = HostProcess::Options::WithArguments(arguments);
    options.flags = {"--external_ip=127.0.0.1",
                     std::string("--api_token=") + kToken,
                     "--mysql_db_name=" + database_};
    options.flags.insert(options.flags.end(), extra.begin(), extra.end());
    return options;
  }

  // The accounts of a public top query of `id` in ranking order, with the
  // scores.
  static std::vector<std::pair<std::string, double>> Top(
      LeaderboardClient& client, const std::string& id, Query::TimeSpan span,
      const std::string& period_start = "") {
    Query::Request query = QueryBuilder::Public(
        id, span, Query::Request::kPosition, QueryBuilder::AllRange());
    if (!period_start.empty()) query.set_period_start(period_start);
    const auto answer = client.Query(query);
    std::vector<std::pair<std::string, double>> top;
    if (!answer.ok()) {
      ADD_FAILURE() << answer.response.DebugString();
      return top;
    }
    for (const auto& record : answer.response.leaderboard_query().record()) {
      top.emplace_back(record.account_id().local_account(), record.score());
    }
    return top;
  }

  std::vector<std::string> LoggedResets(const std::string& key) {
    std::vector<std::string> out;
    for (const auto& row : probe_.Rows(
             "SELECT schedule_date_time FROM " + database_ +
             ".reset_schedule_log WHERE leaderboard_key = '" + key + "'")) {
      out.push_back(row.at(0));
    }
    return out;
  }
};

TEST_F(LeaderboardDefinitionTest,
       ADefinitionOfOneServerIsRankedRolledOverAndRebuiltByTheOthers) {
  PrivateRedis redis;
  WebhookReceiver receiver([](const std::string&, int) { return 200; });
  const std::vector<std::string> flags = {
      redis.HostFlag(), "--period_end_webhook_url=" + receiver.url(),
      "--period_end_top_n=10"};
  HostProcess a(ServerOptions(flags));
  HostProcess b(ServerOptions(flags));
  ASSERT_TRUE(a.Start() && b.Start());
  ASSERT_TRUE(a.WaitForLog("The host is running")) << a.Log();
  ASSERT_TRUE(b.WaitForLog("The host is running")) << b.Log();
  ASSERT_TRUE(WaitFor([&] {
    return a.Log().find("The master has elected") != std::string::npos ||
           b.Log().find("The master has elected") != std::string::npos;
  })) << a.Log();

  const std::string id = prefix_ + "laps";
  const auto starts = LocalNow() + posix_time::seconds(12);
  const HttpAnswer defined =
      Define(a.api_port(), id, DailyBody("ascending", starts));
  ASSERT_EQ(defined.status, 201) << defined.body;
  const auto defined_at = steady_clock::now();

  // Server B uses it within the stated time.
  ASSERT_TRUE(WaitFor(
      [&] {
        const vel::Json entry = Listed(b.api_port(), id);
        return !entry.IsNull() &&
               entry["ranking_option"]["sort_order"].GetString() ==
                   "ascending" &&
               entry["reset_schedules"].Size() == 1;
      },
      kPropagation))
      << b.Log();
  EXPECT_LE(steady_clock::now() - defined_at, kPropagation);
  const vel::Json entry = Listed(b.api_port(), id);
  EXPECT_EQ(entry["source"].GetString(), "definition");
  EXPECT_EQ(entry["version"].GetInt(), 1);

  // B's game servers learn the schedule at authentication.
  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", b.tcp_port()));
  const auto authenticated = client.Authenticate("definitions");
  ASSERT_TRUE(authenticated.ok());
  bool announced = false;
  for (const auto& schedule :
       authenticated.response.leaderboard_authentication().reset_schedules()) {
    announced = announced ||
                (schedule.leaderboard_id() == id && schedule.period() == 0 &&
                 schedule.starts() == CompactTime(starts));
  }
  EXPECT_TRUE(announced) << authenticated.response.DebugString();

  for (const auto& [account, score] :
       std::vector<std::pair<std::string, double>>{
           {"p1", 71.25}, {"p2", 69.5}, {"p3", 80}}) {
    ASSERT_TRUE(client
                    .SubmitScore(id, QueryBuilder::Account("guest", account),
                                 score,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }
  const std::vector<std::pair<std::string, double>> lowest_first = {
      {"p2", 69.5}, {"p1", 71.25}, {"p3", 80}};
  EXPECT_EQ(Top(client, id, Query::kDaily), lowest_first);
  EXPECT_EQ(Top(client, id, Query::kAllTime), lowest_first);
  ASSERT_LT(LocalNow(), starts) << "the servers took too long";

  // The master rolls the day over once, archives it and announces it.
  const std::string key = id + "_day";
  ASSERT_TRUE(WaitFor([&] { return !LoggedResets(key).empty(); }, seconds(40)))
      << a.Log() << b.Log();
  vel::Json document;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& delivery : receiver.deliveries()) {
          vel::Json body;
          if (vel::Json::Parse(delivery.body, &body) &&
              body["leaderboard_id"].GetString() == id) {
            document = body;
            return true;
          }
        }
        return false;
      },
      seconds(30)))
      << a.Log() << b.Log();
  const vel::Json top = document["top"];
  ASSERT_EQ(top.Size(), 3u) << document.ToString();
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(top[i]["local_account"].GetString(), lowest_first[i].first);
    EXPECT_EQ(top[i]["score"].GetDouble(), lowest_first[i].second);
  }
  EXPECT_EQ(Top(client, id, Query::kYesterday), lowest_first);
  EXPECT_EQ(
      Top(client, id, Query::kYesterday, document["period_start"].GetString()),
      lowest_first);
  EXPECT_TRUE(Top(client, id, Query::kDaily).empty());
  // Both servers ran their reset checks for a few more seconds: still one.
  ASSERT_TRUE(
      WaitFor([&] { return LocalNow() > starts + posix_time::seconds(3); },
              seconds(10)));
  EXPECT_EQ(LoggedResets(key), std::vector<std::string>{CompactTime(starts)});
  client.Close();
  EXPECT_EQ(ExitCode(a.Stop(SIGTERM)), 0);
  EXPECT_EQ(ExitCode(b.Stop(SIGTERM)), 0);

  // Recovery rebuilds the all-time ranking from the database by the
  // definition's rules: negated in Redis, lowest first.
  StoreProbe redis_probe(redis.port());
  redis_probe.DeleteKeys("leaderboard:" + id + "*");
  auto options = ServerOptions(
      {redis.HostFlag(), "--force_leaderboard_recovery", "--alsologtostderr",
       "--recovery_target_leaderboard_ids=" + id});
  HostProcess recovery(options);
  ASSERT_TRUE(recovery.Start());
  ASSERT_EQ(ExitCode(recovery.WaitForExit(seconds(60))), 0) << recovery.Log();
  const auto rebuilt = redis_probe.SortedSet("leaderboard:" + id + ":alltime");
  ASSERT_EQ(rebuilt.size(), 3u) << recovery.Log();
  EXPECT_EQ(rebuilt[0].second, -69.5);
  EXPECT_EQ(rebuilt[0].first.substr(rebuilt[0].first.find(':') + 1),
            "p2:guest");
}

TEST_F(LeaderboardDefinitionTest, RefusalsStoreNothingAndTheServerGoesOn) {
  const std::string manifest_id = prefix_ + "manifest";
  const std::string scored = prefix_ + "scored";
  const std::string fresh = prefix_ + "fresh";
  const std::string raced = prefix_ + "raced";
  const std::string manifest = ArgumentsJson({manifest_id}, {});
  HostProcess a(ServerOptions({}, manifest));
  HostProcess b(ServerOptions({}, manifest));
  ASSERT_TRUE(a.Start() && b.Start());
  // The routes are registered after the game port opens.
  ASSERT_TRUE(a.WaitForLog("The host is running")) << a.Log();
  ASSERT_TRUE(b.WaitForLog("The host is running")) << b.Log();
  const int port = a.api_port();
  const auto tomorrow = LocalNow() + posix_time::hours(24);
  const auto expect_refused = [&](const std::string& id,
                                  const std::string& body, int status,
                                  const std::string& text) {
    const HttpAnswer answer = Define(port, id, body);
    EXPECT_EQ(answer.status, status) << id << " " << body << " " << answer.body;
    EXPECT_NE(answer.body.find(text), std::string::npos)
        << id << " " << body << " " << answer.body;
  };

  // Bad input: 400 (or 413), naming what is wrong.
  expect_refused("bad-id", "{}", 400, "Invalid leaderboard id");
  expect_refused(fresh, "{\"ranking_option\": ", 400, "well-formed JSON");
  expect_refused(fresh, "[]", 400, "JSON object");
  expect_refused(fresh, R"({"ranking_option": {"sort_order": "upward"}})", 400,
                 "sort_order");
  expect_refused(fresh, R"({"ranking": {}})", 400, "unknown member");
  expect_refused(fresh,
                 R"({"reset_schedules": [{"period": "fortnight", "interval": 1,
                    "starts": "2026-01-01 00:00:00", "ends": "2099-01-01 00:00:00"}]})",
                 400, "field='period'");
  expect_refused(fresh,
                 R"({"reset_schedules": [{"period": "day", "interval": 0,
                    "starts": "2026-01-01 00:00:00", "ends": "2099-01-01 00:00:00"}]})",
                 400, "field='interval'");
  expect_refused(fresh,
                 "{\"reset_schedules\": [" +
                     ScheduleJson(prefix_ + "other", "day", tomorrow) + "]}",
                 400, "differs from the leaderboard of the path");
  const std::string day = R"({"period": "day", "interval": 1, "starts": ")" +
                          ManifestTime(tomorrow) +
                          R"(", "ends": "2099-01-01 00:00:00"})";
  expect_refused(fresh, "{\"reset_schedules\": [" + day + ", " + day + "]}",
                 400, fresh + "_day already has a schedule");
  expect_refused(
      fresh, "{\"reset_schedules\": [\"" + std::string(17 * 1024, 'x') + "\"]}",
      413, "larger than 16384 bytes");

  // The manifest wins.
  expect_refused(manifest_id, "{}", 409, "defined by the manifest");
  const HttpAnswer retire_manifest =
      Api(port, "DELETE", "/v1/leaderboards/" + manifest_id + "/");
  EXPECT_EQ(retire_manifest.status, 409) << retire_manifest.body;
  EXPECT_EQ(Api(port, "DELETE", "/v1/leaderboards/" + fresh + "/").status, 404);
  // No token, no change.
  EXPECT_EQ(
      HttpRequest(port, "PUT", "/v1/leaderboards/" + fresh + "/", {}, "{}")
          .status,
      401);

  // A leaderboard made by its first score keeps its order; its schedules and
  // other rules may change.
  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", a.tcp_port()));
  ASSERT_TRUE(client.Authenticate("definitions").ok());
  ASSERT_TRUE(client
                  .SubmitScore(scored, QueryBuilder::Account("guest", "p1"), 10,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  expect_refused(scored, DailyBody("ascending", tomorrow), 409, "has scores");
  const HttpAnswer kept =
      Define(port, scored, DailyBody("descending", tomorrow));
  EXPECT_EQ(kept.status, 201) << kept.body;
  // Its scores are kept when it is retired, and its schedule stops.
  const HttpAnswer retired =
      Api(port, "DELETE", "/v1/leaderboards/" + scored + "/");
  EXPECT_EQ(retired.status, 200) << retired.body;
  EXPECT_EQ(Listed(port, scored)["retired"].GetBool(), true);
  EXPECT_EQ(
      Api(port, "GET", "/v1/leaderboard_schedules/status/" + scored + "_day/")
          .body,
      "{}");
  EXPECT_EQ(Top(client, scored, Query::kAllTime),
            (std::vector<std::pair<std::string, double>>{{"p1", 10}}));
  // Retired, it is still a leaderboard with scores: the order holds.
  expect_refused(scored, DailyBody("ascending", tomorrow), 409, "has scores");

  // Nor may a league's rules change once it has scores; the same rules
  // again are no change.
  const std::string league = prefix_ + "league";
  const auto league_body = [&](int cohort_size) {
    return R"({"ranking_option": {"league": {"tiers": ["a", "b"], )"
           R"("cohort_size": )" +
           std::to_string(cohort_size) +
           R"(, "promote": 1, "relegate": 1}}, "reset_schedules": [)" + day +
           "]}";
  };
  EXPECT_EQ(Define(port, league, league_body(10)).status, 201);
  ASSERT_TRUE(client
                  .SubmitScore(league, QueryBuilder::Account("guest", "p1"), 5,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  expect_refused(league, league_body(20), 409, "league rules cannot change");
  const HttpAnswer same = Define(port, league, league_body(10));
  EXPECT_EQ(same.status, 200) << same.body;

  // Two servers defining one id at once: every answer is a success or a
  // 409, exactly one created it, and no success is lost.
  std::atomic<int> created{0}, changed{0}, conflicts{0}, others{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 6; ++i) {
    writers.emplace_back([&, i] {
      const HttpAnswer answer = Define(i % 2 == 0 ? a.api_port() : b.api_port(),
                                       raced, DailyBody("ascending", tomorrow));
      (answer.status == 201   ? created
       : answer.status == 200 ? changed
       : answer.status == 409 ? conflicts
                              : others)++;
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(created.load(), 1);
  EXPECT_EQ(others.load(), 0);
  const auto versions = probe_.Rows(
      "SELECT version FROM " + database_ +
      ".leaderboard_definition WHERE leaderboard_id = '" + raced + "'");
  ASSERT_EQ(versions.size(), 1u);
  EXPECT_EQ(versions[0][0], std::to_string(created + changed));

  // Nothing of the refused requests was stored, and the server goes on.
  EXPECT_TRUE(probe_
                  .Rows("SELECT leaderboard_id FROM " + database_ +
                        ".leaderboard_definition WHERE leaderboard_id IN ('" +
                        fresh + "', '" + manifest_id + "')")
                  .empty());
  EXPECT_TRUE(Listed(port, fresh).IsNull());
  EXPECT_EQ(Listed(port, manifest_id)["source"].GetString(), "manifest");
  EXPECT_EQ(Api(port, "GET", "/healthz").status, 200);
  EXPECT_EQ(ExitCode(a.Stop(SIGTERM)), 0);
  EXPECT_EQ(ExitCode(b.Stop(SIGTERM)), 0);
}

}  // namespace
}  // namespace plemox_test
