// vel::Redis against real redis-server processes: the shared test server for
// the commands, and private servers that the tests kill, stop and restart for
// outages.
#include "vel/redis/redis.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/redis_environment.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"

namespace {

using vel::Redis;
using namespace std::chrono_literals;

// A string literal with its embedded NUL bytes.
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

template <typename T>
struct NotDeduced {
  using type = T;
};

// Runs the asynchronous call `start` (given a callback that stores its
// arguments) and waits for its one callback.
template <typename... Args>
std::tuple<std::decay_t<Args>...> Await(
    const typename NotDeduced<
        std::function<void(std::function<void(Args...)>)>>::type& start) {
  std::promise<std::tuple<std::decay_t<Args>...>> done;
  start([&done](Args... args) { done.set_value({args...}); });
  auto future = done.get_future();
  EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
  return future.get();
}

Redis::Result Get(const std::string& key, std::string* value,
                  const std::string& tag = "") {
  auto [result, got] = Await<Redis::Result, const std::string&>(
      [&](auto callback) { Redis::GetAsync(key, callback, tag); });
  *value = got;
  return result;
}

Redis::Result Set(const std::string& key, const std::string& value, int unit,
                  int64_t expiry, int condition, const std::string& tag = "") {
  return std::get<0>(Await<Redis::Result>([&](auto callback) {
    Redis::SetAsync(key, value, unit, expiry, condition, callback, tag);
  }));
}

std::pair<Redis::Result, bool> Expire(const std::string& key, int64_t seconds) {
  auto [result, existed] = Await<Redis::Result, bool>(
      [&](auto callback) { Redis::ExpireAsync(key, seconds, callback); });
  return {result, existed};
}

std::pair<Redis::Result, Redis::MemberScores> ZScores(
    const std::string& key, const std::vector<std::string>& members,
    const std::string& tag = "") {
  auto [result, scores] =
      Await<Redis::Result, const Redis::MemberScores&>([&](auto callback) {
        Redis::ZScoreExtAsync(key, members, callback, tag);
      });
  return {result, scores};
}

// Connects the client to the shared server and removes the keys a test used.
class RedisTest : public testing::Test {
 protected:
  void SetUp() override {
    FLAGS_redis_host = plemox_test::RedisHost();
    FLAGS_redis_port = plemox_test::RedisPort();
    FLAGS_redis_password = "";
    FLAGS_redis_servers = "";
    FLAGS_redis_timeout_ms = 2000;
    FLAGS_redis_async_threads_size = 4;
    ASSERT_TRUE(Redis::Initialize());
  }

  void TearDown() override {
    for (const std::string& key : keys_) {
      EXPECT_EQ(Redis::Del(key), Redis::kSuccess);
    }
    Redis::Finalize();
  }

  // A key private to this test, deleted afterwards.
  std::string Key(const std::string& name) {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    keys_.push_back(std::string("redis_test:") + info->name() + ":" + name);
    return keys_.back();
  }

