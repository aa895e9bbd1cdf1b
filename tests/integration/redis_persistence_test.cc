// The start-up check of how Redis keeps its data, against real servers: the
// durable Redis that scripts/services.sh starts for scripts/run.sh, and
// private servers that persist nothing, evict keys or refuse CONFIG.
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
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
#include "vel/redis/redis_persistence_check.h"

namespace plemox_test {
namespace {

using vel::Redis;
using vel::RedisPersistenceCheck;

constexpr char kAtRiskLine[] = "Redis may lose rankings";

class RedisPersistenceCheckTest : public testing::Test {
 protected:
  void TearDown() override { Redis::Finalize(); }

  static void UseRedisOn(int port) {
    FLAGS_redis_host = "127.0.0.1";
    FLAGS_redis_port = port;
    FLAGS_redis_password = "";
    FLAGS_redis_servers = "";
    FLAGS_redis_sentinels = "";
    FLAGS_redis_sentinel_master = "";
    FLAGS_redis_timeout_ms = 1000;
    FLAGS_redis_async_threads_size = 1;
    ASSERT_TRUE(Redis::Initialize());
  }
};

// scripts/services.sh in the durable mode scripts/run.sh uses, on a port and
// state directory of this test's own; stopped again however the test ends.
class DurableServicesRedis {
 public:
  DurableServicesRedis() : port_(FreePort()) {
    char pattern[] = "/tmp/plemox-durable-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    if (made != nullptr) state_ = made;
    EXPECT_EQ(Services("start-redis"), 0);
  }
  ~DurableServicesRedis() {
    EXPECT_EQ(Services("stop-redis"), 0);
    boost::system::error_code ignored;
    if (!state_.empty()) boost::filesystem::remove_all(state_, ignored);
  }
  int port() const { return port_; }
  const std::string& state() const { return state_; }

 private:
  int Services(const std::string& command) const {
    const std::string line =
        "env PLEMOX_REDIS_DURABLE=1 PLEMOX_STATE_DIR='" + state_ +
        "' PLEMOX_REDIS_PORT=" + std::to_string(port_) + " '" + SourceDir() +
        "/scripts/services.sh' " + command + " >/dev/null";
    return std::system(line.c_str());
  }

  int port_;
  std::string state_;
};

std::string Config(int port, const std::string& name) {
  const auto reply = RedisAt(port, {"CONFIG", "GET", name});
  return reply.size() == 2 ? reply[1] : "<" + name + " not answered>";
}

TEST_F(RedisPersistenceCheckTest, RunScriptsRedisKeepsItsData) {
  DurableServicesRedis redis;
  EXPECT_EQ(Config(redis.port(), "appendonly"), "yes");
  EXPECT_EQ(Config(redis.port(), "appendfsync"), "everysec");
  EXPECT_EQ(Config(redis.port(), "maxmemory-policy"), "noeviction");
  // The append-only file is written under the state directory.
  EXPECT_TRUE(plemox_test::WaitFor([&] {
    return boost::filesystem::exists(redis.state() + "/redis/appendonlydir");
  }));

  UseRedisOn(redis.port());
  LogCapture log;
  EXPECT_EQ(RedisPersistenceCheck::Run(), RedisPersistenceCheck::kKeepsData);
  EXPECT_EQ(log.Count(google::GLOG_WARNING, ""), 0);
}

TEST_F(RedisPersistenceCheckTest, RedisWithoutPersistenceIsOneWarning) {
  PrivateRedis redis;  // --save '' --appendonly no, like the suite's
  UseRedisOn(redis.port());
  LogCapture log;
  EXPECT_EQ(RedisPersistenceCheck::Run(), RedisPersistenceCheck::kAtRisk);
  EXPECT_EQ(log.Count(google::GLOG_WARNING, kAtRiskLine), 1);
  EXPECT_EQ(log.Count(google::GLOG_WARNING, "nothing survives a restart"), 1);
  EXPECT_EQ(log.Count(google::GLOG_WARNING, "evicts keys"), 0);
}

TEST_F(RedisPersistenceCheckTest, EvictionAndPersistenceAreJudgedApart) {
  {
    // Persists, but evicts once full: at risk.
    const boost::filesystem::path dir =
        boost::filesystem::temp_directory_path() /
        boost::filesystem::unique_path("plemox-aof-%%%%%%%%");
    boost::filesystem::create_directories(dir);
    PrivateRedis redis({"--appendonly", "yes", "--maxmemory", "64mb",
                        "--maxmemory-policy", "allkeys-lru", "--dir",
                        dir.string()});
    UseRedisOn(redis.port());
    LogCapture log;
    EXPECT_EQ(RedisPersistenceCheck::Run(), RedisPersistenceCheck::kAtRisk);
    EXPECT_EQ(log.Count(google::GLOG_WARNING,
                        "maxmemory-policy=allkeys-lru evicts keys"),
              1);
    EXPECT_EQ(log.Count(google::GLOG_WARNING, "nothing survives"), 0);
    Redis::Finalize();
    redis.Kill();
    boost::system::error_code ignored;
    boost::filesystem::remove_all(dir, ignored);
  }
  {
    // Save points only, an eviction policy but no memory limit: nothing is
    // ever evicted, the snapshots keep the data.
    PrivateRedis redis({"--save", "3600 1", "--maxmemory-policy", "allkeys-lru",
                        "--dir", "/tmp", "--dbfilename",
                        "plemox-check-unused.rdb"});
    UseRedisOn(redis.port());
    LogCapture log;
    EXPECT_EQ(RedisPersistenceCheck::Run(), RedisPersistenceCheck::kKeepsData);
    EXPECT_EQ(log.Count(google::GLOG_WARNING, kAtRiskLine), 0);
  }
}

TEST_F(RedisPersistenceCheckTest, RefusedOrUnreachableIsSaidAndGoesOn) {
  {
    PrivateRedis redis({"--rename-command", "CONFIG", ""});
    UseRedisOn(redis.port());
    LogCapture log;
    EXPECT_EQ(RedisPersistenceCheck::Run(), RedisPersistenceCheck::kUnknown);
    EXPECT_EQ(log.Count(google::GLOG_WARNING,
                        "CONFIG GET maxmemory-policy was refused"),
              1);
    EXPECT_EQ(log.Count(google::GLOG_WARNING, kAtRiskLine), 0);
    // The client goes on working.
    EXPECT_EQ(Redis::ZAdd("z", 1, "m"), Redis::kSuccess);
    Redis::Finalize();
  }
  UseRedisOn(FreePort());  // nothing listens there
  LogCapture log;
  EXPECT_EQ(RedisPersistenceCheck::Run(), RedisPersistenceCheck::kUnknown);
  EXPECT_EQ(log.Count(google::GLOG_WARNING, "did not answer"), 1);
}

}  // namespace
}  // namespace plemox_test
