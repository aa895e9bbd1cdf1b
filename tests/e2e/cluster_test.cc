// The real host on the test Redis Cluster, one scenario sharing its hosts:
// leaderboards on all three shards answer every request form exactly as a
// second host on the single test Redis answers it; a primary is killed
// (-9) under load and the server serves its leaderboard again from the
// promoted replica within 15 s, losing nothing that a replica had
// acknowledged; then the rankings are flushed from the cluster and rebuilt
// from MariaDB by recovery mode, as they were. The test holds the cluster
// alone (it takes a node down) and restores the node.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/own_database_test.h"
#include "support/redis_cluster_probe.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/submission_load.h"
#include "support/test_env.h"
#include "vel/redis/redis_cluster_slot.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using Probe = RedisClusterProbe;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr int kClusterE2eLoadAccounts = 100;
const char* const kClusterE2eTimespans[] = {"alltime",  "daily",     "weekly",
                                            "lastweek", "yesterday", "monthly",
                                            "lastmonth"};

// A request, sent alike to each host.
using ClusterE2eRequest =
    std::function<LeaderboardClient::Result(LeaderboardClient&)>;

// An answer as text, without what two hosts answer differently by design:
// the request id, and the request time a reset answers.
std::string ClusterE2eAnswer(const LeaderboardClient::Result& result) {
  if (!result.answered()) return "not answered: " + result.error;
  Leaderboard::Response response = result.response;
  response.clear_request_uuid();
  if (response.has_leaderboard_reset()) {
    response.mutable_leaderboard_reset()->clear_schedule_date_time();
  }
  return response.ShortDebugString();
}

// The requests of the comparison on leaderboards `ids`: submissions of every
// type (equal scores, a rank asked with the submission), every query form
// in every numbering, a deletion, a reset request, and queries after them.
std::vector<ClusterE2eRequest> ClusterE2eRequests(
    const std::vector<std::string>& ids) {
  using Request = LeaderboardQuery::Request;
  std::vector<ClusterE2eRequest> requests;
  const auto account = [](const std::string& player) {
    return QueryBuilder::Account("guest", player);
  };
  const auto submit = [&](const std::string& id, const std::string& player,
                          double score, ScoreSubmission::Type type) {
    requests.push_back([=](LeaderboardClient& client) {
      LeaderboardClient::Submission submission;
      submission.leaderboard_id = id;
      submission.account = account(player);
      submission.score = score;
      submission.type = type;
      submission.rank = LeaderboardClient::RankLookup{Request::kCompetition,
                                                      LeaderboardQuery::kDaily};
      return client.SubmitScore(submission);
    });
  };
  const auto query = [&](const Request& request) {
    requests.push_back(
        [request](LeaderboardClient& client) { return client.Query(request); });
  };
  const auto query_every_form = [&](const std::string& id,
                                    LeaderboardQuery::TimeSpan timespan) {
    for (const auto numbering :
         {Request::kPosition, Request::kCompetition, Request::kDense}) {
      query(QueryBuilder::Public(id, timespan, numbering,
                                 QueryBuilder::AllRange()));
      query(QueryBuilder::Public(id, timespan, numbering,
                                 QueryBuilder::TopRange(1, 3)));
      query(QueryBuilder::Public(id, timespan, numbering,
                                 QueryBuilder::NearbyRange(-1, 1),
                                 account("d")));
      query(QueryBuilder::Social(
          id, account("d"),
          {account("c"), account("a"), account("g"), account("nobody")},
          timespan, numbering));
    }
  };

  for (const std::string& id : ids) {
    // Equal scores in falling name order: the earlier submission ranks
    // first, and within one millisecond the greater name does too, so both
    // hosts order them alike whatever their clocks.
    for (const char* player : {"e", "d", "c"}) {
      submit(id, player, 100, ScoreSubmission::kHighScore);
    }
    submit(id, "f", 50, ScoreSubmission::kHighScore);
    submit(id, "f", 40, ScoreSubmission::kHighScore);  // no new record
    submit(id, "b", 30, ScoreSubmission::kAdd);
    submit(id, "b", 30, ScoreSubmission::kAdd);
    submit(id, "a", 10, ScoreSubmission::kSubtract);
    submit(id, "g", 75.5, ScoreSubmission::kHighScore);
    query_every_form(id, LeaderboardQuery::kAllTime);
    query_every_form(id, LeaderboardQuery::kDaily);
  }
  for (const std::string& id : ids) {
    requests.push_back([id, account](LeaderboardClient& client) {
      return client.DeleteScores({{id, account("c")}, {id, account("nobody")}});
    });
    query_every_form(id, LeaderboardQuery::kWeekly);
  }
  // A reset request rolls the periods of one leaderboard over. (A second
  // one within the same second is refused, on one Redis as on a cluster.)
  requests.push_back([id = ids[1]](LeaderboardClient& client) {
    return client.RequestReset(id);
  });
  query_every_form(ids[1], LeaderboardQuery::kYesterday);
  query_every_form(ids[1], LeaderboardQuery::kDaily);
  query_every_form(ids[1], LeaderboardQuery::kAllTime);
  return requests;
}

