// vel::Redis and RedisPipeline over the test Redis Cluster: commands reach
// the node of their key on every shard, keys of two slots are refused
// unsent, a slot in migration is followed through ASK and then MOVED, and
// scripts and batches run through a pipeline of their own.
#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/private_sentinel.h"
#include "support/redis_cluster_probe.h"
#include "support/redis_environment.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_cluster_slot.h"
#include "vel/redis/redis_pipeline.h"
#include "vel/redis/redis_script.h"

namespace plemox_test {
namespace {

using vel::Redis;
using vel::RedisPipeline;
using vel::RedisValue;
using Probe = RedisClusterProbe;

class RedisClusterTest : public testing::Test {
 protected:
  void SetUp() override {
    lease_ = std::make_unique<Probe::Lease>(exclusive_);
    ASSERT_TRUE(lease_->ok())
        << "cannot lock the test Redis Cluster (is it started? a test that "
           "takes a node down holds it for long?)";
    // A test that took a node down restores it; wait for it to rejoin.
    ASSERT_TRUE(WaitFor(Probe::Healthy, std::chrono::seconds(30)))
        << "the test Redis Cluster is not up: scripts/services.sh "
           "start-cluster";
    FLAGS_redis_host = "127.0.0.1";
    FLAGS_redis_port = 1;  // unused with a cluster
    FLAGS_redis_servers = "";
    FLAGS_redis_sentinels = "";
    FLAGS_redis_timeout_ms = 1000;
    FLAGS_redis_async_threads_size = 2;
    FLAGS_redis_cluster_nodes = RedisClusterNodes();
    ASSERT_TRUE(Redis::Initialize());
    prefix_ = "redis_cluster_test:" + std::to_string(::getpid()) + ":" +
              testing::UnitTest::GetInstance()->current_test_info()->name() +
              ":";
  }
  void TearDown() override {
    for (const std::string& key : keys_) Redis::Del(key);
    Redis::Finalize();
  }
  // A key of this test that the primary on `port` serves (deleted after the
  // test).
  std::string KeyOn(int port, const std::string& name) {
    const std::string key = Probe::KeyServedBy(port, prefix_ + name);
    EXPECT_FALSE(key.empty()) << "no key found for the node on " << port;
    keys_.push_back(key);
    return key;
  }
  std::string Tagged(const std::string& key, const std::string& suffix) {
    keys_.push_back("{" + key + "}" + suffix);
    return keys_.back();
  }
  static std::string Id(int port) {
    for (const Probe::Node& node : Probe::Nodes()) {
      if (node.port == port) return node.id;
    }
    return std::string();
  }

