// Request latency statistics behind the host counter "leaderboard"/"profiling":
// per kind of work, running mean, deviation and maximum since start and for
// the last completed one-minute window. Every function is thread-safe (one
// mutex serialises samples and reports).
#pragma once

#include <cstdint>

#include "vel/core/json.h"

namespace plemox {

class ProfilingCounters {
 public:
  enum Kind { kQuery = 0, kSocialQuery, kScoreSubmission, kScoreDeletion };

  // Adds the time from `start_us` (vel::MonotonicClock) until now to the
  // latency histogram of `kind` (LeaderboardMetrics) and, when the host flag
  // enable_event_profiler is on, to the statistics of `kind`.
  static void Record(Kind kind, std::int64_t start_us);

  // Record() with the clock readings given: `now_us` ends the sample and
  // `window_now_us` decides whether the one-minute window moves on.
  static void RecordAt(Kind kind, std::int64_t start_us, std::int64_t now_us,
                       std::int64_t window_now_us);

  // Fills `out` with the counter's JSON value; returns the HTTP status 200.
  static int Report(vel::Json* out);

  // Zeroes every statistic and starts the window at `window_start_us`.
  static void ResetForTesting(std::int64_t window_start_us);

  ProfilingCounters() = delete;
};

}  // namespace plemox