// A member ranking key without the sub-second digits of its time prefix,
// which the database does not keep.
std::string ClusterE2eSeconds(const std::string& member) {
  if (member.size() < 14 || member[13] != ':') return member;
  return member.substr(0, 10) + "***" + member.substr(13);
}

// What the node on `port` holds for ranking `key` (members, member index,
// dense set), sub-second digits dropped, in a fixed order: equal scores of
// one second may change places in a recovery.
std::vector<std::string> ClusterE2eRanking(int port, const std::string& key) {
  StoreProbe redis(port);
  std::vector<std::string> items;
  const auto text = [](double score) {
    std::ostringstream out;
    out.precision(17);
    out << score;
    return out.str();
  };
  for (const auto& [member, score] : redis.SortedSet(key)) {
    items.push_back("member " + ClusterE2eSeconds(member) + " " + text(score));
  }
  for (const auto& [field, value] : redis.Hash(key + ":timestamp")) {
    items.push_back("index " + field + " " + ClusterE2eSeconds(value));
  }
  for (const auto& [member, score] : redis.SortedSet(key + ":dense")) {
    items.push_back("dense " + member + " " + text(score));
  }
  std::sort(items.begin(), items.end());
  return items;
}

// The primary that serves the keys of leaderboard `id` in cluster mode.
int ClusterE2eOwner(const std::string& id) {
  return Probe::OwnerOf(vel::RedisClusterSlot(id));
}

class ClusterE2eTest : public OwnDatabaseTest {
 protected:
  ClusterE2eTest() : OwnDatabaseTest("e2eclu") {}

  void SetUp() override {
    lease_ = std::make_unique<Probe::Lease>(true);
    ASSERT_TRUE(lease_->ok()) << "cannot lock the test Redis Cluster alone";
    ASSERT_TRUE(WaitFor(Probe::Healthy, seconds(30)))
        << "the test Redis Cluster is not up: scripts/services.sh "
           "start-cluster";
    OwnDatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    single_database_ = prefix_ + "single_db";
    ASSERT_EQ(probe_.Execute("CREATE DATABASE " + single_database_), "");
  }

  void TearDown() override {
    if (prefix_.empty()) return;  // nothing was made
    if (!Probe::Healthy()) {
      EXPECT_TRUE(Probe::Restore());
    }
    for (const int port : Probe::Primaries()) {
      StoreProbe(port).DeleteKeys("*" + prefix_ + "*");
    }
    probe_.Execute("DROP DATABASE IF EXISTS " + single_database_);
    OwnDatabaseTest::TearDown();
  }

  // The host on the cluster, with the test's database.
  HostProcess::Options ClusterHost(const std::string& arguments,
                                   const std::vector<std::string>& flags) {
    auto options = HostProcess::Options::WithArguments(arguments);
    options.flags = {"--redis_cluster_nodes=" + RedisClusterNodes(),
                     "--redis_timeout_ms=1000", "--external_ip=127.0.0.1",
                     "--mysql_db_name=" + database_};
    options.flags.insert(options.flags.end(), flags.begin(), flags.end());
    return options;
  }

  std::unique_ptr<Probe::Lease> lease_;
  std::string single_database_;
};