  // Whether the test takes a node down (and so needs the cluster alone).
  bool exclusive_ = false;
  gflags::FlagSaver saver_;
  std::unique_ptr<Probe::Lease> lease_;
  std::string prefix_;
  std::vector<std::string> keys_;
};

TEST_F(RedisClusterTest, CommandsReachTheNodeOfTheirKeyOnEveryShard) {
  EXPECT_TRUE(Redis::IsCluster());
  const std::vector<int> primaries = Probe::Primaries();
  ASSERT_EQ(3u, primaries.size());
  std::vector<std::string> keys;
  for (const int port : primaries) {
    const std::string key = KeyOn(port, "z");
    keys.push_back(key);
    ASSERT_EQ(Redis::kSuccess, Redis::ZAdd(key, 10, "alice")) << key;
    ASSERT_EQ(Redis::kSuccess, Redis::ZAddMany(key, {{"bob", 20}}));
    double score = 0;
    EXPECT_EQ(Redis::kSuccess, Redis::ZScore(key, "alice", &score));
    EXPECT_EQ(10, score);
    int64_t rank = -1;
    EXPECT_EQ(Redis::kSuccess, Redis::ZRevRank(key, "alice", &rank));
    EXPECT_EQ(1, rank);
    // Stored on the node that serves the key.
    EXPECT_EQ(std::vector<std::string>{"10"},
              RedisAt(port, {"ZSCORE", key, "alice"}));
    // Keys that share a hash tag share the node.
    const std::string copy = Tagged(key, ":copy");
    EXPECT_EQ(Redis::kSuccess, Redis::Rename(key, copy));
    bool exists = false;
    EXPECT_EQ(Redis::kSuccess, Redis::Exists(copy, &exists));
    EXPECT_TRUE(exists);
    EXPECT_EQ(Redis::kSuccess, Redis::Rename(copy, key));
  }
  // Keys of two slots: refused, never sent (the source is still there).
  EXPECT_EQ(Redis::kError, Redis::Rename(keys[0], keys[1]));
  int64_t count = 0;
  EXPECT_EQ(Redis::kSuccess, Redis::ZCard(keys[0], &count));
  EXPECT_EQ(2, count);
  EXPECT_EQ(Redis::kSuccess, Redis::Ping());

  // Asynchronous calls take the same routes.
  std::promise<std::string> got;
  Redis::SetAsync(
      keys[2] + "s", "v", Redis::kExpireSeconds, 60, Redis::kSetAlways,
      [&](Redis::Result set) {
        EXPECT_EQ(Redis::kSuccess, set);
        Redis::GetAsync(
            keys[2] + "s", [&](Redis::Result result, const std::string& value) {
              got.set_value(Redis::ResultName(result) + (":" + value));
            });
      });
  keys_.push_back(keys[2] + "s");
  auto future = got.get_future();
  ASSERT_EQ(std::future_status::ready,
            future.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ("kSuccess:v", future.get());
}

TEST_F(RedisClusterTest, AMigratingSlotIsFollowedThroughAskThenMoved) {
  const std::vector<int> primaries = Probe::Primaries();
  ASSERT_EQ(3u, primaries.size());
  const int source = primaries[0];
  const int target = primaries[1];
  const std::string key = KeyOn(source, "m");
  const std::string fresh = Tagged(key, ":new");
  const std::string slot = std::to_string(vel::RedisClusterSlot(key));
  ASSERT_EQ(Redis::kSuccess, Redis::HSet(key, "f", "old node"));
  // Whatever happens below, the slot ends up served by the target alone,
  // so that the other tests find a whole cluster.
  struct Finish {
    ~Finish() {
      for (const int port : Probe::Primaries()) {
        RedisAt(port, {"CLUSTER", "SETSLOT", slot, "NODE", target_id});
      }
    }
    std::string slot;
    std::string target_id;
  } finish{slot, Id(target)};

  ASSERT_EQ(
      std::vector<std::string>{"OK"},
      RedisAt(target, {"CLUSTER", "SETSLOT", slot, "IMPORTING", Id(source)}));
  ASSERT_EQ(
      std::vector<std::string>{"OK"},
      RedisAt(source, {"CLUSTER", "SETSLOT", slot, "MIGRATING", Id(target)}));
  ASSERT_EQ(std::vector<std::string>{"OK"},
            RedisAt(source, {"MIGRATE", "127.0.0.1", std::to_string(target), "",
                             "0", "5000", "KEYS", key}));
  // The source no longer has the key and answers ASK: read on the target.
  std::string value;
  EXPECT_EQ(Redis::kSuccess, Redis::HGet(key, "f", &value));
  EXPECT_EQ("old node", value);
  // A key the source never had is written on the target too.
  EXPECT_EQ(Redis::kSuccess, Redis::HSet(fresh, "f", "new node"));

  for (const int port : {target, source, primaries[2]}) {
    ASSERT_EQ(std::vector<std::string>{"OK"},
              RedisAt(port, {"CLUSTER", "SETSLOT", slot, "NODE", Id(target)}));
  }
  // The client's map still names the source, which now answers MOVED.
  value.clear();
  EXPECT_EQ(Redis::kSuccess, Redis::HGet(key, "f", &value));
  EXPECT_EQ("old node", value);
  EXPECT_EQ(Redis::kSuccess, Redis::HGet(fresh, "f", &value));
  EXPECT_EQ("new node", value);
  EXPECT_EQ(std::vector<std::string>{"new node"},
            RedisAt(target, {"HGET", fresh, "f"}));
  EXPECT_EQ(Redis::kSuccess, Redis::HDel(fresh, "f"));
}

TEST(RedisClusterSettingsTest, BadSettingsAreRefusedAtStartUp) {
  gflags::FlagSaver saver;
  FLAGS_redis_host = "127.0.0.1";
  FLAGS_redis_port = 6379;
  FLAGS_redis_servers = "";
  FLAGS_redis_timeout_ms = 1000;
  FLAGS_redis_async_threads_size = 1;
  FLAGS_redis_sentinel_master = "";
  FLAGS_redis_sentinels = "";
  for (const char* bad : {"127.0.0.1", "127.0.0.1:0", " , ",
                          "127.0.0.1:7000,/tmp/redis.sock", "host:70000"}) {
    FLAGS_redis_cluster_nodes = bad;
    EXPECT_FALSE(Redis::Initialize()) << bad;
  }
  // A cluster fails over by itself: not with Sentinels as well.
  FLAGS_redis_cluster_nodes = RedisClusterNodes();
  FLAGS_redis_sentinels = "127.0.0.1:26379";
  FLAGS_redis_sentinel_master = "m";
  EXPECT_FALSE(Redis::Initialize());
  FLAGS_redis_sentinels = "";
  FLAGS_redis_sentinel_master = "";
  EXPECT_TRUE(Redis::Initialize());
  Redis::Finalize();
}

class RedisClusterFailoverTest : public RedisClusterTest {
 protected:
  RedisClusterFailoverTest() { exclusive_ = true; }
};

TEST_F(RedisClusterFailoverTest,
       AKilledPrimaryIsReplacedByItsReplicaWithin15s) {
  const std::vector<int> primaries = Probe::Primaries();
  ASSERT_EQ(3u, primaries.size());
  const int victim = primaries[0];
  int replica = 0;
  const std::string victim_id = Id(victim);
  for (const Probe::Node& node : Probe::Nodes()) {
    if (!node.primary && node.master_id == victim_id) replica = node.port;
  }
  ASSERT_NE(0, replica);
  const std::string key = KeyOn(victim, "f");
  const std::string other = KeyOn(primaries[1], "f");
  ASSERT_EQ(Redis::kSuccess, Redis::ZAdd(key, 1, "before"));
  ASSERT_EQ(Redis::kSuccess, Redis::ZAdd(other, 1, "before"));
  // The replica has everything the primary acknowledged.
  ASSERT_TRUE(WaitFor([&] {
    const std::string done =
        InfoField(replica, "replication", "slave_repl_offset");
    return !done.empty() &&
           done == InfoField(victim, "replication", "master_repl_offset");
  }));
  const int pid = Probe::PidOf(victim);
  ASSERT_GT(pid, 0);
  // Whatever happens below, the node comes back (as a replica).
  struct Restore {
    ~Restore() { EXPECT_TRUE(Probe::Restore()); }
  } restore;
  ASSERT_EQ(0, ::kill(pid, SIGKILL));
  const auto killed = std::chrono::steady_clock::now();
  // Writes to the failed shard fail until its replica serves, then succeed
  // without a restart of the client.
  int failures = 0;
  const bool served = WaitFor(
      [&] {
        if (Redis::ZAdd(key, 2, "after") == Redis::kSuccess) return true;
        ++failures;
        return false;
      },
      std::chrono::seconds(15));
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - killed)
          .count();
  ASSERT_TRUE(served) << "no write succeeded within 15 s of the kill";
  EXPECT_GT(failures, 0) << "the kill was not noticed";
  RecordProperty("seconds_to_serve_again", std::to_string(seconds));
  // The node the probe asks may learn of the promotion a moment after the
  // replica told the client (cluster gossip): wait for its view.
  const int slot = vel::RedisClusterSlot(key);
  EXPECT_TRUE(WaitFor([&] { return Probe::OwnerOf(slot) == replica; },
                      std::chrono::seconds(5)))
      << "the slot's owner is " << Probe::OwnerOf(slot) << ", not " << replica;
  double score = 0;
  EXPECT_EQ(Redis::kSuccess, Redis::ZScore(key, "before", &score));
  EXPECT_EQ(1, score);
  EXPECT_EQ(Redis::kSuccess, Redis::ZAdd(other, 2, "after"));
}

// Answers of a pipeline's commands, in the order the callbacks ran.
class Collected {
 public:
  RedisPipeline::Callback Add(int index) {
    return [this, index](Redis::Result result, RedisValue reply, bool) {
      std::lock_guard<std::mutex> lock(mutex_);
      order_.push_back(index);
      answers_.emplace_back(result, std::move(reply));
    };
  }
  bool WaitFor(std::size_t count) {
    return plemox_test::WaitFor([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      return order_.size() >= count;
    });
  }
  std::vector<int> order() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }
  std::pair<Redis::Result, RedisValue> at(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_[i];
  }

