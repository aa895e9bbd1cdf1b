// The load generator's fixed-rate (open-loop) mode: the schedule, the bound
// on outstanding requests and the latency accounting from due times.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "client/load_generator/load_generator.h"
#include "client/load_generator/load_generator_schedule.h"
#include "support/scripted_server.h"

namespace plemox {
namespace {

using Kind = LoadGenerator::RequestKind;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using Clock = LoadGeneratorSchedule::Clock;

TEST(LoadGeneratorScheduleTest, SpacesRequestsEvenlyOverConnections) {
  const Clock::time_point start = Clock::now();
  const LoadGeneratorSchedule schedule(1000, 3, start, milliseconds(10), 0);
  // Due at 0, 1, ..., 9 ms: the one due at the end itself is outside.
  ASSERT_EQ(schedule.size(), 10u);
  for (uint64_t i = 0; i < 12; ++i) {
    EXPECT_EQ(schedule.DueAt(i), start + milliseconds(i)) << i;
    EXPECT_EQ(schedule.ConnectionOf(i), static_cast<int>(i % 3)) << i;
  }
  EXPECT_EQ(schedule.DueBy(start - nanoseconds(1)), 0u);
  EXPECT_EQ(schedule.DueBy(start), 1u);
  EXPECT_EQ(schedule.DueBy(start + milliseconds(1) - nanoseconds(1)), 1u);
  EXPECT_EQ(schedule.DueBy(start + milliseconds(1)), 2u);
  EXPECT_EQ(schedule.DueBy(start + milliseconds(5) + nanoseconds(500)), 6u);
  EXPECT_EQ(schedule.DueBy(start + std::chrono::hours(1)), 10u);

  // The request budget caps the schedule; alone it makes the schedule.
  EXPECT_EQ(LoadGeneratorSchedule(1000, 3, start, milliseconds(10), 4).size(),
            4u);
  EXPECT_EQ(LoadGeneratorSchedule(1000, 3, start, milliseconds(10), 50).size(),
            10u);
  const LoadGeneratorSchedule counted(1000, 2, start, milliseconds(0), 7);
  EXPECT_EQ(counted.size(), 7u);
  EXPECT_EQ(counted.DueBy(start + std::chrono::hours(1)), 7u);
  EXPECT_EQ(LoadGeneratorSchedule(5, 1, start, milliseconds(0), 0).size(), 0u);
}

TEST(LoadGeneratorScheduleTest, RatesThatDoNotDivideAndLongRunsStayExact) {
  const Clock::time_point start = Clock::now();
  const LoadGeneratorSchedule thirds(3, 1, start, std::chrono::seconds(1), 0);
  EXPECT_EQ(thirds.size(), 3u);
  EXPECT_EQ(thirds.DueAt(1), start + nanoseconds(333333333));
  EXPECT_EQ(thirds.DueAt(2), start + nanoseconds(666666667));
  const LoadGeneratorSchedule sevens(7, 4, start, std::chrono::seconds(2), 0);
  EXPECT_EQ(sevens.size(), 14u);
  // DueBy agrees with DueAt at every due time and just before it.
  for (uint64_t i = 1; i < 14; ++i) {
    EXPECT_EQ(sevens.DueBy(sevens.DueAt(i)), i + 1) << i;
    EXPECT_EQ(sevens.DueBy(sevens.DueAt(i) - nanoseconds(1)), i) << i;
  }
  // The fastest rate over the longest run: a day at 10 million per second.
  const LoadGeneratorSchedule day(1e7, 16, start, std::chrono::hours(24), 0);
  EXPECT_EQ(day.size(), uint64_t{864000000000});
  const uint64_t last = day.size() - 1;
  EXPECT_EQ(day.DueAt(last), start + nanoseconds(last * 100));
  EXPECT_EQ(day.DueBy(day.DueAt(last)), day.size());
  EXPECT_EQ(day.DueBy(day.DueAt(last) - nanoseconds(1)), last);
}

TEST(LoadGeneratorFixedRateTest, ValidateNamesTheBadRateSettings) {
  LoadGenerator::Options good;
  good.leaderboard_ids = {"lb"};
  good.mix.weights[0] = 1;
  good.rate = 2500;
  EXPECT_EQ(good.Validate(), "");
  for (double rate : {-1.0, 2e7, std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::infinity()}) {
    LoadGenerator::Options bad = good;
    bad.rate = rate;
    EXPECT_NE(bad.Validate().find("rate"), std::string::npos) << rate;
  }
  for (int bound : {0, -3, 100001}) {
    LoadGenerator::Options bad = good;
    bad.max_outstanding = bound;
    EXPECT_NE(bad.Validate().find("max_outstanding"), std::string::npos)
        << bound;
  }
}

LoadGenerator::Options FixedRateOptions(uint16_t port, double rate,
                                        int connections, milliseconds length,
                                        const std::string& mix) {
  LoadGenerator::Options options;
  options.port = port;
  options.connections = connections;
  options.rate = rate;
  options.duration = length;
  options.timeout = milliseconds(1000);
  options.leaderboard_ids = {"lb_a", "lb_b"};
  options.players = 50;
  std::string error;
  EXPECT_TRUE(LoadGenerator::Mix::Parse(mix, &options.mix, &error)) << error;
  return options;
}

TEST(LoadGeneratorFixedRateTest, ASlowServerDoesNotSlowTheOfferedLoad) {
  // Every answer takes 40 ms: a closed loop of 4 in flight per connection
  // could send 100 a second per connection; the schedule asks 250.
  ScriptedServer server(MixedPolicy, milliseconds(40));
  LoadGenerator generator(FixedRateOptions(
      server.port(), 500, 2, milliseconds(400), "submit=1,top=1"));
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();

  EXPECT_TRUE(report.fixed_rate);
  EXPECT_EQ(report.scheduled, 200u);
  EXPECT_EQ(report.total.sent, 200u);
  EXPECT_EQ(report.total.dropped, 0u);
  EXPECT_EQ(report.abandoned, 0u);
  EXPECT_EQ(server.requests().size(), 200u);
  // Submissions succeed and public queries fail in this policy: all
  // answered, each with a latency of at least the server's delay.
  const auto& submit = report.of(Kind::kSubmit);
  const auto& top = report.of(Kind::kTop);
  EXPECT_EQ(submit.ok, submit.sent);
  EXPECT_EQ(top.failed(), top.sent);
  EXPECT_EQ(report.total.latency.count(), 200u);
  EXPECT_GE(report.total.latency.min(), 40000u);
  EXPECT_GT(server.max_unanswered(), 4u);
  EXPECT_NEAR(report.AchievedRate(),
              submit.ok * 1e6 / static_cast<double>(report.elapsed.count()),
              1e-6);

  // The offered rate is split over the kinds by what each was drawn.
  // The total row: 200 ended, nothing dropped, 500 offered a second.
  const std::string tsv = LoadGenerator::FormatTsv("fixed", report);
  const size_t total = tsv.find("fixed\ttotal\t200\t");
  ASSERT_NE(total, std::string::npos) << tsv;
  std::vector<std::string> fields;
  std::string field;
  for (char c : tsv.substr(total)) {
    if (c == '\t' || c == '\n') {
      fields.push_back(field);
      field.clear();
      if (c == '\n') break;
    } else {
      field += c;
    }
  }
  ASSERT_EQ(fields.size(), 14u) << tsv;
  EXPECT_EQ(fields[11], "0") << tsv;
  EXPECT_EQ(fields[12], std::to_string(report.total.late)) << tsv;
  EXPECT_EQ(fields[13], "500") << tsv;
  const std::string table = LoadGenerator::FormatReport(report);
  EXPECT_NE(table.find("offered 500 req/s"), std::string::npos) << table;
  EXPECT_NE(table.find("200 scheduled, 200 sent, 0 dropped"), std::string::npos)
      << table;
}

TEST(LoadGeneratorFixedRateTest, AStalledServerFillsTheBoundAndTheRestDrop) {
  // Nothing but the authentication is ever answered.
  ScriptedServer server(
      [](const Request& request) -> std::optional<Response> {
        if (request.type() == Request::kLeaderboardAuthentication) {
          return Authenticated(true);
        }
        return std::nullopt;
      },
      milliseconds(0));
  LoadGenerator::Options options =
      FixedRateOptions(server.port(), 1000, 2, milliseconds(200), "submit=1");
  options.max_outstanding = 5;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();

  EXPECT_EQ(report.scheduled, 200u);
  // Five per connection went out, and each ended by its timeout (after the
  // schedule's end); every other due request is counted, none skipped.
  EXPECT_EQ(report.total.sent, 10u);
  EXPECT_EQ(report.total.timed_out, 10u);
  EXPECT_EQ(report.total.dropped, 190u);
  EXPECT_EQ(report.total.latency.count(), 0u);
  EXPECT_EQ(server.max_unanswered(), 5u);
  EXPECT_EQ(server.requests().size(), 10u);
  EXPECT_EQ(report.AchievedRate(), 0);
  const std::string table = LoadGenerator::FormatReport(report);
  EXPECT_NE(table.find("190 dropped (connection at 5 outstanding"),
            std::string::npos)
      << table;
}

TEST(LoadGeneratorFixedRateTest, LostConnectionsEndTheScheduleAndAreCounted) {
  ScriptedServer server(MixedPolicy, milliseconds(1));
  server.CloseAllAfter(30);
  // A schedule of 10 minutes: the run must end when the connections do.
  LoadGenerator generator(FixedRateOptions(server.port(), 500, 2,
                                           milliseconds(600000), "submit=1"));
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();
  EXPECT_EQ(report.lost_connections, 2);
  EXPECT_GT(report.abandoned, 0u);
  EXPECT_EQ(report.total.sent + report.total.dropped + report.abandoned,
            report.scheduled);
  EXPECT_EQ(report.total.finished(), report.total.sent);
  EXPECT_GE(report.total.disconnected, 1u);
  EXPECT_LT(report.elapsed, std::chrono::seconds(60));
  const std::string table = LoadGenerator::FormatReport(report);
  EXPECT_NE(table.find(std::to_string(report.abandoned) +
                       " not sent after every connection was lost"),
            std::string::npos)
      << table;
}

TEST(LoadGeneratorFixedRateTest, LatencyCountsFromTheDueTimeWhenSendsAreLate) {
  // The server answers at once, but the sender stalls for 150 ms once (in
  // its progress callback, which runs on the pacing thread): the requests
  // due meanwhile go out late, and their wait is part of their latency.
  ScriptedServer server(MixedPolicy, milliseconds(0));
  LoadGenerator::Options options =
      FixedRateOptions(server.port(), 400, 1, milliseconds(600), "submit=1");
  options.progress_interval = milliseconds(100);
  options.max_outstanding = 1000;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  bool stalled = false;
  ASSERT_TRUE(generator.Run(&report, [&](const LoadGenerator::Progress&) {
    if (stalled) return;
    stalled = true;
    std::this_thread::sleep_for(milliseconds(150));
  })) << generator.error();

  EXPECT_EQ(report.scheduled, 240u);
  EXPECT_EQ(report.total.sent, 240u);
  EXPECT_EQ(report.total.ok, 240u);
  EXPECT_EQ(report.total.dropped, 0u);
  // About 60 requests fell due during the stall.
  EXPECT_GE(report.total.late, 40u);
  EXPECT_GE(report.max_send_lag, milliseconds(100));
  const auto& latency = report.total.latency;
  EXPECT_GE(latency.max(), 100000u);
  EXPECT_GE(latency.ValueAtQuantile(0.99), 50000u);
  // Most requests fell due outside the stall: their latency does not count
  // from some earlier point such as the start of the run (300 ms median).
  // The margin is for loaded test machines.
  EXPECT_LT(latency.ValueAtQuantile(0.5), 140000u);
}

}  // namespace
}  // namespace plemox