TEST_F(ClusterE2eTest, AnswersAsOneRedisSurvivesAPrimaryKillAndRecovers) {
  const std::vector<int> primaries = Probe::Primaries();
  ASSERT_EQ(primaries.size(), 3u);
  // One leaderboard on each shard, and the one under load on the first.
  std::vector<std::string> ids;
  for (const int port : primaries) {
    ids.push_back(Probe::KeyServedBy(port, prefix_ + "s"));
    ASSERT_EQ(ClusterE2eOwner(ids.back()), port) << ids.back();
  }
  const std::string load_id = Probe::KeyServedBy(primaries[0], prefix_ + "f");
  ASSERT_FALSE(load_id.empty());
  std::string arguments = "\"leaderboard_ids\": [\"" + load_id + "\"";
  for (const std::string& id : ids) arguments += ", \"" + id + "\"";
  arguments += "]";

  RunningServer cluster(ClusterHost(arguments, {}), "cluster-e2e");
  ASSERT_TRUE(cluster.host().WaitForLog("Redis keys carry the leaderboard id"))
      << cluster.host().Log();

  // The same requests to a host on the single Redis (with a database of its
  // own): equal answers, request by request.
  {
    auto options = HostProcess::Options::WithArguments(arguments);
    options.flags = {"--mysql_db_name=" + single_database_};
    RunningServer single(options, "cluster-e2e-single");
    const std::vector<ClusterE2eRequest> requests = ClusterE2eRequests(ids);
    int records = 0;
    for (std::size_t n = 0; n < requests.size(); ++n) {
      const auto on_cluster = requests[n](cluster.client());
      const auto on_single = requests[n](single.client());
      ASSERT_TRUE(on_cluster.answered()) << n << ": " << on_cluster.error;
      EXPECT_FALSE(on_cluster.response.has_fail())
          << n << ": " << on_cluster.response.ShortDebugString();
      ASSERT_EQ(ClusterE2eAnswer(on_cluster), ClusterE2eAnswer(on_single))
          << "request " << n;
      records += on_cluster.response.leaderboard_query().record_size();
    }
    EXPECT_GT(records, 300);  // the queries did find the rankings
    single.Stop();
  }
  // The ties and the deletion as the answers should show them, on the
  // cluster: c deleted, d and e share the top in competition numbering.
  const auto ranked = cluster.client().Query(QueryBuilder::Public(
      ids[2], LeaderboardQuery::kAllTime,
      LeaderboardQuery::Request::kCompetition, QueryBuilder::AllRange()));
  ASSERT_TRUE(ranked.ok()) << ranked.error;
  std::vector<std::string> order;
  for (const auto& record : ranked.response.leaderboard_query().record()) {
    order.push_back(record.account_id().local_account() + "#" +
                    std::to_string(record.rank()));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"e#1", "d#1", "g#3", "b#4", "f#5",
                                             "a#6"}));

  // A primary killed under load: what a replica acknowledged survives, and
  // the leaderboard is served again from the promoted replica.
  {
    const int victim = ClusterE2eOwner(load_id);
    ASSERT_NE(victim, 0);
    const int pid = Probe::PidOf(victim);
    ASSERT_GT(pid, 0);
    SubmissionLoad load(cluster.client(), load_id, kClusterE2eLoadAccounts);
    ASSERT_TRUE(
        WaitFor([&] { return load.answered() >= kClusterE2eLoadAccounts; },
                seconds(30)))
        << cluster.host().Log();
    const std::map<std::string, double> stored = load.Stored();
    // The marker carries the leaderboard's hash tag: it is written on the
    // primary that serves the leaderboard.
    ASSERT_TRUE(ReplicaHasEverythingBefore(
        victim, "plemox-failover-marker{" + load_id + "}"));
    const int answered_before_kill = load.answered();
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    const auto killed = steady_clock::now();
    ASSERT_GE(load.WaitServedAgain(answered_before_kill, killed).count(), 0)
        << "no submission answered within 15 s of the kill of the primary on "
        << victim << "\n"
        << cluster.host().Log();
    load.Stop();
    EXPECT_NE(ClusterE2eOwner(load_id), victim);

    const auto result = cluster.client().Query(QueryBuilder::Public(
        load_id, LeaderboardQuery::kAllTime,
        LeaderboardQuery::Request::kPosition, QueryBuilder::AllRange()));
    ASSERT_TRUE(result.ok()) << result.error;
    std::map<std::string, double> now;
    for (const auto& record : result.response.leaderboard_query().record()) {
      now[record.account_id().local_account()] = record.score();
    }
    ASSERT_EQ(stored.size(), static_cast<std::size_t>(kClusterE2eLoadAccounts));
    int missing = 0;
    for (const auto& [player, score] : stored) {
      const auto found = now.find(player);
      if (found == now.end() || found->second < score) ++missing;
    }
    EXPECT_EQ(missing, 0) << "answered as stored before the kill, now lost";
    ASSERT_TRUE(Probe::Restore()) << "the killed node did not rejoin";
  }
  cluster.Stop();  // every database write has finished

  // Recovery into the cluster: the rankings flushed, rebuilt from MariaDB.
  std::map<std::string, std::vector<std::string>> before;
  for (const std::string& id : ids) {
    const int owner = ClusterE2eOwner(id);
    for (const char* timespan : kClusterE2eTimespans) {
      before[id + ":" + timespan] =
          ClusterE2eRanking(owner, "leaderboard:{" + id + "}:" + timespan);
    }
    StoreProbe(owner).DeleteKeys("leaderboard:{" + id + "}*");
    EXPECT_TRUE(
        ClusterE2eRanking(owner, "leaderboard:{" + id + "}:alltime").empty());
  }
  const auto& alltime = before[ids[0] + ":alltime"];
  ASSERT_EQ(std::count_if(alltime.begin(), alltime.end(),
                          [](const std::string& item) {
                            return item.rfind("member ", 0) == 0;
                          }),
            6);
  ASSERT_FALSE(before[ids[1] + ":yesterday"].empty());
  HostProcess recovery(
      ClusterHost("", {"--force_leaderboard_recovery",
                       "--recovery_target_leaderboard_ids=" + ids[0] + "," +
                           ids[1] + "," + ids[2]}));
  ASSERT_TRUE(recovery.Start());
  ASSERT_EQ(ExitCode(recovery.WaitForExit(seconds(60))), 0) << recovery.Log();
  EXPECT_NE(recovery.Log().find("Result: The data has been restored."),
            std::string::npos)
      << recovery.Log();
  for (const auto& [ranking, expected] : before) {
    const std::string id = ranking.substr(0, ranking.find(':'));
    const std::string timespan = ranking.substr(ranking.find(':') + 1);
    EXPECT_EQ(ClusterE2eRanking(ClusterE2eOwner(id),
                                "leaderboard:{" + id + "}:" + timespan),
              expected)
        << ranking;
  }
}

