#include "leaderboard/service/profiling_counters.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <string>

#include "common/leaderboard_flags.h"
#include "leaderboard/service/leaderboard_metrics.h"
#include "vel/core/host_flags.h"
#include "vel/core/monotonic_clock.h"

namespace plemox {
namespace {

constexpr std::int64_t kWindowLengthUs = 60000001;
static_assert(static_cast<int>(ProfilingCounters::kQuery) ==
                      LeaderboardMetrics::kPublicQuery &&
                  static_cast<int>(ProfilingCounters::kSocialQuery) ==
                      LeaderboardMetrics::kSocialQuery &&
                  static_cast<int>(ProfilingCounters::kScoreSubmission) ==
                      LeaderboardMetrics::kScoreSubmission &&
                  static_cast<int>(ProfilingCounters::kScoreDeletion) ==
                      LeaderboardMetrics::kScoreDeletion,
              "the profiling kinds are the first latency kinds");
constexpr std::array<const char*, 4> kKindNames = {
    "query", "social_query", "score_submission", "score_deletion"};

// Running statistics by Welford's method.
struct Statistics {
  std::uint64_t count = 0;
  double mean = 0;
  double m2 = 0;
  double max = 0;

  void Add(double duration) {
    ++count;
    if (count == 0) {  // Wrapped: start over with this sample.
      count = 1;
      mean = 0;
      m2 = 0;
    }
    const double old_mean = mean;
    mean = old_mean + (duration - old_mean) / static_cast<double>(count);
    m2 += (duration - mean) * (duration - old_mean);
    max = std::max(max, duration);
  }

  double Stdev() const {
    return count > 1 ? std::sqrt(m2 / static_cast<double>(count - 1)) : 0;
  }
};

struct KindRecord {
  Statistics all_time;
  Statistics last_minute;
  Statistics current_window;
  std::int64_t window_start_us = vel::MonotonicClock::Now();
};

std::mutex the_profiling_mutex;
std::array<KindRecord, 4> the_records;  // GUARDED_BY(the_profiling_mutex)

void AddMembers(const std::array<const Statistics*, 4>& statistics,
                vel::Json* object) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    const std::string name = kKindNames[i];
    const Statistics& s = *statistics[i];
    object->Set(name + "_count", vel::Json(s.count));
    object->Set(name + "_time_mean_in_sec", vel::Json(s.mean / 1e6));
    object->Set(name + "_time_stdev_in_sec", vel::Json(s.Stdev() / 1e6));
    object->Set(name + "_time_max_in_sec", vel::Json(s.max / 1e6));
  }
}

}  // namespace

void ProfilingCounters::Record(Kind kind, std::int64_t start_us) {
  const std::int64_t now = vel::MonotonicClock::Now();
  LeaderboardMetrics::ObserveLatency(
      static_cast<LeaderboardMetrics::Kind>(kind), now - start_us);
  if (!FLAGS_enable_event_profiler) return;
  RecordAt(kind, start_us, now, vel::MonotonicClock::Now());
}

void ProfilingCounters::RecordAt(Kind kind, std::int64_t start_us,
                                 std::int64_t now_us,
                                 std::int64_t window_now_us) {
  const double duration = static_cast<double>(now_us - start_us);
  std::lock_guard<std::mutex> lock(the_profiling_mutex);
  KindRecord& record = the_records.at(kind);
  if (window_now_us - record.window_start_us >= kWindowLengthUs) {
    record.last_minute = record.current_window;
    record.current_window = Statistics();
    record.window_start_us = window_now_us;
  }
  record.all_time.Add(duration);
  record.current_window.Add(duration);
}

int ProfilingCounters::Report(vel::Json* out) {
  if (!FLAGS_enable_event_profiler) {
    *out = vel::Json("The 'enable_event_profiler' flag is disabled.");
    return 200;
  }
  vel::Json report = vel::Json::MakeObject();
  report.Set("internal_threads_size", vel::Json(FLAGS_internal_threads_size));
  report.Set("event_threads_size", vel::Json(FLAGS_event_threads_size));
  report.Set("redis_async_threads_size",
             vel::Json(FLAGS_redis_async_threads_size));
  report.Set("mysql_db_connection_count",
             vel::Json(FLAGS_mysql_db_connection_count));
  vel::Json all_time = vel::Json::MakeObject();
  vel::Json last_minute = vel::Json::MakeObject();
  {
    std::lock_guard<std::mutex> lock(the_profiling_mutex);
    AddMembers({&the_records[0].all_time, &the_records[1].all_time,
                &the_records[2].all_time, &the_records[3].all_time},
               &all_time);
    AddMembers({&the_records[0].last_minute, &the_records[1].last_minute,
                &the_records[2].last_minute, &the_records[3].last_minute},
               &last_minute);
  }
  report.Set("all_time", all_time);
  report.Set("last1min", last_minute);
  *out = report;
  return 200;
}

void ProfilingCounters::ResetForTesting(std::int64_t window_start_us) {
  std::lock_guard<std::mutex> lock(the_profiling_mutex);
  for (auto& record : the_records) {
    record = KindRecord();
    record.window_start_us = window_start_us;
  }
}

}  // namespace plemox
