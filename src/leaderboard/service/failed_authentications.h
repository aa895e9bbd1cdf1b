// The failed authentications of each peer address in the current minute,
// and the addresses that passed the limit and must wait. Bounded: at most
// `max_addresses` are remembered. Thread-safe (one mutex, never held while
// calling out).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace plemox {

class FailedAuthentications {
 public:
  using Clock = std::chrono::steady_clock;

  // `limit` failures per minute are allowed (0: no limit); the one past it
  // makes the address wait `wait`.
  FailedAuthentications(std::uint64_t limit, std::chrono::seconds wait,
                        std::size_t max_addresses);
  FailedAuthentications(const FailedAuthentications&) = delete;
  FailedAuthentications& operator=(const FailedAuthentications&) = delete;

  // Whether `address` is waiting at `now` after passing the limit.
  bool IsWaiting(const std::string& address, Clock::time_point now);

  // Counts one failure of `address` at `now`. Returns true when it passed
  // the limit: the address waits from now on.
  bool CountFailure(const std::string& address, Clock::time_point now);

  // Addresses remembered now.
  std::size_t size() const;

 private:
  struct Entry {
    Clock::time_point window_start;
    std::uint64_t failures = 0;
    Clock::time_point wait_until;  // epoch: not waiting
  };
  // Makes room for one more address. REQUIRES: mutex_ held.
  bool MakeRoomLocked(Clock::time_point now);

  const std::uint64_t limit_;
  const std::chrono::seconds wait_;
  const std::size_t max_addresses_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;  // GUARDED_BY(mutex_)
};

}  // namespace plemox
