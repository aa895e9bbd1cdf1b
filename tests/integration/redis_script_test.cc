// vel::RedisScript against the shared test Redis: answers as value trees,
// errors told apart from connection failures, loading on first use.
#include "vel/redis/redis_script.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include "support/redis_environment.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"

namespace {

using vel::Redis;
using vel::RedisScript;
using vel::RedisValue;

class RedisScriptTest : public testing::Test {
 protected:
  void SetUp() override {
    gone_port_ = plemox_test::FreePort();
    FLAGS_redis_host = plemox_test::RedisHost();
    FLAGS_redis_port = plemox_test::RedisPort();
    FLAGS_redis_servers = "gone=127.0.0.1:" + std::to_string(gone_port_);
    FLAGS_redis_timeout_ms = 1000;
    FLAGS_redis_async_threads_size = 2;
    ASSERT_TRUE(Redis::Initialize());
    key_ = "redis_script_test:" + std::to_string(::getpid());
  }
  void TearDown() override {
    EXPECT_EQ(Redis::Del(key_), Redis::kSuccess);
    Redis::Finalize();
  }

  gflags::FlagSaver saver_;
  int gone_port_ = 0;
  std::string key_;
};

TEST_F(RedisScriptTest, AnswersAreTreesOfValuesAndLoadOnFirstUse) {
  const RedisScript script("tree", R"lua(
    redis.call('HSET', KEYS[1], 'f', ARGV[1])
    return {7, redis.call('HGET', KEYS[1], 'f'), {ARGV[2], false},
            redis.status_reply('FINE')})lua");
  EXPECT_EQ(script.sha(), "");
  RedisValue answer;
  ASSERT_EQ(script.Run({key_}, {std::string("a\0b", 3), "x"}, &answer),
            Redis::kSuccess);
  EXPECT_EQ(script.sha().size(), 40u);
  ASSERT_TRUE(answer.is_array());
  ASSERT_EQ(answer.elements.size(), 4u);
  EXPECT_EQ(answer.elements[0].type, RedisValue::kInteger);
  EXPECT_EQ(answer.elements[0].integer, 7);
  EXPECT_EQ(answer.elements[1].type, RedisValue::kString);
  EXPECT_EQ(answer.elements[1].text, std::string("a\0b", 3));
  ASSERT_TRUE(answer.elements[2].is_array());
  ASSERT_EQ(answer.elements[2].elements.size(), 2u);
  EXPECT_EQ(answer.elements[2].elements[0].text, "x");
  EXPECT_TRUE(answer.elements[2].elements[1].is_nil());
  EXPECT_EQ(answer.elements[3].type, RedisValue::kStatus);
  EXPECT_EQ(answer.elements[3].text, "FINE");
}

TEST_F(RedisScriptTest, ErrorsAreDefiniteAndConnectionFailuresAreNot) {
  const RedisScript raising("raising", "return redis.error_reply('nope')");
  RedisValue answer;
  EXPECT_EQ(raising.Run({}, {}, &answer), Redis::kError);
  EXPECT_EQ(answer.type, RedisValue::kError);
  EXPECT_EQ(answer.text, "ERR nope");

  ASSERT_EQ(Redis::HSet(key_, "f", "v"), Redis::kSuccess);
  const RedisScript wrong_type("wrong_type",
                               "return redis.call('ZCARD', KEYS[1])");
  EXPECT_EQ(wrong_type.Run({key_}, {}, &answer), Redis::kError);
  EXPECT_NE(answer.text.find("WRONGTYPE"), std::string::npos) << answer.text;

  const RedisScript syntax("syntax", "return {");
  EXPECT_EQ(syntax.Load(), Redis::kError);

  // Nothing listens on the "gone" server: nothing was sent.
  const RedisScript fine("fine", "return 1");
  bool maybe_ran = true;
  EXPECT_EQ(fine.Run({}, {}, &answer, "gone", &maybe_ran),
            Redis::kConnectionFailure);
  EXPECT_FALSE(maybe_ran);
  EXPECT_EQ(fine.Run({}, {}, &answer, "", &maybe_ran), Redis::kSuccess);
  EXPECT_FALSE(maybe_ran);
  EXPECT_EQ(answer.integer, 1);
}

}  // namespace