  gflags::FlagSaver saver_;
  std::vector<std::string> keys_;
};

TEST_F(RedisTest, SortedSetScoresAndRanks) {
  const std::string key = Key("zset");
  const double precise = 0.1 + 0.2;  // not 0.3: needs all 17 digits
  const double inf = std::numeric_limits<double>::infinity();
  ASSERT_EQ(Redis::ZAdd(key, precise, "precise"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, 1e300, "huge"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, -inf, "bottom"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, inf, "top"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, -2.5, "negative"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, 5, "moved"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, 7, "moved"), Redis::kSuccess);  // update

  double score = 0;
  EXPECT_EQ(Redis::ZScore(key, "precise", &score), Redis::kSuccess);
  EXPECT_EQ(score, precise);
  EXPECT_EQ(Redis::ZScore(key, "huge", &score), Redis::kSuccess);
  EXPECT_EQ(score, 1e300);
  EXPECT_EQ(Redis::ZScore(key, "top", &score), Redis::kSuccess);
  EXPECT_EQ(score, inf);
  EXPECT_EQ(Redis::ZScore(key, "bottom", &score), Redis::kSuccess);
  EXPECT_EQ(score, -inf);
  EXPECT_EQ(Redis::ZScore(key, "moved", &score), Redis::kSuccess);
  EXPECT_EQ(score, 7);

  score = 42;
  EXPECT_EQ(Redis::ZScore(key, "absent", &score), Redis::kNoValue);
  EXPECT_EQ(Redis::ZScore(Key("no_such_zset"), "x", &score), Redis::kNoValue);
  EXPECT_EQ(score, 42);

  int64_t rank = -1;
  EXPECT_EQ(Redis::ZRevRank(key, "top", &rank), Redis::kSuccess);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(Redis::ZRevRank(key, "moved", &rank), Redis::kSuccess);
  EXPECT_EQ(rank, 2);
  EXPECT_EQ(Redis::ZRevRank(key, "bottom", &rank), Redis::kSuccess);
  EXPECT_EQ(rank, 5);
  rank = -1;
  EXPECT_EQ(Redis::ZRevRank(key, "absent", &rank), Redis::kNoValue);
  EXPECT_EQ(rank, -1);

  int64_t count = -1;
  EXPECT_EQ(Redis::ZCard(key, &count), Redis::kSuccess);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(Redis::ZRem(key, "negative"), Redis::kSuccess);
  EXPECT_EQ(Redis::ZRem(key, "negative"), Redis::kSuccess);  // already gone
  EXPECT_EQ(Redis::ZCard(key, &count), Redis::kSuccess);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(Redis::ZCard(Key("no_such_zset2"), &count), Redis::kSuccess);
  EXPECT_EQ(count, 0);
}

TEST_F(RedisTest, ZCountBounds) {
  const std::string key = Key("zset");
  for (int i = 1; i <= 5; ++i) {
    ASSERT_EQ(Redis::ZAdd(key, 100.0 * i, "m" + std::to_string(i)),
              Redis::kSuccess);
  }
  ASSERT_EQ(Redis::ZAdd(key, 300, "tie"), Redis::kSuccess);
  struct Case {
    std::string min, max;
    int64_t expected;
  };
  for (const Case& c : std::vector<Case>{{"300", "300", 2},
                                         {"(300", "+inf", 2},
                                         {"300", "+inf", 4},
                                         {"-inf", "(300", 2},
                                         {"(100", "(500", 4},
                                         {"-inf", "+inf", 6},
                                         {"600", "+inf", 0}}) {
    int64_t count = -1;
    EXPECT_EQ(Redis::ZCount(key, c.min, c.max, &count), Redis::kSuccess);
    EXPECT_EQ(count, c.expected) << c.min << " " << c.max;
  }
  int64_t count = -1;
  EXPECT_EQ(Redis::ZCount(key, "abc", "+inf", &count), Redis::kError);
  EXPECT_EQ(count, -1);
}

TEST_F(RedisTest, ZRevRangeSlicesWithAndWithoutScores) {
  const std::string key = Key("zset");
  for (int i = 1; i <= 5; ++i) {
    ASSERT_EQ(Redis::ZAdd(key, i * 1.5, "m" + std::to_string(i)),
              Redis::kSuccess);
  }
  Redis::ScoredMembers out = {{"stale", 9}};
  ASSERT_EQ(Redis::ZRevRange(key, 0, -1, true, &out), Redis::kSuccess);
  EXPECT_EQ(out,
            (Redis::ScoredMembers{
                {"m5", 7.5}, {"m4", 6}, {"m3", 4.5}, {"m2", 3}, {"m1", 1.5}}));

  ASSERT_EQ(Redis::ZRevRange(key, 1, 2, false, &out), Redis::kSuccess);
  EXPECT_EQ(out, (Redis::ScoredMembers{{"m4", 0}, {"m3", 0}}));

  ASSERT_EQ(Redis::ZRevRange(key, -2, -1, true, &out), Redis::kSuccess);
  EXPECT_EQ(out, (Redis::ScoredMembers{{"m2", 3}, {"m1", 1.5}}));

  ASSERT_EQ(Redis::ZRevRange(key, 3, 100, true, &out), Redis::kSuccess);
  EXPECT_EQ(out, (Redis::ScoredMembers{{"m2", 3}, {"m1", 1.5}}));

  ASSERT_EQ(Redis::ZRevRange(key, 5, 9, true, &out), Redis::kSuccess);
  EXPECT_TRUE(out.empty());

  out = {{"stale", 9}};
  ASSERT_EQ(Redis::ZRevRange(Key("none"), 0, -1, true, &out), Redis::kSuccess);
  EXPECT_TRUE(out.empty());
}

TEST_F(RedisTest, KeysRenameAndWrongTypes) {
  const std::string a = Key("a"), b = Key("b"), missing = Key("missing");
  bool exists = true;
  EXPECT_EQ(Redis::Exists(a, &exists), Redis::kSuccess);
  EXPECT_FALSE(exists);
  ASSERT_EQ(Redis::ZAdd(a, 1, "x"), Redis::kSuccess);
  EXPECT_EQ(Redis::Exists(a, &exists), Redis::kSuccess);
  EXPECT_TRUE(exists);

  // Rename replaces an existing destination.
  ASSERT_EQ(Redis::ZAdd(b, 2, "old"), Redis::kSuccess);
  EXPECT_EQ(Redis::Rename(a, b), Redis::kSuccess);
  EXPECT_EQ(Redis::Exists(a, &exists), Redis::kSuccess);
  EXPECT_FALSE(exists);
  Redis::ScoredMembers members;
  EXPECT_EQ(Redis::ZRevRange(b, 0, -1, true, &members), Redis::kSuccess);
  EXPECT_EQ(members, (Redis::ScoredMembers{{"x", 1}}));

  EXPECT_EQ(Redis::Rename(missing, a), Redis::kError);
  EXPECT_EQ(Redis::Exists(a, &exists), Redis::kSuccess);
  EXPECT_FALSE(exists);

  EXPECT_EQ(Redis::Del(b), Redis::kSuccess);
  EXPECT_EQ(Redis::Del(b), Redis::kSuccess);  // nothing left to delete
  EXPECT_EQ(Redis::Exists(b, &exists), Redis::kSuccess);
  EXPECT_FALSE(exists);

  // Commands on a key of another type are Redis errors, not crashes.
  ASSERT_EQ(Redis::HSet(a, "f", "v"), Redis::kSuccess);
  double score = 0;
  int64_t count = 0;
  Redis::ScoredMembers range;
  EXPECT_EQ(Redis::ZAdd(a, 1, "m"), Redis::kError);
  EXPECT_EQ(Redis::ZScore(a, "m", &score), Redis::kError);
  EXPECT_EQ(Redis::ZCard(a, &count), Redis::kError);
  EXPECT_EQ(Redis::ZRevRange(a, 0, -1, true, &range), Redis::kError);
  std::string value;
  EXPECT_EQ(Get(a, &value), Redis::kError);
  EXPECT_EQ(Redis::HGet(b, "f", &value), Redis::kNoValue);
  ASSERT_EQ(Redis::ZAdd(b, 1, "m"), Redis::kSuccess);
  EXPECT_EQ(Redis::HGet(b, "f", &value), Redis::kError);
  std::vector<std::string> values;
  EXPECT_EQ(Redis::HMGet(b, {"f"}, &values), Redis::kError);
}

TEST_F(RedisTest, ZScanFindsTheMembersAPatternMatches) {
  const std::string key = Key("zscan");
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(Redis::ZAdd(key, i, "m" + std::to_string(i) + ":x"),
              Redis::kSuccess);
  }
  ASSERT_EQ(Redis::ZAdd(key, 7.5, "m*:y"), Redis::kSuccess);
  const auto scan_all = [](const std::string& scanned,
                           const std::string& pattern) {
    std::map<std::string, double> found;
    std::string cursor = "0";
    int steps = 0;
    do {
      Redis::ScoredMembers members;
      EXPECT_EQ(Redis::ZScan(scanned, cursor, pattern, 50, &cursor, &members),
                Redis::kSuccess);
      for (const auto& member : members) found.insert(member);
    } while (cursor != "0" && ++steps < 100);
    return found;
  };
  const auto found = scan_all(key, "*1:x");
  EXPECT_EQ(found.size(), 30u);  // m1, m11, ..., m291
  EXPECT_EQ(found.at("m291:x"), 291);
  // An escaped glob character matches only itself.
  EXPECT_EQ(scan_all(key, "m\\*:*"),
            (std::map<std::string, double>{{"m*:y", 7.5}}));
  EXPECT_TRUE(scan_all(Key("absent"), "*").empty());
}

