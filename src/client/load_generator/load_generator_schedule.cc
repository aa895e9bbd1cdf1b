#include "client/load_generator/load_generator_schedule.h"

#include <glog/logging.h>

#include <algorithm>
#include <cmath>

namespace plemox {

LoadGeneratorSchedule::LoadGeneratorSchedule(double rate, int connections,
                                             Clock::time_point start,
                                             std::chrono::nanoseconds length,
                                             uint64_t max_requests)
    : rate_(rate), connections_(connections), start_(start) {
  CHECK(rate > 0) << "Assert failed: a fixed rate of " << rate;
  CHECK_GE(connections, 1) << "Assert failed: a schedule without connections";
  if (length.count() > 0) {
    // The requests due strictly before the end.
    size_ = CountDue(start + length - std::chrono::nanoseconds(1));
    if (max_requests != 0) size_ = std::min(size_, max_requests);
  } else {
    size_ = max_requests;
  }
}

LoadGeneratorSchedule::Clock::time_point LoadGeneratorSchedule::DueAt(
    uint64_t index) const {
  const double nanos = std::round(static_cast<double>(index) * 1e9 / rate_);
  return start_ + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::nanoseconds(static_cast<int64_t>(nanos)));
}

int LoadGeneratorSchedule::ConnectionOf(uint64_t index) const {
  return static_cast<int>(index % static_cast<uint64_t>(connections_));
}

uint64_t LoadGeneratorSchedule::CountDue(Clock::time_point now) const {
  if (now < start_) return 0;
  const double nanos = static_cast<double>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_)
          .count());
  // A first guess from the rate, then exact against DueAt, whose rounding
  // it must agree with.
  uint64_t count = static_cast<uint64_t>(std::floor(nanos * rate_ / 1e9)) + 1;
  while (count > 0 && DueAt(count - 1) > now) --count;
  while (DueAt(count) <= now) ++count;
  return count;
}

uint64_t LoadGeneratorSchedule::DueBy(Clock::time_point now) const {
  return std::min(CountDue(now), size_);
}

}  // namespace plemox
