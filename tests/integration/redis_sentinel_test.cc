// vel::Redis with Sentinel: the default server is whichever primary private
// redis-sentinel processes name, followed through a failover, a demotion
// (READONLY) and a Sentinel that names a replica; and the settings refused.
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/private_redis.h"
#include "support/private_sentinel.h"
#include "support/redis_environment.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/redis/redis.h"

namespace plemox_test {
namespace {

using vel::Redis;
using namespace std::chrono_literals;

constexpr char kMaster[] = "plemox-it";

std::vector<std::string> ReplicaOf(const PrivateRedis& primary) {
  return {"--replicaof", "127.0.0.1", std::to_string(primary.port()),
          "--repl-diskless-load", "on-empty-db"};
}

// The address the Sentinel on `port` gives for kMaster, "" when none.
std::string NamedPrimary(int port) {
  const auto reply =
      RedisAt(port, {"SENTINEL", "get-master-addr-by-name", kMaster});
  return reply.size() == 2 ? reply[0] + ":" + reply[1] : "";
}

class RedisSentinelTest : public testing::Test {
 protected:
  void TearDown() override { Redis::Finalize(); }

  static void Initialize(const std::string& sentinels,
                         const std::string& master = kMaster) {
    FLAGS_redis_host = "127.0.0.1";
    FLAGS_redis_port = 1;  // unused with Sentinels
    FLAGS_redis_password = "";
    FLAGS_redis_servers = "";
    FLAGS_redis_timeout_ms = 1000;
    FLAGS_redis_async_threads_size = 2;
    FLAGS_redis_sentinels = sentinels;
    FLAGS_redis_sentinel_master = master;
    ASSERT_TRUE(Redis::Initialize());
  }

  static void ResetFlags() {
    FLAGS_redis_sentinels = "";
    FLAGS_redis_sentinel_master = "";
  }

  ~RedisSentinelTest() override { ResetFlags(); }
};

TEST_F(RedisSentinelTest, BadSettingsAreRefusedAtStartUp) {
  FLAGS_redis_timeout_ms = 1000;
  FLAGS_redis_async_threads_size = 2;
  FLAGS_redis_host = "127.0.0.1";
  FLAGS_redis_port = 6379;
  FLAGS_redis_servers = "";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"127.0.0.1:26379", ""},          // no master name
      {"", kMaster},                    // a master name without Sentinels
      {"127.0.0.1", kMaster},           // no port
      {"127.0.0.1:0", kMaster},         // port out of range
      {"127.0.0.1:26379,:1", kMaster},  // an empty host
      {" , ", kMaster},                 // nothing but separators
      {"/tmp/sentinel.sock", kMaster},  // Sentinels are reached over TCP
  };
  for (const auto& [sentinels, master] : bad) {
    SCOPED_TRACE(sentinels + " / " + master);
    FLAGS_redis_sentinels = sentinels;
    FLAGS_redis_sentinel_master = master;
    LogCapture log;
    EXPECT_FALSE(Redis::Initialize());
    EXPECT_GE(log.Count(google::GLOG_ERROR, "redis_sentinel"), 1);
    Redis::Finalize();
  }
}

TEST_F(RedisSentinelTest, NoSentinelAnsweringIsAConnectionFailure) {
  PrivateRedis lone;
  PrivateSentinel sentinel("other-name", lone.port(), 1);
  const int dead_port = FreePort();
  Initialize("127.0.0.1:" + std::to_string(dead_port) + "," +
             sentinel.Address());
  LogCapture log;
  EXPECT_EQ(Redis::ZAdd("k", 1, "m"), Redis::kConnectionFailure);
  // One outage line that names what each Sentinel said.
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "no Sentinel knows the primary"), 1);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "does not know the master name"), 1);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, std::to_string(dead_port)), 1);
}

