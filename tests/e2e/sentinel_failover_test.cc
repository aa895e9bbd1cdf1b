// The real host behind Redis Sentinel: a primary, a replica and three
// Sentinels of the test's own on loopback; the primary is killed (-9) while
// a client keeps submitting. The server must serve again from the promoted
// replica within 15 s, without a restart, and every score it answered as
// stored before the kill must still be there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/leaderboard_cleanup.h"
#include "support/private_redis.h"
#include "support/private_sentinel.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/submission_load.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr char kMaster[] = "plemox-e2e";
constexpr int kAccounts = 200;

std::string Port(int port) { return std::to_string(port); }

TEST(SentinelFailoverTest, ServesFromThePromotedReplicaAndLosesNothing) {
  PrivateRedis primary;
  PrivateRedis replica({"--replicaof", "127.0.0.1", Port(primary.port()),
                        "--repl-diskless-load", "on-empty-db"});
  PrivateSentinel s1(kMaster, primary.port(), 2);
  PrivateSentinel s2(kMaster, primary.port(), 2);
  PrivateSentinel s3(kMaster, primary.port(), 2);
  ASSERT_TRUE(WaitFor(
      [&] {
        return InfoField(replica.port(), "replication", "master_link_status") ==
               "up";
      },
      seconds(20)));
  // Each Sentinel sees the replica and the two others, so that two can agree
  // and one be elected to run the failover.
  for (PrivateSentinel* sentinel : {&s1, &s2, &s3}) {
    ASSERT_TRUE(WaitFor(
        [&] {
          const auto quorum =
              RedisAt(sentinel->port(), {"SENTINEL", "CKQUORUM", kMaster});
          const auto replicas =
              RedisAt(sentinel->port(), {"SENTINEL", "REPLICAS", kMaster});
          return !quorum.empty() && quorum[0].rfind("OK 3 usable", 0) == 0 &&
                 !replicas.empty();
        },
        seconds(30)))
        << "Sentinel " << sentinel->Address() << " not ready";
  }

  StoreProbe probe;
  const std::string id = "e2esen" + std::to_string(getpid());
  LeaderboardCleanup cleanup(probe, {id});
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + id + "\"]");
  options.flags = {"--redis_sentinels=" + s1.Address() + "," + s2.Address() +
                       "," + s3.Address(),
                   "--redis_sentinel_master=" + std::string(kMaster),
                   "--redis_timeout_ms=1000", "--external_ip=127.0.0.1"};
  RunningServer server(options, "sentinel-failover");
  ASSERT_TRUE(server.host().WaitForLog(
      "Redis primary of master '" + std::string(kMaster) +
      "' (tag='') is 127.0.0.1:" + Port(primary.port())))
      << server.host().Log();

  SubmissionLoad load(server.client(), id, kAccounts);
  ASSERT_TRUE(
      WaitFor([&] { return load.answered() >= kAccounts; }, seconds(30)))
      << server.host().Log();

  // What counts as stored: every answer received before the marker, which
  // the replica has acknowledged. Answers that arrive between the marker and
  // the kill may be lost with the primary (replication is asynchronous) and
  // are not held against the server.
  const std::map<std::string, double> stored = load.Stored();
  ASSERT_TRUE(ReplicaHasEverythingBefore(primary.port()));
  const int answered_before_kill = load.answered();
  primary.Kill();
  const auto killed = steady_clock::now();

  // Serves again: new submissions are answered as stored.
  ASSERT_GE(load.WaitServedAgain(answered_before_kill, killed).count(), 0)
      << "no submission answered within 15 s of the kill\n"
      << server.host().Log();
  load.Stop();

  EXPECT_EQ(RedisAt(replica.port(), {"ROLE"}).at(0), "master");
  EXPECT_NE(
      server.host().Log().find("is 127.0.0.1:" + Port(replica.port()) +
                               " (was 127.0.0.1:" + Port(primary.port()) + ")"),
      std::string::npos)
      << server.host().Log();

  // Every score answered before the kill is still there, as the server
  // reads it from the promoted replica.
  const auto result = server.client().Query(QueryBuilder::Public(
      id, LeaderboardQuery::kAllTime, LeaderboardQuery::Request::kPosition,
      QueryBuilder::AllRange()));
  ASSERT_TRUE(result.ok()) << result.error << result.response.DebugString();
  std::map<std::string, double> ranked;
  for (const auto& record : result.response.leaderboard_query().record()) {
    ranked[record.account_id().local_account()] = record.score();
  }
  ASSERT_EQ(stored.size(), static_cast<size_t>(kAccounts));
  int missing = 0;
  for (const auto& [player, score] : stored) {
    const auto found = ranked.find(player);
    if (found == ranked.end() || found->second < score) {
      ++missing;
      ADD_FAILURE() << player << " answered as stored with " << score
                    << ", now "
                    << (found == ranked.end() ? std::string("absent")
                                              : std::to_string(found->second));
    }
  }
  EXPECT_EQ(missing, 0);
  server.Stop();
}

}  // namespace
}  // namespace plemox_test
