// Wall-clock time; callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace vel {

class WallClock {
 public:
  // Milliseconds since the Unix epoch.
  static std::int64_t GetTimestampInMsec() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace vel
