// A league's period end in real time, through two real host processes on a
// Redis and a database of the test's own: a daily schedule falls due a few
// seconds after start-up; 200 players submit through both servers; every
// cohort holds at most its size and every player is in one. The master is
// killed (kill -9) as soon as it logs its rollover, while it writes the
// moves (how far it got varies from run to run); the other server, once
// master, finishes: every player moved once (checked against a model), the
// players who came meanwhile placed in cohorts of their new tiers, one
// document per cohort.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/private_redis.h"
#include "support/recovery_test_base.h"
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

constexpr int kPlayers = 200;
constexpr int kCohortSize = 30;
constexpr int kPromote = 5;
constexpr int kRelegate = 4;
const std::vector<std::string> kTiers = {"bronze", "silver", "gold"};

class LeaguePeriodEndTest : public RecoveryTestBase {
 protected:
  LeaguePeriodEndTest() : RecoveryTestBase("e2elgend") {}

  // The league's Redis state that recovery rebuilds: the tier hash and the
  // current period's cohorts.
  std::map<std::string, std::string> LeagueState(StoreProbe& redis,
                                                 const std::string& id) {
    std::map<std::string, std::string> state;
    for (const auto& [field, value] :
         redis.Hash("leaderboard:" + id + ":league_tiers")) {
      state["tier " + field] = value;
    }
    for (const auto& [field, value] :
         redis.Hash("leaderboard:" + id + ":daily:league")) {
      state["daily " + field] = value;
    }
    return state;
  }

  HostProcess::Options ServerOptions(const PrivateRedis& redis,
                                     const std::string& arguments,
                                     const std::string& webhook_url) {
    auto options = HostProcess::Options::WithArguments(arguments);
    options.flags = {redis.HostFlag(), "--external_ip=127.0.0.1",
                     "--mysql_db_name=" + database_,
                     "--period_end_webhook_url=" + webhook_url,
                     "--period_end_webhook_timeout_ms=2000"};
    return options;
  }

  // The cohort query of `player` (all, positions).
  static LeaderboardClient::Result CohortOf(LeaderboardClient& client,
                                            const std::string& id,
                                            const std::string& player) {
    auto query = QueryBuilder::Public(
        id, Query::kDaily, Query::Request::kPosition, QueryBuilder::AllRange(),
        QueryBuilder::Account("guest", player));
    query.set_cohort(true);
    return client.Query(query);
  }
};

