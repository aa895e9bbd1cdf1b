// vel::Redis without a Redis server: configuration checks, the life cycle
// (Initialize/Finalize) and how calls fail when nothing answers.
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/redis_environment.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/redis/redis.h"

namespace {

using vel::Redis;

class RedisClientTest : public testing::Test {
 protected:
  void SetUp() override {
    // A port nobody listens on: every connect is refused at once.
    FLAGS_redis_host = "127.0.0.1";
    FLAGS_redis_port = plemox_test::FreePort();
    FLAGS_redis_servers = "";
    FLAGS_redis_password = "";
    FLAGS_redis_timeout_ms = 500;
    FLAGS_redis_async_threads_size = 2;
  }
  void TearDown() override { Redis::Finalize(); }

  gflags::FlagSaver saver_;
};

TEST_F(RedisClientTest, RejectsBadConfiguration) {
  struct Case {
    const char* what;
    std::function<void()> apply;
  };
  const std::vector<Case> cases = {
      {"zero timeout", [] { FLAGS_redis_timeout_ms = 0; }},
      {"no async threads", [] { FLAGS_redis_async_threads_size = 0; }},
      {"empty host", [] { FLAGS_redis_host = ""; }},
      {"port 0", [] { FLAGS_redis_port = 0; }},
      {"port too large", [] { FLAGS_redis_port = 70000; }},
      {"entry without '='", [] { FLAGS_redis_servers = "rank"; }},
      {"entry without port", [] { FLAGS_redis_servers = "rank=localhost"; }},
      {"non-numeric port", [] { FLAGS_redis_servers = "rank=h:63x9"; }},
      {"port out of range", [] { FLAGS_redis_servers = "rank=h:65536"; }},
      {"empty host in entry", [] { FLAGS_redis_servers = "rank=:6379"; }},
      {"empty tag", [] { FLAGS_redis_servers = "=h:6379"; }},
      {"duplicate tag", [] { FLAGS_redis_servers = "a=h:1,b=h:2,a=h:3"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.apply();
    EXPECT_FALSE(Redis::Initialize());
    // Nothing was set up: calls fail as not connected, without a crash.
    int64_t count = -1;
    EXPECT_EQ(Redis::ZCard("k", &count), Redis::kConnectionFailure);
    EXPECT_EQ(count, -1);
    Redis::Finalize();
  }
}

TEST_F(RedisClientTest, AcceptsTaggedServersAndRoutesByTag) {
  FLAGS_redis_servers =
      " rank = 127.0.0.1:" + std::to_string(plemox_test::FreePort()) +
      ",, ipv6=[::1]:" + std::to_string(plemox_test::FreePort()) +
      ",sock=/nonexistent/redis.sock,";
  ASSERT_TRUE(Redis::Initialize());
  // A second Initialize without Finalize is refused.
  EXPECT_FALSE(Redis::Initialize());

  for (const std::string tag : {"", "rank", "ipv6", "sock"}) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(Redis::Del("k", tag), Redis::kConnectionFailure);
  }
  // A tag that was not configured is a caller's error, not an outage.
  EXPECT_EQ(Redis::Del("k", "nope"), Redis::kError);
  std::promise<Redis::Result> got;
  Redis::GetAsync(
      "k", [&](Redis::Result r, const std::string&) { got.set_value(r); },
      "nope");
  EXPECT_EQ(got.get_future().get(), Redis::kError);
}

TEST_F(RedisClientTest, UnreachableServerFailsEveryCallAndLogsOnce) {
  ASSERT_TRUE(Redis::Initialize());
  plemox_test::LogCapture log;

  double score = 7.0;
  EXPECT_EQ(Redis::ZScore("k", "m", &score), Redis::kConnectionFailure);
  EXPECT_EQ(score, 7.0);
  std::string value = "unchanged";
  EXPECT_EQ(Redis::HGet("k", "f", &value), Redis::kConnectionFailure);
  EXPECT_EQ(value, "unchanged");
  std::vector<std::string> values = {"unchanged"};
  EXPECT_EQ(Redis::HMGet("k", {"a", "b"}, &values), Redis::kConnectionFailure);
  EXPECT_EQ(values, std::vector<std::string>{"unchanged"});
  Redis::ScoredMembers range = {{"unchanged", 1.0}};
  EXPECT_EQ(Redis::ZRevRange("k", 0, -1, true, &range),
            Redis::kConnectionFailure);
  EXPECT_EQ(range.size(), 1u);

  // Many callers at once during the outage.
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        if (Redis::ZAdd("k", i, "m") == Redis::kConnectionFailure) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 100);

  const std::thread::id caller = std::this_thread::get_id();
  std::promise<std::pair<Redis::Result, bool>> expired;
  Redis::ExpireAsync("k", 5, [&](Redis::Result r, bool existed) {
    EXPECT_NE(std::this_thread::get_id(), caller);
    expired.set_value({r, existed});
  });
  EXPECT_EQ(expired.get_future().get(),
            std::make_pair(Redis::kConnectionFailure, false));

  std::promise<Redis::MemberScores> scores;
  Redis::ZScoreExtAsync("k", {"a", "b", "c"},
                        [&](Redis::Result r, const Redis::MemberScores& s) {
                          EXPECT_EQ(r, Redis::kConnectionFailure);
                          scores.set_value(s);
                        });
  // One entry per member even on failure, so callers that only walk the
  // entries see the failure too.
  const Redis::MemberScores got = scores.get_future().get();
  ASSERT_EQ(got.size(), 3u);
  for (const auto& [result, s] : got) {
    EXPECT_EQ(result, Redis::kConnectionFailure);
    EXPECT_EQ(s, 0.0);
  }

  EXPECT_EQ(log.Count(google::GLOG_ERROR, "Redis server unavailable"), 1);
}

TEST_F(RedisClientTest, EmptyListsAnswerWithoutTheServer) {
  ASSERT_TRUE(Redis::Initialize());
  std::vector<std::string> values = {"stale"};
  EXPECT_EQ(Redis::HMGet("k", {}, &values), Redis::kSuccess);
  EXPECT_TRUE(values.empty());

  const std::thread::id caller = std::this_thread::get_id();
  std::promise<std::pair<Redis::Result, std::size_t>> done;
  Redis::ZScoreExtAsync("k", {},
                        [&](Redis::Result r, const Redis::MemberScores& s) {
                          EXPECT_NE(std::this_thread::get_id(), caller);
                          done.set_value({r, s.size()});
                        });
  EXPECT_EQ(done.get_future().get(), std::make_pair(Redis::kSuccess, 0ul));
}

TEST_F(RedisClientTest, RefusesBadSetOptionsAndNaNScores) {
  ASSERT_TRUE(Redis::Initialize());
  struct Options {
    int unit;
    int64_t expiry;
    int condition;
  };
  for (const Options& o : std::vector<Options>{
           {2, 5, 0}, {-1, 5, 0}, {0, 5, 3}, {1, 0, 0}, {0, -5, 2}}) {
    std::promise<Redis::Result> done;
    Redis::SetAsync("k", "v", o.unit, o.expiry, o.condition,
                    [&](Redis::Result r) { done.set_value(r); });
    EXPECT_EQ(done.get_future().get(), Redis::kError)
        << o.unit << " " << o.expiry << " " << o.condition;
  }
  EXPECT_EQ(Redis::ZAdd("k", std::nan(""), "m"), Redis::kError);
}

TEST_F(RedisClientTest, FinalizeIsIdempotentAndLaterCallsFail) {
  Redis::Finalize();  // before any Initialize
  ASSERT_TRUE(Redis::Initialize());
  Redis::Finalize();
  Redis::Finalize();

  int64_t count = -1;
  EXPECT_EQ(Redis::ZCard("k", &count), Redis::kConnectionFailure);
  const std::thread::id caller = std::this_thread::get_id();
  std::promise<Redis::Result> got;
  Redis::GetAsync("k", [&](Redis::Result r, const std::string& value) {
    EXPECT_NE(std::this_thread::get_id(), caller);
    EXPECT_EQ(value, "");
    got.set_value(r);
  });
  EXPECT_EQ(got.get_future().get(), Redis::kConnectionFailure);

  // And it can be started again.
  ASSERT_TRUE(Redis::Initialize());
  EXPECT_EQ(Redis::ZCard("k", &count), Redis::kConnectionFailure);
}

TEST_F(RedisClientTest, FinalizeFromACallbackAnswersEveryCall) {
  ASSERT_TRUE(Redis::Initialize());
  std::promise<void> finalized;
  std::vector<std::promise<Redis::Result>> queued(5);
  Redis::SetAsync("k", "v", Redis::kExpireSeconds, 5, Redis::kSetAlways,
                  [&](Redis::Result) {
                    Redis::Finalize();  // must not wait for itself
                    finalized.set_value();
                  });
  for (auto& promise : queued) {
    Redis::SetAsync("k", "v", Redis::kExpireSeconds, 5, Redis::kSetAlways,
                    [&promise](Redis::Result r) { promise.set_value(r); });
  }
  finalized.get_future().get();
  for (auto& promise : queued) {
    EXPECT_EQ(promise.get_future().get(), Redis::kConnectionFailure);
  }
}

}  // namespace
