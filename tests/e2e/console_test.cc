// The operator's console against the real host with an API token: its JSON
// routes refuse what they must with a clear JSON error and change nothing,
// and in headless Chromium (console_browser.py) the page shows the
// leaderboards and rankings, finds a player, deletes their scores from Redis
// and MariaDB, forces a reset and defines a leaderboard and changes its
// schedule. Screenshots of every view are kept under
// the build tree in test-artifacts/console/.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/http_get.h"
#include "support/own_database_test.h"
#include "support/private_redis.h"
#include "support/reset_test_support.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Json = nlohmann::json;
using plemox::QueryBuilder;

const char kToken[] = "console-test-token-0123456789abcdef";
// Far ahead, so that no scheduled reset runs during the test.
const posix_time::ptime kStarts =
    posix_time::time_from_string("2098-01-05 06:00:00");

std::string ConsolePrefix() {
  return "e2econ" + std::to_string(getpid()) + "_";
}

// Runs console_browser.py against the console on `api_port` with the token
// and `arguments`, screenshots into test-artifacts/<artifacts>/, and reads
// what it saw (the JSON object on its last line). Fails the test with the
// script's output when it fails or takes more than 300 s (a bound for a
// hung browser: on a loaded 2-core machine the steps took over 120 s).
testing::AssertionResult RunConsoleBrowser(int api_port,
                                           const std::string& artifacts,
                                           const std::string& arguments,
                                           Json* seen) {
  const std::string command =
      "timeout 300 /usr/bin/python3 '" + SourceDir() +
      "/tests/e2e/console_browser.py' --url 'http://127.0.0.1:" +
      std::to_string(api_port) + "/console/' --token '" + kToken +
      "' --screenshots '" + BinaryDir() + "/../test-artifacts/" + artifacts +
      "'" + arguments;
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return testing::AssertionFailure() << "no popen";
  char buffer[4096];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
  if (pclose(pipe) != 0) {
    return testing::AssertionFailure()
           << output
           << "\n(needs chromium, chromium-driver and python3-selenium: "
              "scripts/install_deps.sh)";
  }
  *seen = Json::parse(output.substr(output.rfind('\n', output.size() - 2) + 1),
                      nullptr, false);
  if (seen->is_discarded()) {
    return testing::AssertionFailure() << "no JSON at the end of: " << output;
  }
  return testing::AssertionSuccess();
}

class ConsoleTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string p = ConsolePrefix();
    auto options = HostProcess::Options::WithArguments(ArgumentsJson(
        {p + "a", p + "b"}, {ScheduleJson(p + "a", "day", kStarts)}));
    options.flags = {"--enable_reset_leaderboard_api=true",
                     std::string("--api_token=") + kToken,
                     "--max_records_per_answer=100"};
    server_ = std::make_unique<RunningServer>(options, "console-test");
    // Twelve players on "a", p00 best; p03 and p04 share a score. p00 and
    // p02 have names, p02 metadata too.
    for (int i = 0; i < 12; ++i) {
      char account[8];
      std::snprintf(account, sizeof(account), "p%02d", i);
      const double score = i == 4 ? 1000 - 3 * 10 : 1000 - i * 10;
      if (i == 0) {
        Submit("a", account, score, "Ada");
      } else if (i == 2) {
        Submit("a", account, score, "Zo\u00eb", std::string("\0\xff\x10", 3));
      } else {
        Submit("a", account, score);
      }
    }
    Submit("b", "p01", 5);
    ASSERT_TRUE(WaitFor([&] { return RowsOf("a_alltime", "p01") == 1; }));
  }
  void TearDown() override {
    server_.reset();
    probe_.ForgetLeaderboards(ConsolePrefix());
  }

  void Submit(const std::string& name, const std::string& account, double score,
              const std::optional<std::string>& display_name = std::nullopt,
              const std::optional<std::string>& metadata = std::nullopt) {
    plemox::LeaderboardClient::Submission submission;
    submission.leaderboard_id = ConsolePrefix() + name;
    submission.account = QueryBuilder::Account("guest", account);
    submission.score = score;
    submission.display_name = display_name;
    submission.metadata = metadata;
    ASSERT_TRUE(server_->client().SubmitScore(submission).ok());
  }
  std::size_t RowsOf(const std::string& table, const std::string& account) {
    const auto rows = probe_.ScoreRows(ConsolePrefix() + table);
    return rows ? rows->count("guest:" + account) : 0;
  }
  std::size_t RankedOf(const std::string& name, const std::string& timespan) {
    return probe_
        .SortedSet("leaderboard:" + ConsolePrefix() + name + ":" + timespan)
        .size();
  }
  HttpAnswer Call(const std::string& method, const std::string& target,
                  const std::string& token = kToken) {
    std::map<std::string, std::string> headers;
    if (!token.empty()) headers["Authorization"] = "Bearer " + token;
    return HttpRequest(server_->host().api_port(), method, target, headers);
  }
  // The JSON error body of a refusal with `status`.
  static Json Refusal(const HttpAnswer& answer, int status) {
    EXPECT_EQ(answer.status, status) << answer.body;
    EXPECT_EQ(answer.content_type, "application/json");
    const Json body = Json::parse(answer.body, nullptr, false);
    EXPECT_EQ(body.value("error", false), true) << answer.body;
    EXPECT_EQ(body.value("status", 0), status) << answer.body;
    return body;
  }

  std::unique_ptr<RunningServer> server_;
  StoreProbe probe_;
};

