// One-shot and repeating timers. Callbacks run on the host's timer threads
// (the I/O group "timer"); every function here is thread-safe, and a callback
// may start or cancel timers.
#pragma once

#include <cstdint>
#include <functional>

namespace vel {

class RawTimer {
 public:
  using TimerId = std::int64_t;
  // Receives the timer's id and the monotonic time of the call (us).
  using Callback = std::function<void(TimerId, std::int64_t)>;

  // Marks "no timer".
  static constexpr TimerId kInvalidTimerId = 0;

  // Calls `callback` once, `delay_us` microseconds from now. Returns the
  // timer's id, or kInvalidTimerId when the timer threads are not running.
  static TimerId ExpireAfter(std::int64_t delay_us, Callback callback);

  // Calls `callback` every `period_us` microseconds until cancelled.
  // REQUIRES: period_us > 0.
  static TimerId ExpireRepeatedly(std::int64_t period_us, Callback callback);

  // Stops the timer; a callback already running finishes. Returns false when
  // no such timer is pending.
  static bool Cancel(TimerId id);

  // Starts the timer threads (host start-up). Returns false if running.
  static bool Start(int thread_count);

  // Cancels every timer and forgets it (host shutdown; the threads are
  // joined by IoService::StopAll).
  static void Stop();

  RawTimer() = delete;
};

}  // namespace vel
