// LoadGeneratorSchedule: when each request of a fixed-rate (open-loop) load
// generator run is due and on which connection it goes, fixed in advance and
// independent of any answer.
#pragma once

#include <chrono>
#include <cstdint>

namespace plemox {

// Request i is due at start + i / rate and goes to connection
// i % connections: the requests of all connections together are evenly
// spaced, and each connection carries rate / connections of them. The
// schedule holds the requests due before start + length and at most
// max_requests of them; a limit of 0 is off (with both off it is empty).
//
// Thread safety: immutable after construction; any thread may call it.
class LoadGeneratorSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // REQUIRES: rate > 0, connections >= 1.
  LoadGeneratorSchedule(double rate, int connections, Clock::time_point start,
                        std::chrono::nanoseconds length, uint64_t max_requests);

  // How many requests the schedule holds.
  uint64_t size() const { return size_; }
  Clock::time_point start() const { return start_; }
  // When request `index` is due (also past size()).
  Clock::time_point DueAt(uint64_t index) const;
  // The connection request `index` goes to, 0 to connections - 1.
  int ConnectionOf(uint64_t index) const;
  // How many requests are due at `now`: the count of indices i < size()
  // with DueAt(i) <= now.
  uint64_t DueBy(Clock::time_point now) const;

 private:
  // DueBy without the cap of size_.
  uint64_t CountDue(Clock::time_point now) const;

  const double rate_;
  const int connections_;
  const Clock::time_point start_;
  uint64_t size_ = 0;
};

}  // namespace plemox
