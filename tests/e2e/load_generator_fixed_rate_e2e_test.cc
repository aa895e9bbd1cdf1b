// The load generator's fixed-rate mode against the real host: every due
// request is sent and answered, and the submissions reach the rankings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "client/load_generator/load_generator.h"
#include "support/host_process.h"
#include "support/leaderboard_cleanup.h"
#include "support/running_server.h"
#include "support/store_probe.h"

namespace plemox_test {
namespace {

using plemox::LoadGenerator;

TEST(LoadGeneratorFixedRateE2eTest, EveryDueRequestIsAnsweredByTheServer) {
  const std::string id = "e2erate" + std::to_string(getpid());
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {id});
  RunningServer server(HostProcess::Options::WithArguments(
                           "\"leaderboard_ids\": [\"" + id + "\"]"),
                       "fixed-rate-test");

  LoadGenerator::Options options;
  options.port = static_cast<uint16_t>(server.host().tcp_port());
  options.connections = 2;
  options.rate = 200;
  options.duration = std::chrono::milliseconds(1000);
  options.leaderboard_ids = {id};
  options.players = 100;
  std::string error;
  ASSERT_TRUE(LoadGenerator::Mix::Parse("submit=1,top=1", &options.mix, &error))
      << error;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();

  EXPECT_EQ(report.scheduled, 200u);
  EXPECT_EQ(report.total.sent, 200u);
  EXPECT_EQ(report.total.ok, 200u) << LoadGenerator::FormatReport(report);
  EXPECT_EQ(report.total.dropped, 0u);
  EXPECT_EQ(report.total.latency.count(), 200u);
  EXPECT_EQ(report.lost_connections, 0);
  const auto& submit = report.of(LoadGenerator::RequestKind::kSubmit);
  ASSERT_GT(submit.ok, 0u);
  // Each submission's player is in the all-time ranking (players repeat).
  const size_t ranked =
      probe.SortedSet("leaderboard:" + id + ":alltime").size();
  EXPECT_GT(ranked, 0u);
  EXPECT_LE(ranked, std::min<uint64_t>(submit.ok, options.players));
}

}  // namespace
}  // namespace plemox_test