TEST_F(RedisSentinelTest, FollowsTheSentinelThroughAFailover) {
  PrivateRedis primary;
  PrivateRedis replica(ReplicaOf(primary));
  PrivateSentinel sentinel(kMaster, primary.port(), 1);
  ASSERT_TRUE(WaitFor(
      [&] {
        return InfoField(replica.port(), "replication", "master_link_status") ==
               "up";
      },
      20s));
  // The Sentinel learns of the replica from the primary's INFO.
  ASSERT_TRUE(WaitFor(
      [&] {
        return RedisAt(sentinel.port(), {"SENTINEL", "replicas", kMaster})
                   .size() > 0;
      },
      20s));

  LogCapture log;
  Initialize(sentinel.Address());
  ASSERT_EQ(Redis::ZAdd("ranking", 10, "before"), Redis::kSuccess);
  EXPECT_EQ(RedisAt(primary.port(), {"ZSCORE", "ranking", "before"}),
            std::vector<std::string>{"10"});
  EXPECT_EQ(log.Count(google::GLOG_INFO,
                      "Redis primary of master '" + std::string(kMaster) +
                          "' (tag='') is 127.0.0.1:" +
                          std::to_string(primary.port()) + ", as"),
            1);
  ASSERT_TRUE(WaitFor(
      [&] {
        return RedisAt(replica.port(), {"ZSCORE", "ranking", "before"}) ==
               std::vector<std::string>{"10"};
      },
      10s));

  // Refused (NOGOODSLAVE) until the Sentinel has checked the replica.
  ASSERT_TRUE(WaitFor(
      [&] {
        return RedisAt(sentinel.port(), {"SENTINEL", "FAILOVER", kMaster}) ==
               std::vector<std::string>{"OK"};
      },
      30s));
  // The roles have changed: the Sentinel names the replica, which is a
  // primary now, and the old primary follows it.
  ASSERT_TRUE(WaitFor(
      [&] {
        return NamedPrimary(sentinel.port()) ==
                   "127.0.0.1:" + std::to_string(replica.port()) &&
               RedisAt(replica.port(), {"ROLE"}).at(0) == "master" &&
               InfoField(primary.port(), "replication", "master_port") ==
                   std::to_string(replica.port());
      },
      20s));
  // The pooled connection to the old primary was closed or answers READONLY;
  // either way the very first call lands on the new primary.
  EXPECT_EQ(Redis::ZAdd("ranking", 20, "after"), Redis::kSuccess);
  EXPECT_EQ(RedisAt(replica.port(), {"ZSCORE", "ranking", "after"}),
            std::vector<std::string>{"20"});
  double score = 0;
  EXPECT_EQ(Redis::ZScore("ranking", "before", &score), Redis::kSuccess);
  EXPECT_EQ(score, 10);
  EXPECT_EQ(
      log.Count(google::GLOG_INFO,
                "is 127.0.0.1:" + std::to_string(replica.port()) +
                    " (was 127.0.0.1:" + std::to_string(primary.port()) + ")"),
      1);
}

// A primary demoted behind the client's back answers READONLY on the
// connection the pool keeps. While the Sentinel still names it, calls fail as
// unreachable; once the Sentinel names the new primary, the refused write is
// repeated there within the same call.
TEST_F(RedisSentinelTest, ReadOnlyAnswerSendsTheWriteToTheNewPrimary) {
  PrivateRedis old_primary;
  PrivateRedis new_primary;
  PrivateSentinel sentinel(kMaster, old_primary.port(), 1);
  Initialize(sentinel.Address());
  ASSERT_EQ(Redis::ZAdd("z", 1, "a"), Redis::kSuccess);

  // Demoted, and the Sentinel not told yet.
  ASSERT_EQ(RedisAt(old_primary.port(), {"REPLICAOF", "127.0.0.1",
                                         std::to_string(new_primary.port())}),
            std::vector<std::string>{"OK"});
  {
    LogCapture log;
    EXPECT_EQ(Redis::ZAdd("z", 2, "b"), Redis::kConnectionFailure);
    EXPECT_EQ(log.Count(google::GLOG_ERROR, "not a primary"), 1);
  }
  EXPECT_NE(InfoField(old_primary.port(), "errorstats", "errorstat_READONLY"),
            "");

  // The Sentinel now names the new primary, as after a failover.
  ASSERT_EQ(RedisAt(sentinel.port(), {"SENTINEL", "REMOVE", kMaster}),
            std::vector<std::string>{"OK"});
  ASSERT_EQ(
      RedisAt(sentinel.port(), {"SENTINEL", "MONITOR", kMaster, "127.0.0.1",
                                std::to_string(new_primary.port()), "1"}),
      std::vector<std::string>{"OK"});
  ASSERT_EQ(NamedPrimary(sentinel.port()),
            "127.0.0.1:" + std::to_string(new_primary.port()));
  ASSERT_TRUE(WaitFor(
      [&] { return Redis::ZAdd("z", 3, "c") == Redis::kSuccess; }, 10s));
  EXPECT_EQ(RedisAt(new_primary.port(), {"ZSCORE", "z", "c"}),
            std::vector<std::string>{"3"});

  // Demote the new primary too, with the pool holding a live connection to
  // it and the Sentinel already naming the next one: the very first call
  // succeeds there, and the demoted server never stored the write.
  PrivateRedis third;
  ASSERT_EQ(RedisAt(sentinel.port(), {"SENTINEL", "REMOVE", kMaster}),
            std::vector<std::string>{"OK"});
  ASSERT_EQ(
      RedisAt(sentinel.port(), {"SENTINEL", "MONITOR", kMaster, "127.0.0.1",
                                std::to_string(third.port()), "1"}),
      std::vector<std::string>{"OK"});
  ASSERT_EQ(RedisAt(new_primary.port(),
                    {"REPLICAOF", "127.0.0.1", std::to_string(third.port())}),
            std::vector<std::string>{"OK"});
  const std::string refused_before =
      InfoField(new_primary.port(), "errorstats", "errorstat_READONLY");
  EXPECT_EQ(Redis::ZAdd("z", 4, "d"), Redis::kSuccess);
  EXPECT_EQ(RedisAt(third.port(), {"ZSCORE", "z", "d"}),
            std::vector<std::string>{"4"});
  EXPECT_NE(InfoField(new_primary.port(), "errorstats", "errorstat_READONLY"),
            refused_before)
      << "the write did not meet the READONLY answer";
}

}  // namespace
}  // namespace plemox_test
