// A league's period end in real time, through two real host processes on a
// Redis and a database of the test's own: a daily schedule falls due a few
// seconds after start-up; 200 players submit through both servers; every
// cohort holds at most its size and every player is in one. The master is
// killed (kill -9) as soon as it logs its rollover (how far it got with the
// moves varies from run to run); the other server, once master, finishes:
// every player moved once (checked against a model), the players who came
// meanwhile placed in cohorts of their new tiers, one document per cohort,
// every record of the league carrying its player's tier in every query
// shape. Two forced period ends then move the absent players of an
// "absent": "down" league down a tier each time, not below the lowest,
// while those of the "stay" league keep theirs; recovery rebuilds both
// leagues, placing the player whose placement the database lacks.
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
  // current period's cohorts (without the spent waiting list).
  std::map<std::string, std::string> LeagueState(StoreProbe& redis,
                                                 const std::string& id) {
    std::map<std::string, std::string> state;
    for (const auto& [field, value] :
         redis.Hash("leaderboard:" + id + ":league_tiers")) {
      state["tier " + field] = value;
    }
    for (const auto& [field, value] :
         redis.Hash("leaderboard:" + id + ":daily:league")) {
      if (field != "wn" && field != "wd") state["daily " + field] = value;
    }
    return state;
  }

  HostProcess::Options ServerOptions(const PrivateRedis& redis,
                                     const std::string& arguments,
                                     const std::string& webhook_url) {
    auto options = HostProcess::Options::WithArguments(arguments);
    options.flags = {redis.HostFlag(),
                     "--external_ip=127.0.0.1",
                     "--mysql_db_name=" + database_,
                     "--period_end_webhook_url=" + webhook_url,
                     "--period_end_webhook_timeout_ms=2000",
                     "--enable_reset_leaderboard_api"};
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

  // Waits until `count` periods of league `id` are finished.
  bool WaitForPeriodsDone(const std::string& id, int count) {
    return WaitFor(
        [&] {
          const auto done =
              probe_.Rows("SELECT COUNT(*) FROM " + database_ +
                          ".league_period_done WHERE league_id = '" + id + "'");
          return !done.empty() && done[0][0] == std::to_string(count);
        },
        seconds(60));
  }

  // Each player's tier in the database (as recovery reads it).
  std::map<std::string, std::string> Tiers(const std::string& id) {
    std::map<std::string, std::string> tiers;
    for (const auto& row :
         probe_.Rows("SELECT member_key, tier FROM " + database_ +
                     ".league_tier WHERE league_id = '" + id + "'")) {
      tiers[row[0].substr(0, row[0].find(':'))] = row[1];
    }
    return tiers;
  }

  // The tiers of d0, d1, ... of the "down" league: one digit each.
  static std::map<std::string, std::string> DownsTiers(
      const std::string& digits) {
    std::map<std::string, std::string> tiers;
    for (std::size_t i = 0; i < digits.size(); ++i) {
      tiers["d" + std::to_string(i)] = digits.substr(i, 1);
    }
    return tiers;
  }

  // Ends the current day of `id` at once (the HTTP forced reset).
  static void ForceReset(int api_port, const std::string& id) {
    vel::Json answer;
    ASSERT_TRUE(vel::Json::Parse(
        HttpRequest(api_port, "PUT",
                    "/v1/leaderboard_schedules/" + id + "_day/")
            .body,
        &answer));
    ASSERT_TRUE(answer["result"].GetBool()) << answer.ToString();
  }
};

