// vel::RedisPipeline and RedisScript::RunAsync against real servers: the
// order of one lane under many senders, large commands and replies, errors,
// a frozen, a killed and an unreachable server, and scripts after a restart
// or a SCRIPT FLUSH.
#include "vel/redis/redis_pipeline.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/private_redis.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_script.h"

namespace {

using vel::Redis;
using vel::RedisPipeline;
using vel::RedisValue;

// What one command's callback got.
struct Answer {
  Redis::Result result = Redis::kError;
  RedisValue reply;
  bool maybe_ran = false;
};

// Collects callbacks; the test thread waits for a count with a deadline.
class Answers {
 public:
  RedisPipeline::Callback Add(std::size_t index) {
    return
        [this, index](Redis::Result result, RedisValue reply, bool maybe_ran) {
          std::lock_guard<std::mutex> lock(mutex_);
          answers_[index] = Answer{result, std::move(reply), maybe_ran};
          ++count_;
          changed_.notify_all();
        };
  }
  void Resize(std::size_t size) { answers_.resize(size); }
  bool WaitFor(std::size_t count,
               std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }
  Answer at(std::size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_[index];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Answer> answers_;
  std::size_t count_ = 0;
};

// The client's completion group lives until the process stops its groups.
class StopGroups : public testing::Environment {
 public:
  void TearDown() override { vel::IoService::StopAll(); }
};
const auto* const kStopGroups =
    testing::AddGlobalTestEnvironment(new StopGroups);

class RedisPipelineTest : public testing::Test {
 protected:
  void SetUp() override {
    io_ = std::make_shared<boost::asio::io_context>();
    guard_ = std::make_unique<Guard>(io_->get_executor());
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_->run(); });
    FLAGS_redis_host = plemox_test::RedisHost();
    FLAGS_redis_port = plemox_test::RedisPort();
    FLAGS_redis_servers =
        "gone=127.0.0.1:" + std::to_string(plemox_test::FreePort());
    FLAGS_redis_timeout_ms = 400;
    FLAGS_redis_async_threads_size = 1;
    key_ = "redis_pipeline_test:" + std::to_string(::getpid()) + ":" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override {
    if (initialised_) {
      for (const char* suffix : {"", ":0", ":1", ":2", ":big"}) {
        Redis::Del(key_ + suffix);
      }
      Redis::Finalize();
    }
    guard_.reset();
    io_->stop();
    for (std::thread& thread : threads_) thread.join();
  }
  void Initialise(int port = 0) {
    if (port != 0) FLAGS_redis_port = port;
    ASSERT_TRUE(Redis::Initialize());
    initialised_ = true;
  }
  // One command, waited for.
  Answer Call(RedisPipeline& pipeline, const std::vector<std::string>& args,
              std::size_t lane = 0) {
    Answers answers;
    answers.Resize(1);
    pipeline.Send(lane, args, answers.Add(0));
    EXPECT_TRUE(answers.WaitFor(1)) << args.front();
    return answers.at(0);
  }