TEST_F(ConsoleTest, RoutesRefuseWhatTheyMustAndChangeNothing) {
  const std::string a = ConsolePrefix() + "a";
  const std::string deletion =
      "/v1/console/leaderboards/" + a + "/players/?provider=guest&account=p01";

  // Without the token: every data route, old and new, answers 401; the
  // probes and the page do not need it.
  for (const std::string& target :
       {std::string("/v1/console/leaderboards/"),
        std::string("/v1/leaderboard_schedules/status/all/"),
        std::string("/metrics"), std::string("/v1/nothing/here")}) {
    const auto answer = Call("GET", target, "");
    Refusal(answer, 401);
    EXPECT_EQ(answer.headers.at("WWW-Authenticate"), "Bearer realm=\"plemox\"");
  }
  EXPECT_EQ(Call("GET", "/healthz", "").status, 200);
  EXPECT_EQ(Call("GET", "/readyz", "").status, 200);
  const auto page = Call("GET", "/console/", "");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
  EXPECT_EQ(page.headers.at("Cache-Control"), "no-cache");
  EXPECT_EQ(page.headers.at("X-Frame-Options"), "DENY");
  EXPECT_EQ(Call("GET", "/console/console.js", "").content_type,
            "text/javascript; charset=utf-8");
  EXPECT_EQ(HttpRequest(server_->host().api_port(), "GET", "/console/",
                        {{"If-None-Match", page.headers.at("ETag")}})
                .status,
            304);
  EXPECT_EQ(Call("GET", "/console", "").headers.at("Location"), "/console/");
  EXPECT_EQ(Call("GET", "/console/missing.js", "").status, 404);

  // Refused changes, each with a clear error: wrong and missing tokens, a
  // GET on the deletion route, an unknown leaderboard, bad player ids. A
  // browser's preflight gets no CORS permission either.
  EXPECT_EQ(Refusal(Call("DELETE", deletion, "wrong-token-0123456789"), 401)
                .value("message", ""),
            "wrong API token");
  Refusal(Call("DELETE", deletion, ""), 401);
  const auto get = Call("GET", deletion);
  Refusal(get, 405);
  EXPECT_EQ(get.headers.at("Allow"), "DELETE");
  const auto preflight = Call("OPTIONS", deletion);
  EXPECT_EQ(preflight.status, 405);
  EXPECT_EQ(preflight.headers.count("Access-Control-Allow-Origin"), 0u);
  EXPECT_EQ(
      Refusal(Call("DELETE", "/v1/console/leaderboards/" + ConsolePrefix() +
                                 "nope/players/?provider=guest&account=p01"),
              404)
          .value("message", ""),
      "unknown leaderboard '" + ConsolePrefix() + "nope'");
  for (const std::string& player :
       {std::string("provider=guest&account=p0%3A1"),
        std::string("provider=&account=p01"), std::string("account=p01"),
        std::string("provider=guest&account=") + std::string(300, 'x'),
        std::string("provider=guest&account=p%0")}) {
    const Json body = Refusal(
        Call("DELETE", "/v1/console/leaderboards/" + a + "/players/?" + player),
        400);
    EXPECT_FALSE(body.value("message", "").empty()) << player;
  }

  // Reading: an oversized page, an unknown leaderboard, a bad span.
  const std::string ranking = "/v1/console/leaderboards/" + a + "/ranking/";
  EXPECT_NE(Refusal(Call("GET", ranking + "?size=101"), 400)
                .value("message", "")
                .find("--max_records_per_answer"),
            std::string::npos);
  Refusal(Call("GET", ranking + "?size=0"), 400);
  Refusal(Call("GET", ranking + "?time_span=hourly"), 400);
  Refusal(
      Call("GET", "/v1/console/leaderboards/" + ConsolePrefix() + "x/ranking/"),
      404);
  Refusal(Call("GET", ranking + "?provider=guest&account=nobody"), 404);
  Refusal(Call("GET", "/v1/console/players/?provider=guest"), 400);

  // Nothing was deleted.
  EXPECT_EQ(RankedOf("a", "alltime"), 12u);
  EXPECT_EQ(RowsOf("a_alltime", "p01"), 1u);
  EXPECT_EQ(RowsOf("a_daily", "p01"), 1u);

  // With the token the same page reads, numbered by competition: p03 and
  // p04 share rank 4, p05 is sixth.
  const auto answer =
      Call("GET", ranking + "?from=3&size=4&numbering=competition");
  ASSERT_EQ(answer.status, 200) << answer.body;
  const Json body = Json::parse(answer.body);
  EXPECT_EQ(body["total_player_count"], 12);
  std::vector<std::string> accounts;
  std::vector<int> ranks;
  std::vector<int> positions;
  for (const auto& record : body["records"]) {
    accounts.push_back(record["account"]);
    ranks.push_back(record["rank"]);
    positions.push_back(record["position"]);
  }
  // A player's name and metadata (base64) only where they were sent.
  EXPECT_EQ(body["records"][0].value("display_name", ""), "Zo\u00eb");
  EXPECT_EQ(body["records"][0].value("metadata", ""), "AP8Q");
  EXPECT_EQ(body["records"][0].value("metadata_bytes", 0), 3);
  EXPECT_FALSE(body["records"][3].contains("display_name")) << body;
  EXPECT_FALSE(body["records"][3].contains("metadata")) << body;
  // p03 and p04 tie; within one millisecond either may come first.
  std::sort(accounts.begin() + 1, accounts.begin() + 3);
  EXPECT_EQ(accounts, (std::vector<std::string>{"p02", "p03", "p04", "p05"}));
  EXPECT_EQ(ranks, (std::vector<int>{3, 4, 4, 6}));
  EXPECT_EQ(positions, (std::vector<int>{3, 4, 5, 6}));
}

