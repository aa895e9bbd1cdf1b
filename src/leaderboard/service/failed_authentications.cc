#include "leaderboard/service/failed_authentications.h"

#include <iterator>

namespace plemox {
namespace {

constexpr auto kWindow = std::chrono::minutes(1);

}  // namespace

FailedAuthentications::FailedAuthentications(std::uint64_t limit,
                                             std::chrono::seconds wait,
                                             std::size_t max_addresses)
    : limit_(limit), wait_(wait), max_addresses_(max_addresses) {}

bool FailedAuthentications::IsWaiting(const std::string& address,
                                      Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = entries_.find(address);
  return it != entries_.end() && now < it->second.wait_until;
}

bool FailedAuthentications::CountFailure(const std::string& address,
                                         Clock::time_point now) {
  if (limit_ == 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    // Under a flood of addresses the table stays bounded; an address that
    // finds no room is not counted (the connection limits still hold).
    if (!MakeRoomLocked(now)) return false;
    it = entries_.emplace(address, Entry{now, 0, Clock::time_point()}).first;
  }
  Entry& entry = it->second;
  if (now - entry.window_start >= kWindow) {
    entry.window_start = now;
    entry.failures = 0;
  }
  ++entry.failures;
  if (entry.failures <= limit_) return false;
  entry.wait_until = now + wait_;
  // The wait starts afresh: its failures are forgiven once it is over.
  entry.window_start = now + wait_;
  entry.failures = 0;
  return true;
}

bool FailedAuthentications::MakeRoomLocked(Clock::time_point now) {
  if (entries_.size() < max_addresses_) return true;
  // First the addresses whose minute is over and that do not wait.
  for (auto it = entries_.begin(); it != entries_.end();) {
    const bool idle = now >= it->second.wait_until &&
                      now - it->second.window_start >= kWindow;
    it = idle ? entries_.erase(it) : std::next(it);
  }
  if (entries_.size() < max_addresses_) return true;
  // Then any address that is not waiting: a waiting one is never let go
  // early.
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (now >= it->second.wait_until) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

std::size_t FailedAuthentications::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace plemox
