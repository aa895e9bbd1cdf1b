// Monotonic time for measuring durations; callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace vel {

class MonotonicClock {
 public:
  // Microseconds since an arbitrary fixed point; never goes backwards.
  static std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace vel
