// The test environment of the RedisCache integration tests: connects
// vel::Redis to the shared test Redis (or the test Redis Cluster) and starts
// the cache once per process, plus the Redis reads the tests check the cache's
// keys with. Include it in one source file per test binary (it registers the
// environment).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "database/cache/redis_cache.h"
#include "database/cache/redis_key.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/redis/redis.h"

namespace plemox {

// Starts vel::Redis and the cache on first use (the cache cannot be
// initialised twice in a process); stops both when the tests are done.
class CacheEnvironment : public testing::Environment {
 public:
  // Call from each test's SetUp (and before a death test's statement).
  // With `cluster` the cache runs on the test Redis Cluster instead of the
  // single test Redis. The first call decides for the whole process (the
  // cache starts once); returns false when it decided otherwise than
  // `cluster` asks (ctest runs each test case in a process of its own, so
  // only a run of the whole binary meets that).
  [[nodiscard]] static bool InitializeOnce(bool cluster = false) {
    static std::once_flag once;
    static bool on_cluster = false;
    std::call_once(once, [cluster] {
      on_cluster = cluster;
      FLAGS_redis_host = plemox_test::RedisHost();
      FLAGS_redis_port = plemox_test::RedisPort();
      FLAGS_redis_password = "";
      FLAGS_redis_servers = "";
      FLAGS_redis_cluster_nodes =
          cluster ? plemox_test::RedisClusterNodes() : "";
      FLAGS_redis_timeout_ms = 2000;
      FLAGS_redis_async_threads_size = 4;
      ASSERT_TRUE(vel::Redis::Initialize());
      ASSERT_TRUE(RedisCache::Initialize());
    });
    return on_cluster == cluster;
  }
  void TearDown() override {
    vel::Redis::Finalize();
    vel::IoService::StopAll();
  }
};
inline const auto* const kCacheEnvironment =
    testing::AddGlobalTestEnvironment(new CacheEnvironment);

// "leaderboard:<id>:<suffix>": a key of leaderboard `id`.
inline std::string CacheKey(const std::string& id, const std::string& suffix) {
  return "leaderboard:" + id + ":" + suffix;
}

// Deletes the undated keys of leaderboard `id` in every timespan (ranking,
// dense set, member index) and `extra_keys`, for a test's TearDown.
inline void DeleteCacheKeys(const std::string& id,
                            const std::vector<std::string>& extra_keys) {
  std::vector<std::string> keys = extra_keys;
  keys.push_back(MakeLeaderboardProfileKey(id));
  const boost::posix_time::ptime no_week(boost::posix_time::not_a_date_time);
  for (int value = Leaderboard::LeaderboardQuery::kAllTime;
       value <= Leaderboard::LeaderboardQuery::kLastMonth; ++value) {
    const std::string key =
        MakeLeaderboardKey(id, static_cast<Timespan>(value), no_week);
    keys.push_back(key);
    keys.push_back(key + ":dense");
    keys.push_back(key + ":timestamp");
  }
  for (const std::string& key : keys) {
    EXPECT_EQ(vel::Redis::Del(key), vel::Redis::kSuccess) << key;
  }
}

// Redis reads for checking what the cache wrote; each fails the test when
// Redis answers with an error.

// HGET; "" when the key or field is absent.
inline std::string HashField(const std::string& key, const std::string& field) {
  std::string value;
  const vel::Redis::Result result = vel::Redis::HGet(key, field, &value);
  EXPECT_TRUE(result == vel::Redis::kSuccess || result == vel::Redis::kNoValue);
  return value;
}

// ZSCORE; nullopt when the key or member is absent.
inline std::optional<double> MemberScore(const std::string& key,
                                         const std::string& member) {
  double score = 0;
  const vel::Redis::Result result = vel::Redis::ZScore(key, member, &score);
  EXPECT_TRUE(result == vel::Redis::kSuccess || result == vel::Redis::kNoValue);
  if (result != vel::Redis::kSuccess) return std::nullopt;
  return score;
}

// ZCARD.
inline std::int64_t Cardinality(const std::string& key) {
  std::int64_t count = -1;
  EXPECT_EQ(vel::Redis::ZCard(key, &count), vel::Redis::kSuccess);
  return count;
}

// EXISTS.
inline bool KeyExists(const std::string& key) {
  bool exists = true;
  EXPECT_EQ(vel::Redis::Exists(key, &exists), vel::Redis::kSuccess);
  return exists;
}

}  // namespace plemox
