// Leagues through the real host: players fill cohorts of their tier in the
// order they come, each cohort is a ranking of its own in the three
// numberings, and a cohort query of a player in no cohort is refused.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/load_generator/load_generator.h"
#include "client/query_builder.h"
#include "support/http_get.h"
#include "support/reset_test_support.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"
#include "vel/core/json.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using plemox::QueryBuilder;

class LeagueTest : public testing::Test {
 protected:
  ~LeagueTest() override {
    probe_.DeleteKeys("leaderboard:" + prefix_ + "*");
    probe_.DropTables(prefix_);
    probe_.Execute("DELETE FROM league_placement WHERE league_id LIKE '" +
                   prefix_ + "%'");
  }

  // A cohort query of `player` on `id`.
  static LeaderboardQuery::Request CohortQuery(
      const std::string& id, const std::string& player,
      LeaderboardQuery::Request::RankingType type,
      const LeaderboardQuery::Range& range) {
    auto query =
        QueryBuilder::Public(id, LeaderboardQuery::kWeekly, type, range,
                             QueryBuilder::Account("guest", player));
    query.set_cohort(true);
    return query;
  }

  const std::string prefix_ = UniquePrefix("e2eleague");
  StoreProbe probe_;
};

TEST_F(LeagueTest, CohortsFillInOrderAndRankTheirPlayers) {
  const std::string id = prefix_ + "cups";
  const std::string plain = prefix_ + "plain";
  // The schedule starts far ahead, so that no period ends during the test.
  RunningServer server(
      HostProcess::Options::WithArguments(
          ArgumentsJson({id, plain},
                        {ScheduleJson(id, "week",
                                      posix_time::time_from_string(
                                          "2098-01-05 00:00:00"))}) +
          ", \"ranking_options\": [{\"leaderboard_id\": \"" + id +
          "\", \"league\": {\"tiers\": [\"bronze\", \"silver\"], "
          "\"cohort_size\": 3, \"promote\": 1, \"relegate\": 1}}]"),
      "league-test");
  auto& client = server.client();
  // Seven players: cohorts of three, in the order of their first scores;
  // p1 and p2 tie, p1 first.
  const std::vector<std::pair<std::string, double>> scores = {
      {"p0", 10}, {"p1", 20}, {"p2", 20}, {"p3", 5},
      {"p4", 7},  {"p5", 9},  {"p6", 1}};
  for (const auto& [player, score] : scores) {
    NextMillisecond();
    ASSERT_TRUE(client
                    .SubmitScore(id, QueryBuilder::Account("guest", player),
                                 score,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }
  // A second score of a placed player keeps its cohort.
  ASSERT_TRUE(client
                  .SubmitScore(id, QueryBuilder::Account("guest", "p0"), 30,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  const std::map<std::string, std::vector<std::string>> cohorts = {
      {"bronze-1", {"p0", "p1", "p2"}},
      {"bronze-2", {"p5", "p4", "p3"}},
      {"bronze-3", {"p6"}}};
  for (const auto& [cohort, ordered] : cohorts) {
    for (const std::string& player : ordered) {
      const auto result = client.Query(
          CohortQuery(id, player, LeaderboardQuery::Request::kPosition,
                      QueryBuilder::AllRange()));
      ASSERT_TRUE(result.ok()) << result.error;
      const auto& answer = result.response.leaderboard_query();
      EXPECT_EQ(answer.cohort_id(), cohort) << player;
      EXPECT_EQ(answer.tier(), "bronze") << player;
      ASSERT_EQ(answer.record_size(), static_cast<int>(ordered.size()));
      EXPECT_EQ(answer.total_player_count(),
                static_cast<std::int64_t>(ordered.size()));
      for (int i = 0; i < answer.record_size(); ++i) {
        EXPECT_EQ(answer.record(i).account_id().local_account(),
                  ordered[static_cast<std::size_t>(i)])
            << cohort;
        EXPECT_EQ(answer.record(i).rank(), i + 1);
        EXPECT_EQ(answer.record(i).tier(), "bronze");
      }
    }
  }
  // The tie in the first cohort: 30, 20, 20.
  const std::pair<LeaderboardQuery::Request::RankingType,
                  std::vector<std::int64_t>>
      numberings[] = {{LeaderboardQuery::Request::kCompetition, {1, 2, 2}},
                      {LeaderboardQuery::Request::kDense, {1, 2, 2}}};
  for (const auto& [type, ranks] : numberings) {
    const auto result =
        client.Query(CohortQuery(id, "p2", type, QueryBuilder::AllRange()));
    ASSERT_TRUE(result.ok()) << result.error;
    const auto& answer = result.response.leaderboard_query();
    ASSERT_EQ(answer.record_size(), 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(answer.record(i).rank(), ranks[static_cast<std::size_t>(i)]);
    }
  }
  // Around p3 (last of bronze-2: p5 9, p4 7, p3 5) and its top one.
  auto result =
      client.Query(CohortQuery(id, "p3", LeaderboardQuery::Request::kPosition,
                               QueryBuilder::NearbyRange(-1, 1)));
  ASSERT_TRUE(result.ok()) << result.error;
  ASSERT_EQ(result.response.leaderboard_query().record_size(), 2);
  EXPECT_EQ(result.response.leaderboard_query()
                .record(0)
                .account_id()
                .local_account(),
            "p4");
  result =
      client.Query(CohortQuery(id, "p3", LeaderboardQuery::Request::kPosition,
                               QueryBuilder::TopRange(0, 0)));
  ASSERT_TRUE(result.ok()) << result.error;
  ASSERT_EQ(result.response.leaderboard_query().record_size(), 1);
  EXPECT_EQ(result.response.leaderboard_query()
                .record(0)
                .account_id()
                .local_account(),
            "p5");

  // Refusals: a player in no cohort, a leaderboard that is no league, a
  // time span that is not the league's period.
  const std::pair<LeaderboardQuery::Request, std::string> refused[] = {
      {CohortQuery(id, "stranger", LeaderboardQuery::Request::kPosition,
                   QueryBuilder::AllRange()),
       "The player is in no cohort of the league's current period (a player "
       "joins one with its first score of the period)"},
      {CohortQuery(plain, "p0", LeaderboardQuery::Request::kPosition,
                   QueryBuilder::AllRange()),
       "cohort queries need a league (leaderboard " + plain + " is none)"},
  };
  for (const auto& [query, message] : refused) {
    result = client.Query(query);
    ASSERT_TRUE(result.answered()) << result.error;
    EXPECT_EQ(result.response.fail().code(),
              Leaderboard::Response::kFailInvalidParameter);
    EXPECT_EQ(result.response.fail().message(), message);
  }
  auto daily = CohortQuery(id, "p0", LeaderboardQuery::Request::kPosition,
                           QueryBuilder::AllRange());
  daily.set_time_span(LeaderboardQuery::kDaily);
  result = client.Query(daily);
  ASSERT_TRUE(result.answered()) << result.error;
  EXPECT_EQ(result.response.fail().code(),
            Leaderboard::Response::kFailInvalidParameter);

  // Over HTTP: the tiers, a page of cohorts, a cohort's standing, a
  // player's tier (no history before the first period end); what does not
  // exist is answered 404.
  const auto get = [&](const std::string& path, int status = 200,
                       const std::string& league = "") {
    const HttpAnswer answer =
        HttpRequest(server.host().api_port(), "GET",
                    "/v1/leagues/" + (league.empty() ? id : league) + path);
    vel::Json body;
    EXPECT_EQ(answer.status, status) << path;
    EXPECT_TRUE(vel::Json::Parse(answer.body, &body)) << answer.body;
    return body;
  };
  vel::Json body = get("/tiers/");
  ASSERT_EQ(body["tiers"].Size(), 2u) << body.ToString();
  EXPECT_EQ(body["tiers"][0]["players"].GetInt(), 7);
  EXPECT_EQ(body["tiers"][0]["cohorts"].GetInt(), 3);
  EXPECT_EQ(body["tiers"][1]["players"].GetInt(), 0);
  body = get("/tiers/bronze/cohorts/?offset=1&limit=5");
  EXPECT_EQ(body["total_cohorts"].GetInt(), 3);
  ASSERT_EQ(body["cohorts"].Size(), 2u) << body.ToString();
  EXPECT_EQ(body["cohorts"][0]["cohort_id"].GetString(), "bronze-2");
  EXPECT_EQ(body["cohorts"][1]["players"].GetInt(), 1);
  body = get("/cohorts/bronze-1/");
  ASSERT_EQ(body["standing"].Size(), 3u) << body.ToString();
  EXPECT_EQ(body["standing"][2]["local_account"].GetString(), "p2");
  EXPECT_EQ(body["standing"][2]["competition_rank"].GetInt(), 2);
  EXPECT_EQ(body["standing"][2]["score"].GetDouble(), 20);
  body = get("/cohorts/bronze-9/", 404);
  EXPECT_TRUE(body["error"].GetBool());
  EXPECT_EQ(body["message"].GetString(), "No such cohort: bronze-9");
  body = get("/players/guest/p0/");
  EXPECT_EQ(body["tier"].GetString(), "bronze");
  EXPECT_EQ(body["history"].Size(), 0u);
  EXPECT_EQ(get("/tiers/gold/cohorts/", 404)["message"].GetString(),
            "No such tier: gold");
  EXPECT_EQ(get("/tiers/", 404, plain)["message"].GetString(),
            "Leaderboard " + plain + " is no league");

  // A deleted player leaves its cohort; the next newcomer fills the gap of
  // the open cohort only.
  ASSERT_TRUE(
      client.DeleteScores({{id, QueryBuilder::Account("guest", "p5")}}).ok());
  result =
      client.Query(CohortQuery(id, "p4", LeaderboardQuery::Request::kPosition,
                               QueryBuilder::AllRange()));
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.response.leaderboard_query().record_size(), 2);
  result =
      client.Query(CohortQuery(id, "p5", LeaderboardQuery::Request::kPosition,
                               QueryBuilder::AllRange()));
  ASSERT_TRUE(result.answered()) << result.error;
  EXPECT_EQ(result.response.fail().code(),
            Leaderboard::Response::kFailInvalidParameter);
}

// The load generator's cohort queries (what the league rows of
// scripts/bench.sh send) are answered by a real league: its prefill places
// every player, and every query then finds the player's cohort.
TEST_F(LeagueTest, TheLoadGeneratorsCohortQueriesAreAnswered) {
  const std::string id = prefix_ + "lg";
  RunningServer server(
      HostProcess::Options::WithArguments(
          ArgumentsJson({id}, {ScheduleJson(id, "day",
                                            posix_time::time_from_string(
                                                "2098-01-05 00:00:00"))}) +
          ", \"ranking_options\": [{\"leaderboard_id\": \"" + id +
          "\", \"league\": {\"tiers\": [\"bronze\", \"silver\"], "
          "\"cohort_size\": 7, \"promote\": 1, \"relegate\": 1}}]"),
      "league-loadgen-test");
  plemox::LoadGenerator::Options options;
  options.port = static_cast<uint16_t>(server.host().tcp_port());
  options.connections = 2;
  options.in_flight = 2;
  options.duration = std::chrono::milliseconds(0);
  options.max_requests = 100;
  options.leaderboard_ids = {id};
  options.players = 40;
  options.prefill = true;
  std::string error;
  ASSERT_TRUE(plemox::LoadGenerator::Mix::Parse("cohort=3,submit=1",
                                                &options.mix, &error))
      << error;
  plemox::LoadGenerator generator(options);
  plemox::LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();
  EXPECT_EQ(report.prefill_failures, 0u);
  const auto& cohort = report.of(plemox::LoadGenerator::RequestKind::kCohort);
  EXPECT_GT(cohort.ok, 0u);
  EXPECT_EQ(report.total.ok, 100u)
      << plemox::LoadGenerator::FormatReport(report);
  // 40 players in cohorts of 7: five full cohorts and one of five.
  const auto result = server.client().Query([&] {
    auto query = QueryBuilder::Public(
        id, LeaderboardQuery::kDaily, LeaderboardQuery::Request::kPosition,
        QueryBuilder::AllRange(), QueryBuilder::Account("loadgen", "p0"));
    query.set_cohort(true);
    return query;
  }());
  ASSERT_TRUE(result.ok()) << result.error;
  const auto& answer = result.response.leaderboard_query();
  EXPECT_EQ(answer.cohort_id().rfind("bronze-", 0), 0u) << answer.cohort_id();
  EXPECT_TRUE(
      answer.total_player_count() == 7 ||
      (answer.cohort_id() == "bronze-6" && answer.total_player_count() == 5))
      << answer.cohort_id() << " " << answer.total_player_count();
}

}  // namespace
}  // namespace plemox_test
