// The host's process-wide services: I/O groups, events, timers and the small
// value types that components receive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "support/test_env.h"
#include "vel/core/argument_map.h"
#include "vel/core/event.h"
#include "vel/core/io_service.h"
#include "vel/core/json.h"
#include "vel/core/random_generator.h"
#include "vel/core/raw_timer.h"
#include "vel/core/secret_file.h"
#include "vel/core/util.h"

namespace vel {
namespace {

using plemox_test::WaitFor;

class HostServicesEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(Event::Start(2));
    ASSERT_TRUE(RawTimer::Start(1));
  }
  void TearDown() override {
    RawTimer::Stop();
    Event::Stop();
    IoService::StopAll();
  }
};
const auto* const the_environment =
    testing::AddGlobalTestEnvironment(new HostServicesEnvironment);

TEST(IoServiceTest, GroupsAreNamedAndUnique) {
  EXPECT_EQ(IoService::GetIoGroup("io_service_test.missing"), nullptr);
  EXPECT_FALSE(IoService::CreateIoGroup("io_service_test.zero", 0));
  ASSERT_TRUE(IoService::CreateIoGroup("io_service_test.a", 2));
  EXPECT_FALSE(IoService::CreateIoGroup("io_service_test.a", 1));
  auto context = IoService::GetIoGroup("io_service_test.a");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context, IoService::GetOrCreateIoGroup("io_service_test.a", 5));

  // Both threads of the group run posted work.
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> done{0};
  for (int i = 0; i < 200; ++i) {
    boost::asio::post(*context, [&] {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::lock_guard<std::mutex> lock(mutex);
      threads.insert(std::this_thread::get_id());
      ++done;
    });
  }
  ASSERT_TRUE(WaitFor([&] { return done == 200; }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(threads.size(), 2u);
}

struct PingEvent {
  int value = 0;
};
struct OtherEvent {};

TEST(EventTest, HandlersRunInOrderUntilOneStopsTheChain) {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::atomic<int> other_calls{0};
  Event::RegisterHandler<PingEvent>([&](const std::shared_ptr<PingEvent>& e) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back("first:" + std::to_string(e->value));
    return e->value == 2 ? 1 : 0;  // Event 2 stops here.
  });
  Event::RegisterHandler<PingEvent>([&](const std::shared_ptr<PingEvent>& e) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back("second:" + std::to_string(e->value));
    return 0;
  });
  Event::RegisterHandler<OtherEvent>([&](const std::shared_ptr<OtherEvent>&) {
    ++other_calls;
    return 0;
  });

  auto first = std::make_shared<PingEvent>();
  first->value = 1;
  ASSERT_TRUE(Event::Post(first));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size() == 2;
  }));
  auto second = std::make_shared<PingEvent>();
  second->value = 2;
  ASSERT_TRUE(Event::Post(second));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size() == 3;
  }));
  // Give a wrongly continued chain the chance to show up.
  std::atomic<bool> flushed{false};
  ASSERT_TRUE(Event::Invoke([&] { flushed = true; }));
  ASSERT_TRUE(WaitFor([&] { return flushed.load(); }));

  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls,
            (std::vector<std::string>{"first:1", "second:1", "first:2"}));
  EXPECT_EQ(other_calls, 0);  // Handlers are per event type.
}

TEST(RawTimerTest, OneShotFiresOnceAndRepeatingUntilCancelled) {
  std::atomic<int> once{0};
  std::atomic<RawTimer::TimerId> seen_id{RawTimer::kInvalidTimerId};
  const auto once_id =
      RawTimer::ExpireAfter(1000, [&](RawTimer::TimerId id, std::int64_t) {
        seen_id = id;
        ++once;
      });
  ASSERT_NE(once_id, RawTimer::kInvalidTimerId);
  ASSERT_TRUE(WaitFor([&] { return once == 1; }));
  EXPECT_EQ(seen_id, once_id);
  EXPECT_FALSE(RawTimer::Cancel(once_id));  // Already fired.

  std::atomic<int> ticks{0};
  const auto repeating = RawTimer::ExpireRepeatedly(
      1000, [&](RawTimer::TimerId, std::int64_t) { ++ticks; });
  ASSERT_TRUE(WaitFor([&] { return ticks >= 3; }));
  EXPECT_TRUE(RawTimer::Cancel(repeating));
  const int after_cancel = ticks;
  // A later one-shot timer proves time went on without further ticks.
  std::atomic<bool> later{false};
  RawTimer::ExpireAfter(20000,
                        [&](RawTimer::TimerId, std::int64_t) { later = true; });
  ASSERT_TRUE(WaitFor([&] { return later.load(); }));
  EXPECT_LE(ticks, after_cancel + 1);  // At most one callback was in flight.
  EXPECT_EQ(once, 1);
}