TEST_F(RedisTest, HashFields) {
  const std::string key = Key("hash");
  std::string value = "unchanged";
  EXPECT_EQ(Redis::HGet(key, "f1", &value), Redis::kNoValue);
  EXPECT_EQ(value, "unchanged");

  ASSERT_EQ(Redis::HSet(key, "f1", "one"), Redis::kSuccess);
  ASSERT_EQ(Redis::HSet(key, "f2", ""), Redis::kSuccess);
  ASSERT_EQ(Redis::HSet(key, "f1", "uno"), Redis::kSuccess);  // overwrite
  EXPECT_EQ(Redis::HGet(key, "f1", &value), Redis::kSuccess);
  EXPECT_EQ(value, "uno");
  EXPECT_EQ(Redis::HGet(key, "f2", &value), Redis::kSuccess);
  EXPECT_EQ(value, "");

  std::vector<std::string> values = {"stale"};
  ASSERT_EQ(Redis::HMGet(key, {"absent", "f1", "f2", "f1"}, &values),
            Redis::kSuccess);
  EXPECT_EQ(values, (std::vector<std::string>{"", "uno", "", "uno"}));
  ASSERT_EQ(Redis::HMGet(Key("no_hash"), {"a", "b"}, &values), Redis::kSuccess);
  EXPECT_EQ(values, (std::vector<std::string>{"", ""}));

  EXPECT_EQ(Redis::HDel(key, "f1"), Redis::kSuccess);
  EXPECT_EQ(Redis::HDel(key, "f1"), Redis::kSuccess);
  EXPECT_EQ(Redis::HGet(key, "f1", &value), Redis::kNoValue);
}