TEST_F(ConsoleTest, ServesLeaderboardsCreatedAtRunTime) {
  const std::string id = ConsolePrefix() + "runtime";
  ASSERT_EQ(Call("GET", "/v1/console/leaderboards/" + id + "/ranking/").status,
            404);
  Submit("runtime", "p07", 70);
  // Listed once its tables exist (made by its first database write).
  std::string listed;
  EXPECT_TRUE(WaitFor([&] {
    listed = Call("GET", "/v1/console/leaderboards/").body;
    return listed.find("\"" + id + "\"") != std::string::npos;
  })) << listed;
  const auto ranking =
      Call("GET", "/v1/console/leaderboards/" + id + "/ranking/");
  ASSERT_EQ(ranking.status, 200) << ranking.body;
  const Json body = Json::parse(ranking.body);
  ASSERT_EQ(body["records"].size(), 1u);
  EXPECT_EQ(body["records"][0]["account"], "p07");
}

TEST_F(ConsoleTest, BrowserShowsRankingsDeletesAPlayerAndForcesAReset) {
  const std::string a = ConsolePrefix() + "a";
  const std::string b = ConsolePrefix() + "b";
  const std::string defined = ConsolePrefix() + "defined";
  // A requested reset of "b" writes reset log rows for the page to show.
  ASSERT_TRUE(server_->client().RequestReset(b).ok());
  Json seen;
  ASSERT_TRUE(RunConsoleBrowser(
      server_->host().api_port(), "console",
      " --leaderboard " + a + " --reset-leaderboard " + a +
          " --provider guest --account p07 --other-account p01 "
          "--define-leaderboard " +
          defined + " --define-starts '" + ManifestTime(kStarts) + "'",
      &seen));

  // Without the token no data; a wrong one is refused.
  EXPECT_EQ(seen["without_token"]["tables"], 0);
  EXPECT_NE(seen["wrong_token"].get<std::string>().find("wrong API token"),
            std::string::npos);
  // Leaderboards with their player counts (all time is the fourth column).
  ASSERT_EQ(seen["leaderboards"].size(), 2u) << seen;
  EXPECT_EQ(seen["leaderboards"][0][0], a);
  EXPECT_EQ(seen["leaderboards"][0][3], "12");
  EXPECT_EQ(seen["leaderboards"][1][3], "1");
  // The ranking in order with positions and ranks, five to a page.
  ASSERT_EQ(seen["ranking_page_1"].size(), 5u) << seen;
  EXPECT_EQ(
      seen["ranking_page_1"][0],
      Json::parse(R"(["1","1","1000","guest","p00","Ada","Player Delete"])"));
  // p03 and p04 tie; within one millisecond either may come first.
  EXPECT_EQ(seen["ranking_page_1"][4][2], "970");
  EXPECT_EQ(seen["ranking_status_1"], "Positions 1–5 of 12");
  EXPECT_EQ(seen["ranking_page_2"][0][0], "6");
  EXPECT_EQ(seen["ranking_page_2"][0][4], "p05");
  // The search found p07 at position 8 and highlighted it.
  EXPECT_EQ(seen["highlighted"][0], "8");
  EXPECT_EQ(seen["highlighted"][4], "p07");
  EXPECT_NE(seen["delete_question"].get<std::string>().find("guest:p07"),
            std::string::npos);
  EXPECT_NE(seen["deleted"].get<std::string>().find("guest:p07"),
            std::string::npos);
  for (const auto& row : seen["after_delete"]) EXPECT_NE(row[4], "p07");
  EXPECT_EQ(seen["deleted_player"],
            "This player has no score on any leaderboard.");
  // p01 on both leaderboards, several time spans each.
  bool on_b = false;
  for (const auto& row : seen["player"]) on_b = on_b || row[0] == b;
  EXPECT_TRUE(on_b) << seen["player"];
  // Schedules, the reset log of b's requested reset, the forced reset.
  EXPECT_EQ(seen["schedules"][0][0], a + "_day");
  int b_rows = 0;
  for (const auto& row : seen["reset_log"]) {
    b_rows += row[0].get<std::string>().rfind(b + "_", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(b_rows, 3) << seen["reset_log"];
  EXPECT_NE(seen["reset_question"].get<std::string>().find(
                "Roll the daily ranking of " + a + " over now"),
            std::string::npos);
  EXPECT_NE(seen["reset"].get<std::string>().find(
                "Succeed to reset leaderboard forcibly"),
            std::string::npos);
  // The definition form: a bad start refused, a lowest-first leaderboard
  // defined with a daily schedule, then changed to a weekly one.
  EXPECT_NE(seen["definition_refused"].get<std::string>().find("starts"),
            std::string::npos);
  EXPECT_NE(seen["defined"].get<std::string>().find("version 1"),
            std::string::npos);
  ASSERT_GE(seen["defined_row"].size(), 3u) << seen;
  EXPECT_NE(seen["defined_row"][1].get<std::string>().find(
                "defined at run time, lowest first"),
            std::string::npos)
      << seen["defined_row"];
  EXPECT_NE(seen["defined_row"][2].get<std::string>().find(
                "every day from " + ManifestTime(kStarts)),
            std::string::npos)
      << seen["defined_row"];
  ASSERT_GE(seen["changed_row"].size(), 3u) << seen;
  EXPECT_NE(seen["changed_row"][2].get<std::string>().find("every week"),
            std::string::npos)
      << seen["changed_row"];
  EXPECT_EQ(seen["changed_row"][2].get<std::string>().find("every day"),
            std::string::npos)
      << seen["changed_row"];
  // And the server holds what the page showed.
  const Json listing = Json::parse(Call("GET", "/v1/leaderboards/").body);
  bool stored = false;
  for (const auto& entry : listing["leaderboards"]) {
    if (entry["leaderboard_id"] != defined) continue;
    stored = entry["version"] == 2 &&
             entry["ranking_option"]["sort_order"] == "ascending" &&
             entry["reset_schedules"].size() == 1 &&
             entry["reset_schedules"][0]["period"] == "week";
  }
  EXPECT_TRUE(stored) << listing;
  EXPECT_EQ(
      Call("GET", "/v1/leaderboard_schedules/status/" + defined + "_day/").body,
      "{}");
  EXPECT_NE(seen["readiness"].get<std::string>().find("ready"),
            std::string::npos);
  EXPECT_GT(seen["metric_count"], 5);
  // The day the forced reset closed, listed and opened from the archive.
  ASSERT_EQ(seen["periods"].size(), 1u) << seen["periods"];
  EXPECT_EQ(seen["periods"][0][0], "day");
  // Before the schedule's start: from the beginning, not from 2098.
  EXPECT_EQ(seen["periods"][0][1], "19700101T000000");
  EXPECT_EQ(seen["periods"][0][3], "forced");
  EXPECT_EQ(seen["periods"][0][4], "11");
  EXPECT_EQ(seen["period_status"], "Positions 1–11 of 11");
  ASSERT_EQ(seen["period_standings"].size(), 11u);
  // p03 and p04 tie (their order follows their times, equal or not).
  EXPECT_EQ(seen["period_standings"][4][1], "4");
  EXPECT_EQ(seen["period_standings"][4][2], "4");
  EXPECT_EQ(seen["period_standings"][4][3], "970");
  EXPECT_EQ(seen["period_standings"][5],
            Json::array({"6", "6", "5", "950", "guest", "p05"}));
  EXPECT_EQ(seen["errors"], Json::array());
  EXPECT_EQ(seen["broken"], Json::array());

  // The deletion reached both stores, like a protocol deletion.
  for (const char* timespan : {"alltime", "yesterday"}) {
    for (const auto& [member, score] :
         probe_.SortedSet("leaderboard:" + a + ":" + std::string(timespan))) {
      EXPECT_EQ(member.find(":p07:"), std::string::npos) << timespan;
    }
  }
  for (const char* table : {"a_alltime", "a_yesterday"}) {
    EXPECT_EQ(RowsOf(table, "p07"), 0u) << table;
    EXPECT_EQ(RowsOf(table, "p08"), 1u) << table;
  }
  // The forced reset rolled a's daily ranking over: the day is empty, and
  // yesterday holds the eleven players left.
  EXPECT_EQ(RankedOf("a", "daily"), 0u);
  EXPECT_EQ(RankedOf("a", "yesterday"), 11u);
  // Each change is in the log with where it came from.
  const std::string log = server_->host().Log();
  EXPECT_NE(
      log.find("Console: deleted the scores of guest:p07 on leaderboard " + a +
               " (had an all-time entry), remote=127.0.0.1:"),
      std::string::npos);
  EXPECT_NE(log.find("API change requested: PUT /v1/leaderboard_schedules/" +
                     a + "_day/, remote=127.0.0.1:"),
            std::string::npos);
}

// A league in the console, on a host with a Redis and a database of its own
// (the league's period end runs on the master, and every server on one Redis
// competes for that): five players, one with an account id made to break out
// of the page's text, fill two bronze cohorts; a forced reset ends the day
// and moves them; four come back and fill a silver and a bronze cohort.
// The page shows the league's rules, its tiers, a tier's cohorts, a cohort's
// standing with its zones and the tier histories, the hostile id as text.
class ConsoleLeagueTest : public OwnDatabaseTest {
 protected:
  ConsoleLeagueTest() : OwnDatabaseTest("e2econlg") {}
};

TEST_F(ConsoleLeagueTest, BrowserShowsTiersCohortsStandingsAndHistories) {
  const std::string id = prefix_ + "cups";
  const std::string hostile = "<b>x</b><img src=x onerror=\"window.pwned=1\">";
  PrivateRedis redis;
  auto options = HostProcess::Options::WithArguments(
      ArgumentsJson({id}, {ScheduleJson(id, "day", kStarts)}) +
      ", \"ranking_options\": [{\"leaderboard_id\": \"" + id +
      "\", \"league\": {\"tiers\": [\"bronze\", \"silver\", \"gold\"], "
      "\"cohort_size\": 3, \"promote\": 1, \"relegate\": 1}}]");
  options.flags = {redis.HostFlag(),
                   "--external_ip=127.0.0.1",
                   "--mysql_db_name=" + database_,
                   "--enable_reset_leaderboard_api=true",
                   std::string("--api_token=") + kToken,
                   "--max_records_per_answer=100"};
  RunningServer server(options, "console-league");
  const auto submit = [&](const std::string& account, double score) {
    NextMillisecond();  // cohorts fill in the order of first scores
    ASSERT_TRUE(server.client()
                    .SubmitScore(id, QueryBuilder::Account("guest", account),
                                 score,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  };
  // bronze-1: p1 30, p2 20, the hostile 10; bronze-2: p4 50, p5 3.
  for (const auto& [account, score] :
       std::vector<std::pair<std::string, double>>{
           {"p1", 30}, {"p2", 20}, {hostile, 10}, {"p4", 50}, {"p5", 3}}) {
    submit(account, score);
  }
  const auto api = [&](const std::string& method, const std::string& target) {
    return HttpRequest(server.host().api_port(), method, target,
                       {{"Authorization", std::string("Bearer ") + kToken}});
  };
  ASSERT_EQ(api("PUT", "/v1/leaderboard_schedules/" + id + "_day/").status,
            200);
  // They come back at once: the rollover holds newcomers until the master
  // has moved everybody (p1 and p4 up to silver; bronze is the lowest tier),
  // then places them in their new tiers. silver-1: p4 45 (would move up),
  // p1 40 (down: a cohort of two promotes first); bronze-1: p2 25 (up), the
  // hostile 15 (stays).
  for (const auto& [account, score] :
       std::vector<std::pair<std::string, double>>{
           {"p4", 45}, {"p1", 40}, {"p2", 25}, {hostile, 15}}) {
    submit(account, score);
  }
  std::string tiers;
  ASSERT_TRUE(WaitFor(
      [&] {
        tiers = api("GET", "/v1/leagues/" + id + "/tiers/").body;
        const Json body = Json::parse(tiers, nullptr, false);
        return !body.is_discarded() && body.contains("tiers") &&
               body["tiers"][0]["players"] == 2 &&
               body["tiers"][1]["players"] == 2;
      },
      std::chrono::seconds(60)))
      << tiers << server.host().Log();

  // The route reads percent-encoded ids (p%34 is p4, promoted from
  // bronze-2) and refuses what names no player.
  const Json history = Json::parse(
      api("GET", "/v1/leagues/" + id + "/players/guest/p%34/").body);
  EXPECT_EQ(history["tier"], "silver") << history;
  EXPECT_EQ(history["history"].size(), 1u) << history;
  for (const char* bad : {"p%3A4", "p%4", "%20%09"}) {
    const Json refused = Json::parse(
        api("GET", "/v1/leagues/" + id + "/players/guest/" + bad + "/").body);
    EXPECT_EQ(refused.value("error", false), true) << bad << " " << refused;
    EXPECT_EQ(refused.value("message", "").rfind("Bad player id: ", 0), 0u)
        << refused;
  }

  Json seen;
  ASSERT_TRUE(RunConsoleBrowser(
      server.host().api_port(), "console-league",
      " --league " + id + " --league-tier silver --league-hostile '" + hostile +
          "' --league-hostile-cohort bronze-1",
      &seen))
      << server.host().Log();
  // The leaderboards view tells the league by its rules.
  ASSERT_GE(seen["league_row"].size(), 2u) << seen;
  EXPECT_NE(seen["league_row"][1].get<std::string>().find(
                "League of 3 tiers (bronze < silver < gold), daily cohorts of "
                "up to 3: the first 1 move up, the last 1 down; absent players "
                "stay."),
            std::string::npos)
      << seen["league_row"];
  // Tiers highest first: players and cohorts.
  EXPECT_EQ(seen["league_tiers"],
            Json::parse(R"([["gold", "0", "0", "—"], ["silver", "2", "1",
                            "Cohorts"], ["bronze", "2", "1", "Cohorts"]])"));
  EXPECT_EQ(seen["league_cohorts_status"], "Cohorts 1–1 of 1");
  EXPECT_EQ(seen["league_cohorts"],
            Json::parse(R"([["silver-1", "2", "Standing"]])"));
  // The standing with its zones.
  EXPECT_EQ(seen["league_standing"], Json::parse(R"([
              ["1", "1", "1", "45", "guest", "p4", "", "↑ up to gold", "History"],
              ["2", "2", "2", "40", "guest", "p1", "", "↓ down to bronze",
               "History"]])"));
  EXPECT_EQ(seen["league_zones"], Json::parse(R"(["zone-up", "zone-down"])"));
  // p4's history: the day it topped bronze-2.
  EXPECT_EQ(seen["league_player_tier"], "Tier now: silver.");
  ASSERT_EQ(seen["league_history"].size(), 1u) << seen;
  const Json& period = seen["league_history"][0];
  ASSERT_EQ(period.size(), 8u) << period;
  EXPECT_EQ(period[0].get<std::string>().size(), 15u) << period;  // a date
  EXPECT_EQ(std::vector<Json>(period.begin() + 2, period.end()),
            Json::parse(R"(["bronze-2", "1", "50", "bronze", "silver",
                            "↑ up"])")
                .get<std::vector<Json>>());
  // The hostile id: text in its standing row and its history, no markup
  // made of it, nothing of it run.
  ASSERT_GE(seen["hostile_row"].size(), 8u) << seen;
  EXPECT_EQ(seen["hostile_row"][5], hostile);
  EXPECT_EQ(seen["hostile_row"][7], "stays");
  EXPECT_EQ(seen["hostile_title"], "Player guest:" + hostile);
  ASSERT_EQ(seen["hostile_history"].size(), 1u) << seen;
  EXPECT_EQ(seen["hostile_history"][0][2], "bronze-1");
  EXPECT_EQ(seen["hostile_history"][0][3], "3");
  EXPECT_EQ(seen["hostile_history"][0][7], "stayed");
  EXPECT_EQ(seen["hostile_markup"], 0);
  EXPECT_EQ(seen["hostile_ran"], false);
  EXPECT_NE(seen["unknown_cohort"].get<std::string>().find(
                "No such cohort: silver-99"),
            std::string::npos);
  EXPECT_EQ(seen["errors"], Json::array());
  EXPECT_EQ(seen["broken"], Json::array());
}

}  // namespace
}  // namespace plemox_test