TEST(RawTimerTest, CancelledBeforeExpiryNeverFires) {
  std::atomic<bool> fired{false};
  const auto id = RawTimer::ExpireAfter(
      50000, [&](RawTimer::TimerId, std::int64_t) { fired = true; });
  EXPECT_TRUE(RawTimer::Cancel(id));
  std::atomic<bool> later{false};
  RawTimer::ExpireAfter(100000,
                        [&](RawTimer::TimerId, std::int64_t) { later = true; });
  ASSERT_TRUE(WaitFor([&] { return later.load(); }));
  EXPECT_FALSE(fired);
}

TEST(JsonTest, AccessorsToleratesWrongTypes) {
  Json value;
  ASSERT_TRUE(Json::Parse(R"({"ids": ["a", "b"], "n": 3, "f": 1.5, "b": true})",
                          &value));
  EXPECT_TRUE(value["ids"].IsArray());
  EXPECT_EQ(value["ids"].Size(), 2u);
  EXPECT_EQ(value["ids"][1].GetString(), "b");
  EXPECT_TRUE(value["n"].IsInt());
  EXPECT_FALSE(value["f"].IsInt());
  EXPECT_TRUE(value["missing"].IsNull());
  EXPECT_TRUE(value["ids"]["not an object"].IsNull());
  EXPECT_EQ(value["n"].TypeName(), "number");
  EXPECT_EQ(value["ids"].TypeName(), "array");

  Json untouched = Json::MakeObject();
  EXPECT_FALSE(Json::Parse("{broken", &untouched));
  EXPECT_TRUE(untouched.IsObject());
}

TEST(ArgumentMapTest, FindArrayArgumentKeepsWhatTheManifestGave) {
  Json arguments;
  ASSERT_TRUE(Json::Parse(R"({"list": [1], "object": {"a": 1}})", &arguments));
  ArgumentMap map(arguments);
  EXPECT_TRUE(map.FindArrayArgument("list").IsArray());
  EXPECT_TRUE(map.FindArrayArgument("missing").IsNull());
  // A wrong type is passed on for the component to report.
  EXPECT_TRUE(map.FindArrayArgument("object").IsObject());
}

TEST(UtilTest, UuidBytesRoundTripAndShortInputIsPadded) {
  const std::string bytes = "0123456789abcdef";
  const auto uuid = util::FromBytes(bytes);
  EXPECT_EQ(util::ToBytes(uuid), bytes);
  EXPECT_EQ(boost::uuids::to_string(util::FromBytes("")),
            "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(util::FromBytes(bytes + "extra"), uuid);
}

TEST(RandomGeneratorTest, StaysWithinInclusiveBounds) {
  std::set<std::int64_t> seen;
  for (int i = 0; i < 2000; ++i) {
    const auto n = RandomGenerator::GenerateNumber(0, 3);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, 3);
    seen.insert(n);
  }
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(RandomGenerator::GenerateNumber(7, 7), 7);
}

// A secret as the file holds it, without the newline an editor adds; a file
// that would give an empty or a several-line secret is refused.
TEST(SecretFileTest, ReadsOneLineWithoutItsNewline) {
  const std::string path =
      testing::TempDir() + "secret_file_test_" + std::to_string(getpid());
  const auto read = [&](const std::string& content, std::string* out) {
    std::ofstream(path, std::ios::binary) << content;
    std::string error;
    const bool ok = SecretFile::Read(path, out, &error);
    if (!ok) *out = "error: " + error;
    return ok;
  };
  std::string secret;
  EXPECT_TRUE(read(" pass word\n", &secret));
  EXPECT_EQ(secret, " pass word");
  EXPECT_TRUE(read("crlf\r\n", &secret));
  EXPECT_EQ(secret, "crlf");
  EXPECT_TRUE(read("no newline", &secret));
  EXPECT_EQ(secret, "no newline");
  EXPECT_FALSE(read("\n", &secret));
  EXPECT_EQ(secret, "error: " + path + " is empty");
  EXPECT_FALSE(read("one\ntwo\n", &secret));
  EXPECT_FALSE(read("one\n\n", &secret));
  std::remove(path.c_str());

  std::string error;
  EXPECT_FALSE(SecretFile::Read(path, &secret, &error));
  EXPECT_EQ(error, "cannot read " + path + ": No such file or directory");
  EXPECT_TRUE(
      SecretFile::Resolve("pw", "given", "pw_file", "", &secret, &error));
  EXPECT_EQ(secret, "given");
  EXPECT_FALSE(
      SecretFile::Resolve("pw", "given", "pw_file", path, &secret, &error));
  EXPECT_EQ(error, "give --pw or --pw_file, not both");
}

}  // namespace
}  // namespace vel