TEST_F(RedisTest, ArgumentsAreBinarySafe) {
  const std::string key = Key(Bytes("sp ace \"q\" '%s' \r\n\0end"));
  const std::string member = Bytes("m\0ember %b \x01\xff");
  const std::string value = Bytes("v\0alue\r\n$3\r\n");
  ASSERT_EQ(Redis::ZAdd(key, 3.5, member), Redis::kSuccess);
  double score = 0;
  ASSERT_EQ(Redis::ZScore(key, member, &score), Redis::kSuccess);
  EXPECT_EQ(score, 3.5);
  Redis::ScoredMembers members;
  ASSERT_EQ(Redis::ZRevRange(key, 0, -1, true, &members), Redis::kSuccess);
  EXPECT_EQ(members, (Redis::ScoredMembers{{member, 3.5}}));
  // The NUL-terminated prefix is a different key.
  bool exists = true;
  ASSERT_EQ(Redis::Exists(key.substr(0, key.find('\0')), &exists),
            Redis::kSuccess);
  EXPECT_FALSE(exists);

  const std::string hash = Key("hash \"x\"");
  ASSERT_EQ(Redis::HSet(hash, member, value), Redis::kSuccess);
  std::string got;
  ASSERT_EQ(Redis::HGet(hash, member, &got), Redis::kSuccess);
  EXPECT_EQ(got, value);

  const std::string string_key = Key(Bytes("str\0ing"));
  ASSERT_EQ(
      Set(string_key, value, Redis::kExpireSeconds, 60, Redis::kSetAlways),
      Redis::kSuccess);
  ASSERT_EQ(Get(string_key, &got), Redis::kSuccess);
  EXPECT_EQ(got, value);
}