TEST_F(LeaguePeriodEndTest, MovesAreWrittenOnceAcrossAKilledMaster) {
  PrivateRedis redis;
  WebhookReceiver receiver([](const std::string&, int) { return 200; });
  const std::string id = prefix_ + "cups";
  const auto starts = LocalNow() + posix_time::seconds(25);
  const std::string arguments =
      ArgumentsJson({id}, {ScheduleJson(id, "day", starts)}) +
      ", \"ranking_options\": [{\"leaderboard_id\": \"" + id +
      "\", \"league\": {\"tiers\": [\"bronze\", \"silver\", \"gold\"], "
      "\"cohort_size\": " +
      std::to_string(kCohortSize) +
      ", \"promote\": " + std::to_string(kPromote) +
      ", \"relegate\": " + std::to_string(kRelegate) + "}}]";
  HostProcess first(ServerOptions(redis, arguments, receiver.url()));
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(first.WaitForLog("The master has elected")) << first.Log();
  HostProcess second(ServerOptions(redis, arguments, receiver.url()));
  ASSERT_TRUE(second.Start());
  ASSERT_TRUE(second.WaitForPort(second.tcp_port())) << second.Log();
  LeaderboardClient clients[2];
  ASSERT_TRUE(clients[0].Connect("127.0.0.1", first.tcp_port()));
  ASSERT_TRUE(clients[1].Connect("127.0.0.1", second.tcp_port()));
  for (auto& client : clients) ASSERT_TRUE(client.Authenticate("league").ok());

  // Distinct scores, so that the model's order needs no times.
  std::map<std::string, double> scores;
  for (int i = 0; i < kPlayers; ++i) {
    const std::string player = "p" + std::to_string(i);
    scores[player] = (i * 37) % kPlayers;
    ASSERT_TRUE(clients[i % 2]
                    .SubmitScore(id, QueryBuilder::Account("guest", player),
                                 scores[player],
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }
  // Every player in exactly one cohort of at most the cohort size.
  std::map<std::string, std::vector<std::string>> cohorts;
  std::map<std::string, std::string> cohort_of;
  for (const auto& [player, score] : scores) {
    const auto result = CohortOf(clients[0], id, player);
    ASSERT_TRUE(result.ok()) << result.error;
    const auto& answer = result.response.leaderboard_query();
    cohort_of[player] = answer.cohort_id();
    if (cohorts.count(answer.cohort_id()) != 0) continue;
    ASSERT_LE(answer.record_size(), kCohortSize);
    for (const auto& record : answer.record()) {
      cohorts[answer.cohort_id()].push_back(
          record.account_id().local_account());
    }
  }
  std::set<std::string> seen;
  for (const auto& [cohort, players] : cohorts) {
    EXPECT_EQ(cohort.rfind("bronze-", 0), 0u) << cohort;
    for (const std::string& player : players) {
      EXPECT_TRUE(seen.insert(player).second) << player << " twice";
      EXPECT_EQ(cohort_of[player], cohort);
    }
  }
  EXPECT_EQ(seen.size(), scores.size());
  EXPECT_EQ(cohorts.size(), static_cast<std::size_t>(
                                (kPlayers + kCohortSize - 1) / kCohortSize));
  ASSERT_LT(LocalNow(), starts) << "the servers took too long to start";

  // The model: in each cohort (ordered by score) the first kPromote move up
  // to silver, the last kRelegate stay in bronze (the lowest tier).
  std::map<std::string, int> expected_tier;
  for (const auto& [cohort, players] : cohorts) {
    for (std::size_t i = 0; i < players.size(); ++i) {
      expected_tier[players[i]] = i < static_cast<std::size_t>(kPromote);
    }
  }

  // The master rolls the day over and dies while it writes the moves.
  ASSERT_TRUE(first.WaitForLog("League cohorts rolled over", seconds(60)))
      << first.Log();
  first.Stop(SIGKILL);
  // A newcomer and a promoted player come back during the take-over.
  const std::string promoted = cohorts.begin()->second.front();
  for (const std::string& player : {std::string("late"), promoted}) {
    ASSERT_TRUE(clients[1]
                    .SubmitScore(id, QueryBuilder::Account("guest", player), 1,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }

  // The other master finishes: one history row per player, nobody twice.
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto done =
            probe_.Rows("SELECT COUNT(*) FROM " + database_ +
                        ".league_period_done WHERE league_id = '" + id + "'");
        return !done.empty() && done[0][0] == "1";
      },
      seconds(60)))
      << second.Log();
  const auto rows =
      probe_.Rows("SELECT member_key, old_tier, new_tier FROM " + database_ +
                  ".league_history WHERE league_id = '" + id + "'");
  ASSERT_EQ(rows.size(), scores.size());
  for (const auto& row : rows) {
    const std::string player = row[0].substr(0, row[0].find(':'));
    EXPECT_EQ(row[1], "0") << player;
    EXPECT_EQ(row[2], std::to_string(expected_tier.at(player))) << player;
  }

  // The next period places them in their new tiers.
  for (const std::string& player : {std::string("late"), promoted}) {
    LeaderboardClient::Result result;
    ASSERT_TRUE(WaitFor(
        [&] {
          result = CohortOf(clients[1], id, player);
          return result.ok();
        },
        seconds(20)))
        << result.error;
    EXPECT_EQ(result.response.leaderboard_query().tier(),
              player == "late" ? "bronze" : "silver")
        << player;
  }

  // One document per cohort, with its standing and moves.
  std::map<std::string, vel::Json> documents;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& delivery : receiver.deliveries()) {
          vel::Json body;
          if (vel::Json::Parse(delivery.body, &body) &&
              body.HasMember("cohort_id")) {
            documents[body["cohort_id"].GetString()] = body;
          }
        }
        return documents.size() == cohorts.size();
      },
      seconds(40)))
      << second.Log();
  // The promoted player's tier history over HTTP.
  vel::Json history;
  ASSERT_TRUE(vel::Json::Parse(
      HttpRequest(second.api_port(), "GET",
                  "/v1/leagues/" + id + "/players/guest/" + promoted + "/")
          .body,
      &history));
  EXPECT_EQ(history["tier"].GetString(), "silver") << history.ToString();
  ASSERT_EQ(history["history"].Size(), 1u) << history.ToString();
  EXPECT_EQ(history["history"][0]["tier"].GetString(), "bronze");
  EXPECT_EQ(history["history"][0]["new_tier"].GetString(), "silver");
  EXPECT_EQ(history["history"][0]["position"].GetInt(), 1);

  // Recovery rebuilds the tiers and the current cohorts as they were, once
  // the placements are in the database.
  StoreProbe redis_probe(redis.port());
  ASSERT_TRUE(WaitFor(
      [&] {
        return redis_probe.RedisCall(
                   {"LLEN", "leaderboard:" + id + ":league_log"}) ==
               std::vector<std::string>{"0"};
      },
      seconds(20)));
  second.Stop(SIGTERM);
  auto before = LeagueState(redis_probe, id);
  // The waiting list is spent; recovery has no use for it.
  for (auto it = before.begin(); it != before.end();) {
    const std::string& field = it->first;
    it = field == "daily wn" || field == "daily wd" ? before.erase(it)
                                                    : std::next(it);
  }
  ASSERT_EQ(before.count("daily p:late:guest"), 1u);
  redis_probe.DeleteKeys("leaderboard:" + prefix_ + "*");
  ASSERT_EQ(
      Recover(arguments, {"--force_leaderboard_recovery", redis.HostFlag()}), 0)
      << RecoveryLog();
  EXPECT_EQ(LeagueState(redis_probe, id), before);

  for (const auto& [cohort, players] : cohorts) {
    const vel::Json standing = documents[cohort]["standing"];
    ASSERT_EQ(standing.Size(), players.size()) << cohort;
    for (std::size_t i = 0; i < players.size(); ++i) {
      EXPECT_EQ(standing[i]["local_account"].GetString(), players[i]);
      EXPECT_EQ(standing[i]["score"].GetDouble(), scores.at(players[i]));
      EXPECT_EQ(standing[i]["move"].GetString(),
                expected_tier.at(players[i]) == 1 ? "up" : "stay");
      EXPECT_EQ(standing[i]["tier"].GetString(),
                kTiers[static_cast<std::size_t>(expected_tier.at(players[i]))]);
    }
  }
}

}  // namespace
}  // namespace plemox_test
