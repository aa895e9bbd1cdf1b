// Latency statistics: Welford's running mean and deviation, the one-minute
// window, and the report's shape.
#include "leaderboard/service/profiling_counters.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include <cmath>

#include "vel/core/host_flags.h"

namespace plemox {
namespace {

class ProfilingCountersTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = FLAGS_enable_event_profiler;
    FLAGS_enable_event_profiler = true;
    ProfilingCounters::ResetForTesting(kStart);
  }
  void TearDown() override { FLAGS_enable_event_profiler = saved_; }

  static vel::Json::Value Report() {
    vel::Json report;
    EXPECT_EQ(ProfilingCounters::Report(&report), 200);
    return report.value();
  }

  static constexpr std::int64_t kStart = 1000000000;
  bool saved_ = false;
};

TEST_F(ProfilingCountersTest, OneSampleGivesItsDurationInSeconds) {
  ProfilingCounters::RecordAt(ProfilingCounters::kScoreSubmission, kStart,
                              kStart + 2000000, kStart + 2000000);
  const auto report = Report();
  const auto& all = report["all_time"];
  EXPECT_EQ(all["score_submission_count"], 1);
  EXPECT_DOUBLE_EQ(all["score_submission_time_mean_in_sec"].get<double>(), 2.0);
  EXPECT_DOUBLE_EQ(all["score_submission_time_stdev_in_sec"].get<double>(), 0);
  EXPECT_DOUBLE_EQ(all["score_submission_time_max_in_sec"].get<double>(), 2.0);
  // Other kinds stay at zero.
  EXPECT_EQ(all["query_count"], 0);
  EXPECT_EQ(all["score_deletion_count"], 0);
  // The window has not closed yet.
  EXPECT_EQ(report["last1min"]["score_submission_count"], 0);
}

TEST_F(ProfilingCountersTest, SampleStandardDeviation) {
  ProfilingCounters::RecordAt(ProfilingCounters::kQuery, 0, 1000000, kStart);
  ProfilingCounters::RecordAt(ProfilingCounters::kQuery, 0, 3000000, kStart);
  const auto report = Report();
  const auto& all = report["all_time"];
  EXPECT_EQ(all["query_count"], 2);
  EXPECT_DOUBLE_EQ(all["query_time_mean_in_sec"].get<double>(), 2.0);
  EXPECT_NEAR(all["query_time_stdev_in_sec"].get<double>(), std::sqrt(2.0),
              1e-12);
  EXPECT_DOUBLE_EQ(all["query_time_max_in_sec"].get<double>(), 3.0);
}

TEST_F(ProfilingCountersTest, WindowMovesOnlyWhenASampleArrivesAfterAMinute) {
  ProfilingCounters::RecordAt(ProfilingCounters::kSocialQuery, 0, 1000000,
                              kStart + 60000000);  // 60 s: same window.
  EXPECT_EQ(Report()["last1min"]["social_query_count"], 0);

  ProfilingCounters::RecordAt(ProfilingCounters::kSocialQuery, 0, 3000000,
                              kStart + 61000000);  // Closes the window.
  auto report = Report();
  EXPECT_EQ(report["last1min"]["social_query_count"], 1);
  EXPECT_DOUBLE_EQ(
      report["last1min"]["social_query_time_mean_in_sec"].get<double>(), 1.0);
  EXPECT_EQ(report["all_time"]["social_query_count"], 2);

  // The next window started at the closing sample: 30 s later is inside it.
  ProfilingCounters::RecordAt(ProfilingCounters::kSocialQuery, 0, 5000000,
                              kStart + 91000000);
  report = Report();
  EXPECT_EQ(report["last1min"]["social_query_count"], 1);
  EXPECT_EQ(report["all_time"]["social_query_count"], 3);
  // Windows are per kind: deletions have not moved theirs.
  EXPECT_EQ(report["last1min"]["score_deletion_count"], 0);
}

TEST_F(ProfilingCountersTest, DisabledProfilerRecordsNothingAndSaysSo) {
  FLAGS_enable_event_profiler = false;
  ProfilingCounters::Record(ProfilingCounters::kQuery, 0);
  vel::Json report;
  EXPECT_EQ(ProfilingCounters::Report(&report), 200);
  EXPECT_EQ(report.value(), "The 'enable_event_profiler' flag is disabled.");
  FLAGS_enable_event_profiler = true;
  EXPECT_EQ(Report()["all_time"]["query_count"], 0);
}

}  // namespace
}  // namespace plemox