TEST_F(RedisTest, ConditionalSetExpiryAndGet) {
  const std::string key = Key("master");
  std::string value = "stale";
  EXPECT_EQ(Get(key, &value), Redis::kNoValue);
  EXPECT_EQ(value, "");

  // Only one of two "set if absent" calls wins; the value stays the first.
  EXPECT_EQ(
      Set(key, "first", Redis::kExpireSeconds, 60, Redis::kSetIfNotExists),
      Redis::kSuccess);
  EXPECT_EQ(
      Set(key, "second", Redis::kExpireSeconds, 60, Redis::kSetIfNotExists),
      Redis::kNoValue);
  EXPECT_EQ(Get(key, &value), Redis::kSuccess);
  EXPECT_EQ(value, "first");

  // "Set if present" replaces an existing key and never creates one.
  EXPECT_EQ(Set(key, "third", Redis::kExpireSeconds, 60, Redis::kSetIfExists),
            Redis::kSuccess);
  EXPECT_EQ(Get(key, &value), Redis::kSuccess);
  EXPECT_EQ(value, "third");
  const std::string other = Key("other");
  EXPECT_EQ(Set(other, "x", Redis::kExpireSeconds, 60, Redis::kSetIfExists),
            Redis::kNoValue);
  EXPECT_EQ(Get(other, &value), Redis::kNoValue);

  // A millisecond expiry makes the key go away on its own.
  const std::string short_lived = Key("short");
  ASSERT_EQ(
      Set(short_lived, "x", Redis::kExpireMilliseconds, 150, Redis::kSetAlways),
      Redis::kSuccess);
  EXPECT_TRUE(plemox_test::WaitFor(
      [&] { return Get(short_lived, &value) == Redis::kNoValue; }));

  // Expire reports whether there was a key to renew.
  EXPECT_EQ(Expire(key, 30), std::make_pair(Redis::kSuccess, true));
  EXPECT_EQ(Expire(Key("absent"), 30), std::make_pair(Redis::kSuccess, false));
  // And the new lifetime applies.
  EXPECT_EQ(Expire(key, 1), std::make_pair(Redis::kSuccess, true));
  EXPECT_TRUE(plemox_test::WaitFor(
      [&] { return Get(key, &value) == Redis::kNoValue; }));
}