 private:
  std::mutex mutex_;
  std::vector<int> order_;
  std::vector<std::pair<Redis::Result, RedisValue>> answers_;
};

TEST_F(RedisClusterTest, ScriptsAndBatchesThroughAPipeline) {
  auto io = std::make_shared<boost::asio::io_context>();
  auto guard = boost::asio::make_work_guard(*io);
  std::thread thread([io] { io->run(); });
  const vel::RedisScript script("cluster_test",
                                "redis.call('ZADD', KEYS[1], ARGV[1], ARGV[2]) "
                                "redis.call('HSET', KEYS[2], ARGV[2], ARGV[1]) "
                                "return redis.call('ZCARD', KEYS[1])");
  {
    RedisPipeline pipeline(io, "", 2, {script.LoadCommand()});
    const std::vector<int> primaries = Probe::Primaries();
    ASSERT_EQ(3u, primaries.size());
    std::vector<std::string> sets;
    Collected scripts;
    for (const int port : primaries) {
      const std::string base = KeyOn(port, "s");
      sets.push_back(Tagged(base, ":z"));
      script.RunAsync(pipeline, 1, {sets.back(), Tagged(base, ":h")},
                      {"5", "m"}, scripts.Add(port));
    }
    // Keys of two shards: refused before anything is sent.
    script.RunAsync(pipeline, 1, {sets[0] + "x", sets[1] + "x"}, {"5", "m"},
                    scripts.Add(0));
    ASSERT_TRUE(scripts.WaitFor(4));
    for (std::size_t i = 0; i < 4; ++i) {
      const auto [result, reply] = scripts.at(i);
      if (scripts.order()[i] == 0) {
        EXPECT_EQ(Redis::kError, result);
        EXPECT_NE(std::string::npos, reply.text.find("different slots"))
            << reply.text;
      } else {
        EXPECT_EQ(Redis::kSuccess, result) << reply.text;
        EXPECT_EQ(1, reply.integer);
      }
    }
    for (std::size_t i = 0; i < primaries.size(); ++i) {
      EXPECT_EQ(std::vector<std::string>{"5"},
                RedisAt(primaries[i], {"ZSCORE", sets[i], "m"}));
    }
    EXPECT_EQ(std::vector<std::string>{"0"},
              RedisAt(primaries[0], {"EXISTS", sets[0] + "x"}));

    // One batch over three shards: every answer is right, and the
    // callbacks run in the batch's order.
    Collected batch;
    RedisPipeline::Commands commands;
    std::vector<RedisPipeline::Callback> callbacks;
    for (int i = 0; i < 3; ++i) {
      commands.push_back({"ZSCORE", sets[static_cast<std::size_t>(i)], "m"});
      callbacks.push_back(batch.Add(i));
    }
    commands.push_back({"PING"});
    callbacks.push_back(batch.Add(3));
    commands.push_back({"ZCARD", sets[2]});
    callbacks.push_back(batch.Add(4));
    pipeline.SendAll(0, commands, std::move(callbacks));
    ASSERT_TRUE(batch.WaitFor(5));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), batch.order());
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(Redis::kSuccess, batch.at(i).first);
      EXPECT_EQ("5", batch.at(i).second.text);
    }
    EXPECT_EQ("PONG", batch.at(3).second.text);
    EXPECT_EQ(1, batch.at(4).second.integer);
  }
  guard.reset();
  thread.join();
}

}  // namespace
}  // namespace plemox_test