// A league on the cluster: placement and cohort reads run in the
// leaderboard's slot (every league key carries its hash tag).
TEST_F(ClusterE2eTest, LeagueCohortsLiveInTheLeaderboardsSlot) {
  const std::string id = prefix_ + "cups";
  const std::string arguments =
      "\"leaderboard_ids\": [\"" + id +
      "\"], \"reset_schedules\": [{\"leaderboard_id\": \"" + id +
      "\", \"period\": \"week\", \"interval\": 1, \"starts\": "
      "\"2098-01-05 00:00:00\", \"ends\": \"2099-01-01 00:00:00\"}], "
      "\"ranking_options\": [{\"leaderboard_id\": \"" +
      id +
      "\", \"league\": {\"tiers\": [\"bronze\", \"silver\"], "
      "\"cohort_size\": 2, \"promote\": 1, \"relegate\": 1}}]";
  RunningServer cluster(ClusterHost(arguments, {}), "cluster-league");
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(cluster.client()
                    .SubmitScore(
                        id,
                        QueryBuilder::Account("guest", "p" + std::to_string(i)),
                        10 - i, Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }
  const char* const cohorts[] = {"bronze-1", "bronze-1", "bronze-2", "bronze-2",
                                 "bronze-3"};
  for (int i = 0; i < 5; ++i) {
    auto query = QueryBuilder::Public(
        id, LeaderboardQuery::kWeekly, LeaderboardQuery::Request::kPosition,
        QueryBuilder::AllRange(),
        QueryBuilder::Account("guest", "p" + std::to_string(i)));
    query.set_cohort(true);
    const auto result = cluster.client().Query(query);
    ASSERT_TRUE(result.ok()) << result.error << cluster.host().Log();
    EXPECT_EQ(result.response.leaderboard_query().cohort_id(), cohorts[i]);
    EXPECT_EQ(result.response.leaderboard_query().record(0).rank(), 1);
  }
}

}  // namespace
}  // namespace plemox_test