TEST_F(RedisTest, ZScoreExtAsyncKeepsMemberOrder) {
  const std::string key = Key("zset");
  ASSERT_EQ(Redis::ZAdd(key, 10, "a"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, -0.25, "c"), Redis::kSuccess);
  ASSERT_EQ(Redis::ZAdd(key, std::numeric_limits<double>::infinity(), "d"),
            Redis::kSuccess);

  auto [result, scores] = ZScores(key, {"c", "b", "a", "0:missing", "d", "a"});
  EXPECT_EQ(result, Redis::kSuccess);
  EXPECT_EQ(scores,
            (Redis::MemberScores{
                {Redis::kSuccess, -0.25},
                {Redis::kNoValue, 0},
                {Redis::kSuccess, 10},
                {Redis::kNoValue, 0},
                {Redis::kSuccess, std::numeric_limits<double>::infinity()},
                {Redis::kSuccess, 10}}));

  std::tie(result, scores) = ZScores(key, {});
  EXPECT_EQ(result, Redis::kSuccess);
  EXPECT_TRUE(scores.empty());

  std::tie(result, scores) = ZScores(Key("absent"), {"a", "b"});
  EXPECT_EQ(result, Redis::kSuccess);
  EXPECT_EQ(scores,
            (Redis::MemberScores{{Redis::kNoValue, 0}, {Redis::kNoValue, 0}}));

  const std::string hash = Key("hash");
  ASSERT_EQ(Redis::HSet(hash, "f", "v"), Redis::kSuccess);
  std::tie(result, scores) = ZScores(hash, {"a", "b"});
  EXPECT_EQ(result, Redis::kError);
  EXPECT_EQ(scores,
            (Redis::MemberScores{{Redis::kError, 0}, {Redis::kError, 0}}));

  // A large batch: every answer lands on its own member.
  std::vector<std::string> members;
  for (int i = 0; i < 2000; ++i) {
    members.push_back("bulk" + std::to_string(i));
    if (i % 3 == 0) {
      ASSERT_EQ(Redis::ZAdd(key, i, members.back()), Redis::kSuccess);
    }
  }
  std::tie(result, scores) = ZScores(key, members);
  ASSERT_EQ(result, Redis::kSuccess);
  ASSERT_EQ(scores.size(), members.size());
  for (int i = 0; i < 2000; ++i) {
    if (i % 3 == 0) {
      EXPECT_EQ(scores[i], std::make_pair(Redis::kSuccess, double(i)));
    } else {
      EXPECT_EQ(scores[i].first, Redis::kNoValue);
    }
  }
}

TEST_F(RedisTest, ManyThreadsShareTheClient) {
  const std::string zset = Key("zset");
  const std::string hash = Key("hash");
  constexpr int kThreads = 8;
  constexpr int kPerThread = 150;
  std::atomic<int> mismatches{0};
  std::atomic<int> async_done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string member =
            "t" + std::to_string(t) + "_" + std::to_string(i);
        const double score = t * 1000.0 + i + 0.5;
        if (Redis::ZAdd(zset, score, member) != Redis::kSuccess) ++mismatches;
        if (Redis::HSet(hash, member, std::to_string(score)) !=
            Redis::kSuccess) {
          ++mismatches;
        }
        double read = 0;
        if (Redis::ZScore(zset, member, &read) != Redis::kSuccess ||
            read != score) {
          ++mismatches;
        }
        std::string text;
        if (Redis::HGet(hash, member, &text) != Redis::kSuccess ||
            text != std::to_string(score)) {
          ++mismatches;
        }
        Redis::ZScoreExtAsync(
            zset, {member, "nobody"},
            [&, score](Redis::Result r, const Redis::MemberScores& s) {
              if (r != Redis::kSuccess || s.size() != 2 ||
                  s[0] != std::make_pair(Redis::kSuccess, score) ||
                  s[1].first != Redis::kNoValue) {
                ++mismatches;
              }
              ++async_done;
            });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(plemox_test::WaitFor(
      [&] { return async_done == kThreads * kPerThread; }, 60s));
  EXPECT_EQ(mismatches, 0);
  int64_t count = 0;
  EXPECT_EQ(Redis::ZCard(zset, &count), Redis::kSuccess);
  EXPECT_EQ(count, kThreads * kPerThread);
}

// A redis-server child process on its own port, killed with the test.
class RedisServerProcess {
 public:
  explicit RedisServerProcess(int port, std::vector<std::string> extra = {})
      : port_(port), extra_(std::move(extra)) {}
  ~RedisServerProcess() { Kill(); }

  void Start() {
    ASSERT_EQ(pid_, -1);
    std::vector<std::string> args = {
        "redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",
        "--save",       "",       "--appendonly",        "no"};
    args.insert(args.end(), extra_.begin(), extra_.end());
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  void Pause() { kill(pid_, SIGSTOP); }
  void Resume() { kill(pid_, SIGCONT); }

 private:
  const int port_;
  const std::vector<std::string> extra_;
  pid_t pid_ = -1;
};

// The shared server stays the default; the tag "private" points at a server
// that the test owns.
class RedisOutageTest : public RedisTest {
 protected:
  void SetUp() override {
    port_ = plemox_test::FreePort();
    ASSERT_GT(port_, 0);
    FLAGS_redis_host = plemox_test::RedisHost();
    FLAGS_redis_port = plemox_test::RedisPort();
    FLAGS_redis_password = "";
    FLAGS_redis_servers = "private=127.0.0.1:" + std::to_string(port_);
    FLAGS_redis_timeout_ms = 500;
    FLAGS_redis_async_threads_size = 4;
    ASSERT_TRUE(Redis::Initialize());
  }

