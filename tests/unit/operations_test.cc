// In-process checks of the monitoring pieces: readiness rounds (cached, so
// probes cannot load the servers; every failing check named), scrape-time
// collectors, and answers counted by the type of their request even when
// the answer (a failure) carries no type.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/uuid/random_generator.hpp>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "leaderboard/service/leaderboard_metrics.h"
#include "leaderboard/service/request_ledger.h"
#include "leaderboard/service/session.h"
#include "vel/http/health_checks.h"
#include "vel/message/leaderboard_message_writer.h"
#include "vel/metrics/metrics_registry.h"

namespace plemox {
namespace {

using vel::HealthChecks;
using vel::MetricsRegistry;

class HealthChecksTest : public testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"a", "b", "c", "d"}) {
      HealthChecks::RemoveReadinessCheck(name);
    }
    HealthChecks::SetCacheTime(std::chrono::seconds(1));
  }
};

TEST_F(HealthChecksTest, ARoundIsReusedWithinTheCacheTime) {
  int runs = 0;
  HealthChecks::SetCacheTime(std::chrono::hours(1));
  HealthChecks::SetReadinessCheck("a", [&](std::string*) {
    ++runs;
    return true;
  });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(HealthChecks::CheckReadiness().ready);
  EXPECT_EQ(runs, 1);

  // A changed set of checks is never answered from the old round.
  HealthChecks::SetReadinessCheck("b", [](std::string* error) {
    *error = "down";
    return false;
  });
  EXPECT_FALSE(HealthChecks::CheckReadiness().ready);
  EXPECT_EQ(runs, 2);
  HealthChecks::RemoveReadinessCheck("b");
  EXPECT_TRUE(HealthChecks::CheckReadiness().ready);
  EXPECT_EQ(runs, 3);

  HealthChecks::SetCacheTime(std::chrono::milliseconds(0));
  HealthChecks::CheckReadiness();
  HealthChecks::CheckReadiness();
  EXPECT_EQ(runs, 5);
}