  gflags::FlagSaver saver_;
  std::string key_;
  std::shared_ptr<boost::asio::io_context> io_;
  using Guard =
      boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
  std::unique_ptr<Guard> guard_;
  std::vector<std::thread> threads_;
  bool initialised_ = false;
};

TEST_F(RedisPipelineTest, LanesKeepTheirOrderUnderManySenders) {
  Initialise();
  RedisPipeline pipeline(io_, "", 2);
  constexpr int kSenders = 4;
  constexpr int kPerSender = 500;
  constexpr std::size_t kLanes = 3;  // lanes 0 and 2 share a connection
  // Per lane: the list lengths the callbacks saw, in callback order, and
  // whether two callbacks of the lane ever overlapped.
  std::mutex mutex;
  std::vector<std::vector<long long>> seen(kLanes);
  std::vector<bool> busy(kLanes, false);
  bool overlapped = false;
  Answers done;
  done.Resize(kSenders * kPerSender);
  std::vector<std::thread> senders;
  for (int sender = 0; sender < kSenders; ++sender) {
    senders.emplace_back([&, sender] {
      for (int i = 0; i < kPerSender; ++i) {
        const std::size_t lane = static_cast<std::size_t>(i) % kLanes;
        const std::size_t index = sender * kPerSender + i;
        RedisPipeline::Callback count = done.Add(index);
        pipeline.Send(lane,
                      {"RPUSH", key_ + ":" + std::to_string(lane),
                       std::to_string(sender) + ":" + std::to_string(i)},
                      [&, lane, count](Redis::Result result, RedisValue reply,
                                       bool maybe_ran) {
                        {
                          std::lock_guard<std::mutex> lock(mutex);
                          if (busy[lane]) overlapped = true;
                          busy[lane] = true;
                          seen[lane].push_back(reply.integer);
                        }
                        std::this_thread::yield();
                        {
                          std::lock_guard<std::mutex> lock(mutex);
                          busy[lane] = false;
                        }
                        count(result, std::move(reply), maybe_ran);
                      });
      }
    });
  }
  for (std::thread& sender : senders) sender.join();
  ASSERT_TRUE(done.WaitFor(kSenders * kPerSender));
  for (std::size_t i = 0; i < kSenders * kPerSender; ++i) {
    ASSERT_EQ(done.at(i).result, Redis::kSuccess) << i;
  }
  EXPECT_FALSE(overlapped);
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    // Callbacks in the order Redis ran the commands: lengths 1, 2, 3, ...
    for (std::size_t i = 0; i < seen[lane].size(); ++i) {
      ASSERT_EQ(seen[lane][i], static_cast<long long>(i + 1)) << lane;
    }
    // And Redis ran each sender's commands in the order it sent them.
    const Answer list = Call(
        pipeline, {"LRANGE", key_ + ":" + std::to_string(lane), "0", "-1"});
    ASSERT_TRUE(list.reply.is_array());
    std::vector<int> last(kSenders, -1);
    for (const RedisValue& item : list.reply.elements) {
      const int sender = std::stoi(item.text);
      const int i = std::stoi(item.text.substr(item.text.find(':') + 1));
      EXPECT_GT(i, last[sender]) << item.text;
      last[sender] = i;
    }
  }
}

TEST_F(RedisPipelineTest,
       LargeCommandsAndErrorRepliesLeaveTheConnectionUsable) {
  Initialise();
  RedisPipeline pipeline(io_, "", 1);
  // Larger than a socket buffer: written in parts, read in many chunks.
  std::string big(6 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i);
  Answers answers;
  answers.Resize(4);
  pipeline.Send(0, {"SET", key_ + ":big", big}, answers.Add(0));
  pipeline.Send(0, {"ZCARD", key_ + ":big"}, answers.Add(1));
  pipeline.Send(0, {"GET", key_ + ":big"}, answers.Add(2));
  pipeline.Send(0, {"STRLEN", key_ + ":big"}, answers.Add(3));
  ASSERT_TRUE(answers.WaitFor(4));
  EXPECT_EQ(answers.at(0).result, Redis::kSuccess);
  const Answer wrong_type = answers.at(1);
  EXPECT_EQ(wrong_type.result, Redis::kError);
  EXPECT_EQ(wrong_type.reply.type, RedisValue::kError);
  EXPECT_NE(wrong_type.reply.text.find("WRONGTYPE"), std::string::npos);
  EXPECT_TRUE(wrong_type.maybe_ran);
  EXPECT_TRUE(answers.at(2).reply.text == big);
  EXPECT_EQ(answers.at(3).reply.integer, static_cast<long long>(big.size()));
}