  bool PrivateAnswers() {
    return Redis::HSet("outage", "f", "v", "private") == Redis::kSuccess;
  }

  // Opens several pooled connections to the private server.
  void FillPool() {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 20; ++i) {
          EXPECT_EQ(Redis::ZAdd("z", i, "m", "private"), Redis::kSuccess);
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }

  int port_ = 0;
};

// Whether something listens on 127.0.0.1:`port`.
bool PortAccepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

TEST_F(RedisOutageTest, KilledServerFailsFastAndRestartRecovers) {
  RedisServerProcess server(port_);
  server.Start();
  ASSERT_TRUE(plemox_test::WaitFor([&] { return PrivateAnswers(); }));

  FillPool();
  double score = 0;
  ASSERT_EQ(Redis::ZScore("z", "m", &score, "private"), Redis::kSuccess);

  plemox_test::LogCapture log;
  server.Kill();

  score = -1;
  EXPECT_EQ(Redis::ZScore("z", "m", &score, "private"),
            Redis::kConnectionFailure);
  EXPECT_EQ(score, -1);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Redis::ZAdd("z", i, "m", "private"), Redis::kConnectionFailure);
  }
  std::string value;
  EXPECT_EQ(Get("k", &value, "private"), Redis::kConnectionFailure);
  auto [result, scores] = ZScores("z", {"m", "n"}, "private");
  EXPECT_EQ(result, Redis::kConnectionFailure);
  EXPECT_EQ(scores.size(), 2u);
  // One outage, one error line, however many calls failed.
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "tag='private'"), 1);
  // The other server is not affected.
  const std::string key = Key("unaffected");
  EXPECT_EQ(Redis::HSet(key, "f", "v"), Redis::kSuccess);

  server.Start();
  ASSERT_TRUE(plemox_test::WaitFor([&] { return PrivateAnswers(); }));
  EXPECT_EQ(log.Count(google::GLOG_INFO,
                      "Redis server available again: tag='private'"),
            1);
  // The restarted server kept nothing; answers come from it.
  EXPECT_EQ(Redis::ZScore("z", "m", &score, "private"), Redis::kNoValue);
  EXPECT_EQ(Get("outage", &value, "private"), Redis::kError);  // a hash
  EXPECT_EQ(
      Set("k", "v", Redis::kExpireSeconds, 10, Redis::kSetAlways, "private"),
      Redis::kSuccess);
  EXPECT_EQ(Get("k", &value, "private"), Redis::kSuccess);
  EXPECT_EQ(value, "v");
}

TEST_F(RedisOutageTest, RestartBetweenCallsIsInvisible) {
  RedisServerProcess server(port_);
  server.Start();
  ASSERT_TRUE(plemox_test::WaitFor([&] { return PrivateAnswers(); }));
  FillPool();

  // Every pooled connection is dead after the restart. Wait for the new
  // server with a plain TCP probe so the client's pool stays as it was.
  server.Kill();
  server.Start();
  ASSERT_TRUE(plemox_test::WaitFor([&] { return PortAccepts(port_); }));

  // The first call after the restart already succeeds: the client notices
  // the closed connection and retries on a new one.
  EXPECT_EQ(Redis::HSet("restart", "f", "v", "private"), Redis::kSuccess);
  std::string value;
  EXPECT_EQ(Redis::HGet("restart", "f", &value, "private"), Redis::kSuccess);
  EXPECT_EQ(value, "v");
}