TEST_F(HealthChecksTest, EveryFailingCheckIsNamedWithItsReason) {
  HealthChecks::SetCacheTime(std::chrono::milliseconds(0));
  HealthChecks::SetReadinessCheck("a", [](std::string*) { return true; });
  HealthChecks::SetReadinessCheck("b", [](std::string* error) {
    *error = "connection refused";
    return false;
  });
  HealthChecks::SetReadinessCheck("c", [](std::string*) { return false; });
  HealthChecks::SetReadinessCheck(
      "d", [](std::string*) -> bool { throw std::runtime_error("boom"); });
  const HealthChecks::Readiness readiness = HealthChecks::CheckReadiness();
  EXPECT_FALSE(readiness.ready);
  EXPECT_EQ(readiness.failing, (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(readiness.results.at("a"), "");
  EXPECT_EQ(readiness.results.at("b"), "connection refused");
  // A failure always has a reason, so it never reads as a pass.
  EXPECT_EQ(readiness.results.at("c"), "not ready");
  EXPECT_EQ(readiness.results.at("d"), "the check threw: boom");
}

TEST_F(HealthChecksTest, ARunningRoundDoesNotHoldOtherCallers) {
  HealthChecks::SetCacheTime(std::chrono::milliseconds(0));
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> runs{0};
  HealthChecks::SetReadinessCheck("a", [&](std::string* error) {
    // The second round hangs, like a check against a hung server.
    if (runs++ == 1) {
      entered.set_value();
      released.wait();
    }
    *error = "down";
    return false;
  });
  EXPECT_FALSE(HealthChecks::CheckReadiness().ready);  // the last result
  std::thread slow([] { HealthChecks::CheckReadiness(); });
  entered.get_future().wait();
  // Answered at once from the last round, while the slow one still runs
  // (a caller that waited for it would hold an API thread as long).
  auto during = std::async(std::launch::async,
                           [] { return HealthChecks::CheckReadiness(); });
  const bool prompt =
      during.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_EQ(runs.load(), 2);
  release.set_value();
  slow.join();
  ASSERT_TRUE(prompt);
  EXPECT_EQ(during.get().failing, std::vector<std::string>{"a"});
}

TEST(MetricsRegistryTest, CollectorsJoinTheScrapeUntilRemoved) {
  const int id =
      MetricsRegistry::AddCollector([](MetricsRegistry::Families* families) {
        // Families are filled after later ones were added, as collectors
        // of several related families do: each must keep its samples.
        std::vector<prometheus::MetricFamily*> added;
        for (int i = 0; i < 20; ++i) {
          added.push_back(MetricsRegistry::AddFamily(
              families, "plemox_test_family" + std::to_string(i), "Test",
              prometheus::MetricType::Counter));
        }
        MetricsRegistry::AddSample(
            MetricsRegistry::AddFamily(families, "plemox_test_depth", "Depth",
                                       prometheus::MetricType::Gauge),
            {{"queue", "q1"}}, 42);
        for (int i = 0; i < 20; ++i) {
          MetricsRegistry::AddSample(added[i], {}, i);
        }
      });
  const std::string with = MetricsRegistry::Serialize();
  EXPECT_NE(with.find("\nplemox_test_family0 0\n"), std::string::npos) << with;
  EXPECT_NE(with.find("\nplemox_test_family19 19\n"), std::string::npos)
      << with;
  EXPECT_NE(with.find("# TYPE plemox_test_depth gauge\n"), std::string::npos)
      << with;
  EXPECT_NE(with.find("plemox_test_depth{queue=\"q1\"} 42\n"),
            std::string::npos)
      << with;
  // The host's own families are there from the first scrape on.
  EXPECT_NE(with.find("plemox_redis_errors_total{kind=\"reply\"} 0\n"),
            std::string::npos)
      << with;
  MetricsRegistry::RemoveCollector(id);
  EXPECT_EQ(MetricsRegistry::Serialize().find("plemox_test_depth"),
            std::string::npos);
}

TEST(RequestLedgerTest, RequestsSharingAUuidAreTakenOnceEach) {
  RequestLedger ledger;
  const boost::uuids::uuid uuid = boost::uuids::random_generator()();
  ledger.Add(uuid, Leaderboard::Request::kScoreSubmission, 5);
  ledger.Add(uuid, Leaderboard::Request::kLeaderboardQuery, 6);
  RequestLedger::Entry first;
  RequestLedger::Entry second;
  ASSERT_TRUE(ledger.Take(uuid, &first));
  ASSERT_TRUE(ledger.Take(uuid, &second));
  EXPECT_EQ(first.type + second.type,
            Leaderboard::Request::kScoreSubmission +
                Leaderboard::Request::kLeaderboardQuery);
  RequestLedger::Entry untouched{99, 99};
  EXPECT_FALSE(ledger.Take(uuid, &untouched));
  EXPECT_EQ(untouched.type, 99);

  // Bounded: a flood of requests never answered cannot grow it without end.
  for (std::size_t i = 0; i < RequestLedger::kMaxEntries + 10; ++i) {
    ledger.Add(uuid, Leaderboard::Request::kScoreSubmission, 0);
  }
  EXPECT_EQ(ledger.size(), RequestLedger::kMaxEntries);
}

std::string Sample(const std::string& type, const std::string& answer) {
  const std::string text = MetricsRegistry::Serialize();
  const std::string key = "plemox_leaderboard_requests_total{answer=\"" +
                          answer + "\",type=\"" + type + "\"} ";
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return "missing";
  return text.substr(at + key.size(), text.find('\n', at) - at - key.size());
}

TEST(LeaderboardMetricsTest, AFailureIsCountedByTheTypeOfItsRequest) {
  // No connection: the answer is dropped but still counted.
  ClientSession session(nullptr);
  const boost::uuids::uuid uuid = boost::uuids::random_generator()();
  session.ExpectAnswer(uuid, Leaderboard::Request::kScoreSubmission);
  const auto failure = vel::LeaderboardMessageWriter::CreateFailResponse(
      uuid, Leaderboard::Response::kFailUnknown, "internal db error");
  ASSERT_FALSE(failure->has_type());
  session.Send(*failure);
  EXPECT_EQ(Sample("kScoreSubmission", "kFailUnknown"), "1");
  EXPECT_EQ(Sample("unknown", "kFailUnknown"), "0");

  // An answer nobody expected is counted by the type it carries, or as
  // unknown without one.
  session.Send(*failure);
  EXPECT_EQ(Sample("unknown", "kFailUnknown"), "1");
  session.Send(*vel::LeaderboardMessageWriter::CreateLeaderboardResetResponse(
      uuid, false, "2021-Feb-08 12:34:56"));
  EXPECT_EQ(Sample("kLeaderboardReset", "success"), "1");
}

}  // namespace
}  // namespace plemox