TEST_F(RedisPipelineTest, FrozenServerTimesOutAndKilledOneComesBack) {
  plemox_test::PrivateRedis server;
  Initialise(server.port());
  RedisPipeline pipeline(io_, "", 1);
  ASSERT_EQ(Call(pipeline, {"PING"}).result, Redis::kSuccess);

  server.Pause();
  Answers frozen;
  frozen.Resize(3);
  for (std::size_t i = 0; i < 3; ++i) {
    pipeline.Send(0, {"INCR", key_}, frozen.Add(i));
  }
  ASSERT_TRUE(frozen.WaitFor(3, std::chrono::seconds(10)));
  for (std::size_t i = 0; i < 3; ++i) {
    // Written, unanswered: Redis may run them once it thaws.
    EXPECT_EQ(frozen.at(i).result, Redis::kConnectionFailure);
    EXPECT_TRUE(frozen.at(i).maybe_ran);
  }
  server.Resume();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  Answer after;
  do {
    after = Call(pipeline, {"PING"});
  } while (after.result != Redis::kSuccess &&
           std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(after.result, Redis::kSuccess);

  server.Kill();
  const Answer killed = Call(pipeline, {"PING"});
  EXPECT_EQ(killed.result, Redis::kConnectionFailure);
  server.Start();
  do {
    after = Call(pipeline, {"PING"});
  } while (after.result != Redis::kSuccess &&
           std::chrono::steady_clock::now() <
               deadline + std::chrono::seconds(10));
  EXPECT_EQ(after.result, Redis::kSuccess);

  // Nothing listens on the tag "gone": nothing was written.
  RedisPipeline gone(io_, "gone", 1);
  const Answer refused = Call(gone, {"PING"});
  EXPECT_EQ(refused.result, Redis::kConnectionFailure);
  EXPECT_FALSE(refused.maybe_ran);
}

TEST_F(RedisPipelineTest, ScriptsSurviveARestartAndAFlush) {
  plemox_test::PrivateRedis server;
  Initialise(server.port());
  const vel::RedisScript script(
      "echo_incr", "return {redis.call('INCR', KEYS[1]), ARGV[1]}");
  RedisPipeline pipeline(io_, "", 1, {script.LoadCommand()});
  const auto run = [&](const std::string& text) {
    Answers answers;
    answers.Resize(1);
    script.RunAsync(pipeline, 0, {key_}, {text}, answers.Add(0));
    EXPECT_TRUE(answers.WaitFor(1));
    return answers.at(0);
  };
  Answer first = run("a");
  ASSERT_EQ(first.result, Redis::kSuccess);
  ASSERT_TRUE(first.reply.is_array());
  EXPECT_EQ(first.reply.elements[0].integer, 1);
  EXPECT_EQ(first.reply.elements[1].text, "a");
  const std::string digest = Call(pipeline, {"SCRIPT", "LOAD",
                                             "return {redis.call('INCR', "
                                             "KEYS[1]), ARGV[1]}"})
                                 .reply.text;

  // A restarted server knows no scripts; the new connection loads them
  // before the first EVALSHA, which therefore never sees NOSCRIPT.
  server.Restart();
  Answer lost = Call(pipeline, {"PING"});
  if (lost.result != Redis::kSuccess) lost = Call(pipeline, {"PING"});
  ASSERT_EQ(lost.result, Redis::kSuccess);
  const Answer direct = Call(pipeline, {"EVALSHA", digest, "1", key_, "b"});
  EXPECT_EQ(direct.result, Redis::kSuccess) << direct.reply.text;

  // A flush on a live connection: NOSCRIPT, answered by running the source.
  ASSERT_EQ(Call(pipeline, {"SCRIPT", "FLUSH"}).result, Redis::kSuccess);
  const Answer flushed = run("c");
  ASSERT_EQ(flushed.result, Redis::kSuccess) << flushed.reply.text;
  EXPECT_EQ(flushed.reply.elements[0].integer, 2);
  EXPECT_EQ(flushed.reply.elements[1].text, "c");
}

// vel::Redis's own calls ride on pipelines too, read on the client's own
// threads: a synchronous call made on the only thread of another pipeline's
// io_context, or of the completion group, gets its answer all the same.
TEST_F(RedisPipelineTest, BlockingCallsFromCallbacksDoNotWaitForThemselves) {
  Initialise();  // one completion thread (redis_async_threads_size=1)
  auto single = std::make_shared<boost::asio::io_context>();
  Guard single_guard(single->get_executor());
  std::thread single_thread([&] { single->run(); });
  const vel::RedisScript script("echo", "return ARGV[1]");
  std::vector<Redis::Result> results;
  std::string value;
  vel::RedisValue echoed;
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;
  {
    RedisPipeline pipeline(single, "", 1);
    pipeline.Send(0, {"PING"}, [&](Redis::Result, RedisValue, bool) {
      // On the pipeline's only thread.
      std::vector<Redis::Result> got = {Redis::HSet(key_, "f", "v"),
                                        Redis::HGet(key_, "f", &value),
                                        script.Run({}, {"hi"}, &echoed)};
      Redis::GetAsync(key_,
                      [&, got](Redis::Result wrong_type, const std::string&) {
                        // On the only completion thread.
                        std::string again;
                        std::vector<Redis::Result> all = got;
                        all.push_back(wrong_type);
                        all.push_back(Redis::HGet(key_, "f", &again));
                        std::lock_guard<std::mutex> lock(mutex);
                        results = all;
                        finished = true;
                        changed.notify_all();
                      });
    });
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return finished; }));
  }
  EXPECT_EQ(results, (std::vector<Redis::Result>{
                         Redis::kSuccess, Redis::kSuccess, Redis::kSuccess,
                         Redis::kError, Redis::kSuccess}));
  EXPECT_EQ(value, "v");
  EXPECT_EQ(echoed.text, "hi");
  // Run until the closed pipeline's last handlers are done: stopping with
  // them still queued would keep the connections (and the io_context they
  // hold) alive for ever.
  single_guard.reset();
  single_thread.join();
}

}  // namespace