// A caller that ran several commands learns from its thread's tally
// whether one of them lost the connection (its outcome then unknown).
TEST_F(RedisOutageTest, ThreadTallyCountsCommandsAndConnectionFailures) {
  RedisServerProcess server(port_);
  server.Start();
  ASSERT_TRUE(plemox_test::WaitFor([&] { return PrivateAnswers(); }));
  const Redis::ThreadTally before = Redis::GetThreadTally();
  std::string value;
  EXPECT_EQ(Redis::HGet("tally", "f", &value, "private"), Redis::kNoValue);
  EXPECT_EQ(Redis::HGet("tally", "f", &value, "nosuchtag"), Redis::kError);
  Redis::ThreadTally after = Redis::GetThreadTally();
  EXPECT_EQ(after.commands - before.commands, 1u);
  EXPECT_EQ(after.connection_failures, before.connection_failures);

  server.Pause();
  EXPECT_EQ(Redis::HSet("tally", "f", "v", "private"),
            Redis::kConnectionFailure);
  server.Resume();
  after = Redis::GetThreadTally();
  EXPECT_EQ(after.commands - before.commands, 2u);
  EXPECT_EQ(after.connection_failures - before.connection_failures, 1u);
  // Another thread's commands are not in this thread's tally.
  std::thread([] {
    std::string other;
    Redis::HGet("tally", "f", &other, "private");
  }).join();
  EXPECT_EQ(Redis::GetThreadTally().commands, after.commands);
}

TEST_F(RedisOutageTest, HungServerTimesOutWithoutMixingUpReplies) {
  RedisServerProcess server(port_);
  server.Start();
  ASSERT_TRUE(plemox_test::WaitFor([&] { return PrivateAnswers(); }));
  ASSERT_EQ(Redis::HSet("hung", "f1", "one", "private"), Redis::kSuccess);
  ASSERT_EQ(Redis::HSet("hung", "f2", "two", "private"), Redis::kSuccess);

  server.Pause();
  std::string value = "unchanged";
  EXPECT_EQ(Redis::HGet("hung", "f1", &value, "private"),
            Redis::kConnectionFailure);
  EXPECT_EQ(value, "unchanged");
  EXPECT_EQ(Get("k", &value, "private"), Redis::kConnectionFailure);
  server.Resume();

  // The late replies to the timed-out commands must not be taken as the
  // answers to later ones.
  ASSERT_TRUE(plemox_test::WaitFor([&] {
    return Redis::HGet("hung", "f2", &value, "private") == Redis::kSuccess;
  }));
  EXPECT_EQ(value, "two");
  EXPECT_EQ(Redis::HGet("hung", "f1", &value, "private"), Redis::kSuccess);
  EXPECT_EQ(value, "one");
}

TEST_F(RedisOutageTest, AuthenticatesWithThePassword) {
  RedisServerProcess server(port_, {"--requirepass", "s3cret pass"});
  server.Start();
  // Without the password the server refuses every command.
  ASSERT_TRUE(plemox_test::WaitFor([&] {
    int64_t count = 0;
    return Redis::ZCard("z", &count, "private") == Redis::kError;
  }));
  Redis::Finalize();
  FLAGS_redis_password = "wrong";
  ASSERT_TRUE(Redis::Initialize());
  EXPECT_EQ(Redis::HSet("auth", "f", "v", "private"),
            Redis::kConnectionFailure);
  Redis::Finalize();
  FLAGS_redis_password = "s3cret pass";
  FLAGS_redis_servers = "private=127.0.0.1:" + std::to_string(port_);
  // The default server has no password; only the private tag is used here.
  ASSERT_TRUE(Redis::Initialize());
  EXPECT_EQ(Redis::HSet("auth", "f", "v", "private"), Redis::kSuccess);
  std::string value;
  EXPECT_EQ(Redis::HGet("auth", "f", &value, "private"), Redis::kSuccess);
  EXPECT_EQ(value, "v");
}

}  // namespace