TEST_F(LeaguePeriodEndTest, MovesAreWrittenOnceAcrossAKilledMaster) {
  PrivateRedis redis;
  WebhookReceiver receiver([](const std::string&, int) { return 200; });
  const std::string id = prefix_ + "cups";
  const std::string downs = prefix_ + "downs";
  const std::string plain = prefix_ + "plain";
  const auto starts = LocalNow() + posix_time::seconds(30);
  // The "down" league's day ends a little later, by the calendar, on
  // whichever server is master by then.
  const std::string arguments =
      ArgumentsJson(
          {id, downs, plain},
          {ScheduleJson(id, "day", starts),
           ScheduleJson(downs, "day", starts + posix_time::seconds(3))}) +
      ", \"ranking_options\": [{\"leaderboard_id\": \"" + id +
      "\", \"league\": {\"tiers\": [\"bronze\", \"silver\", \"gold\"], "
      "\"cohort_size\": " +
      std::to_string(kCohortSize) +
      ", \"promote\": " + std::to_string(kPromote) +
      ", \"relegate\": " + std::to_string(kRelegate) +
      "}}, {\"leaderboard_id\": \"" + downs +
      "\", \"league\": {\"tiers\": [\"bronze\", \"silver\", \"gold\"], "
      "\"cohort_size\": 3, \"promote\": 1, \"relegate\": 1, \"absent\": "
      "\"down\"}}]";
  // Both start at once (a sanitizer build takes seconds to start each);
  // the one elected master first rolls the day over and is killed.
  HostProcess a(ServerOptions(redis, arguments, receiver.url()));
  HostProcess b(ServerOptions(redis, arguments, receiver.url()));
  ASSERT_TRUE(a.Start() && b.Start());
  HostProcess* master = nullptr;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (HostProcess* host : {&a, &b}) {
          if (host->Log().find("The master has elected") != std::string::npos) {
            master = host;
          }
        }
        return master != nullptr;
      },
      seconds(60)))
      << a.Log() << b.Log();
  HostProcess& first = *master;
  HostProcess& second = master == &a ? b : a;
  for (HostProcess* host : {&first, &second}) {
    ASSERT_TRUE(host->WaitForPort(host->tcp_port(), seconds(60)))
        << host->Log();
  }
  LeaderboardClient clients[2];
  ASSERT_TRUE(clients[0].Connect("127.0.0.1", first.tcp_port()));
  ASSERT_TRUE(clients[1].Connect("127.0.0.1", second.tcp_port()));
  for (auto& client : clients) ASSERT_TRUE(client.Authenticate("league").ok());
  const auto submit = [&](LeaderboardClient& client, const std::string& board,
                          const std::string& player, double score) {
    ASSERT_TRUE(client
                    .SubmitScore(board, QueryBuilder::Account("guest", player),
                                 score,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  };

  // Distinct scores, so that the model's order needs no times.
  std::map<std::string, double> scores;
  for (int i = 0; i < kPlayers; ++i) {
    const std::string player = "p" + std::to_string(i);
    scores[player] = (i * 37) % kPlayers;
    submit(clients[i % 2], id, player, scores[player]);
  }
  // The "down" league: bronze-1 d0 d1 d2, bronze-2 d3 d4 d5; d0 and d3
  // lead their cohorts.
  for (int i = 0; i < 6; ++i) {
    submit(clients[0], downs, "d" + std::to_string(i), i < 3 ? 30 - i : 63 - i);
  }
  submit(clients[0], plain, "p0", 1);
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
  // A newcomer and a promoted player come back during the take-over; a
  // newcomer whose scores are deleted at once (most likely while it waits
  // for its placement) is placed nowhere.
  const std::string promoted = cohorts.begin()->second.front();
  for (const std::string& player : {std::string("late"), promoted}) {
    submit(clients[1], id, player, 1);
  }
  submit(clients[1], id, "gone", 1);
  ASSERT_TRUE(clients[1]
                  .DeleteScores({{id, QueryBuilder::Account("guest", "gone")}})
                  .ok());

  // The other master finishes: one history row per player, nobody twice.
  ASSERT_TRUE(WaitForPeriodsDone(id, 1)) << second.Log();
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

  const auto gone = CohortOf(clients[1], id, "gone");
  ASSERT_TRUE(gone.answered()) << gone.error;
  EXPECT_EQ(gone.response.fail().code(),
            Leaderboard::Response::kFailInvalidParameter);
  EXPECT_NE(gone.response.fail().message().find("in no cohort"),
            std::string::npos)
      << gone.response.DebugString();

  // Every record of the league carries its player's tier, in every shape
  // and numbering, also in a batch; a leaderboard that is no league's
  // records carry none.
  expected_tier["late"] = 0;
  const auto check_tiers = [&](const Query::Response& answer,
                               const std::string& shape) {
    EXPECT_GT(answer.record_size(), 0) << shape;
    for (const auto& record : answer.record()) {
      const std::string& player = record.account_id().local_account();
      EXPECT_EQ(record.tier(),
                kTiers[static_cast<std::size_t>(expected_tier.at(player))])
          << shape << " " << player;
    }
  };
  const auto me = QueryBuilder::Account("guest", promoted);
  const std::pair<std::string, Query::Request> shapes[] = {
      {"whole",
       QueryBuilder::Public(id, Query::kAllTime, Query::Request::kPosition,
                            QueryBuilder::AllRange())},
      {"top",
       QueryBuilder::Public(id, Query::kYesterday, Query::Request::kCompetition,
                            QueryBuilder::TopRange(0, 9))},
      {"around",
       QueryBuilder::Public(id, Query::kAllTime, Query::Request::kDense,
                            QueryBuilder::NearbyRange(-3, 3), me)},
      {"own", QueryBuilder::Public(id, Query::kDaily, Query::Request::kDense,
                                   QueryBuilder::NearbyRange(0, 0), me)},
      {"social",
       QueryBuilder::Social(id, me,
                            {QueryBuilder::Account("guest", "late"),
                             QueryBuilder::Account("guest", "p1"),
                             QueryBuilder::Account("guest", "p2")},
                            Query::kAllTime, Query::Request::kCompetition)},
  };
  std::vector<Query::Request> batch;
  for (const auto& [shape, query] : shapes) {
    const auto result = clients[1].Query(query);
    ASSERT_TRUE(result.ok()) << shape << " " << result.error;
    check_tiers(result.response.leaderboard_query(), shape);
    batch.push_back(query);
  }
  const auto batched = clients[1].QueryBatch(batch);
  ASSERT_TRUE(batched.ok()) << batched.error;
  ASSERT_EQ(batched.response.leaderboard_queries_size(),
            static_cast<int>(batch.size()));
  for (int i = 0; i < batched.response.leaderboard_queries_size(); ++i) {
    check_tiers(batched.response.leaderboard_queries(i),
                "batch " + shapes[i].first);
  }
  const auto plain_answer = clients[1].Query(
      QueryBuilder::Public(plain, Query::kAllTime, Query::Request::kPosition,
                           QueryBuilder::AllRange()));
  ASSERT_TRUE(plain_answer.ok()) << plain_answer.error;
  ASSERT_EQ(plain_answer.response.leaderboard_query().record_size(), 1);
  EXPECT_FALSE(plain_answer.response.leaderboard_query().record(0).has_tier());

  // One document per cohort, with its standing and moves.
  std::map<std::string, vel::Json> documents;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& delivery : receiver.deliveries()) {
          vel::Json body;
          if (vel::Json::Parse(delivery.body, &body) &&
              body.HasMember("cohort_id") &&
              body["leaderboard_id"].GetString() == id) {
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

  // The absent players. On day 2 of the "down" league only d0 (silver now)
  // and d1 (bronze) play. Day 2 ends: d0 (alone in silver-1) moves up, d1
  // (alone in bronze-1) up, d3 (silver, absent) down once, the absent
  // bronze ones stay in the lowest tier; in the "stay" league the absent
  // silver players keep their tier.
  ASSERT_TRUE(WaitForPeriodsDone(downs, 1)) << second.Log();
  EXPECT_EQ(Tiers(downs), DownsTiers("100100"));
  submit(clients[1], downs, "d0", 5);
  submit(clients[1], downs, "d1", 5);
  ForceReset(second.api_port(), downs);
  ForceReset(second.api_port(), id);
  ASSERT_TRUE(WaitForPeriodsDone(downs, 2)) << second.Log();
  ASSERT_TRUE(WaitForPeriodsDone(id, 2)) << second.Log();
  EXPECT_EQ(Tiers(downs), DownsTiers("210000"));
  std::map<std::string, std::string> stayed = Tiers(id);
  EXPECT_EQ(stayed.at(promoted), "2");
  EXPECT_EQ(stayed.at("late"), "1");
  for (const auto& [player, tier] : expected_tier) {
    if (player != promoted && player != "late") {
      EXPECT_EQ(stayed.at(player), std::to_string(tier)) << player;
    }
  }
  // Day 3, nobody plays: each absent player of the "down" league moves one
  // tier down, once.
  ForceReset(second.api_port(), downs);
  ASSERT_TRUE(WaitForPeriodsDone(downs, 3)) << second.Log();
  EXPECT_EQ(Tiers(downs), DownsTiers("100000"));

  // Recovery rebuilds the tiers, the round and the current cohorts as they
  // were, once the placements are in the database; a player whose
  // placement the database lacks (Redis was lost before the drain) is
  // placed again, in the same cohort.
  submit(clients[1], id, "x1", 3);
  NextMillisecond();
  submit(clients[1], id, "x2", 2);
  StoreProbe redis_probe(redis.port());
  ASSERT_TRUE(WaitFor(
      [&] {
        return redis_probe.RedisCall(
                   {"LLEN", "leaderboard:" + id + ":league_log"}) ==
               std::vector<std::string>{"0"};
      },
      seconds(20)));
  second.Stop(SIGTERM);
  const auto before = LeagueState(redis_probe, id);
  const auto before_downs = LeagueState(redis_probe, downs);
  ASSERT_EQ(before.count("daily p:x2:guest"), 1u);
  EXPECT_EQ(before_downs.at("daily round"), "3");
  probe_.Execute("DELETE FROM " + database_ +
                 ".league_placement WHERE member_key = 'x2:guest'");
  redis_probe.DeleteKeys("leaderboard:" + prefix_ + "*");
  ASSERT_EQ(
      Recover(arguments, {"--force_leaderboard_recovery", redis.HostFlag()}), 0)
      << RecoveryLog();
  EXPECT_EQ(LeagueState(redis_probe, id), before);
  EXPECT_EQ(LeagueState(redis_probe, downs), before_downs);
}

}  // namespace
}  // namespace plemox_test
