#include "database/store/rotation_gates.h"

#include <glog/logging.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "common/leaderboard_assert.h"

namespace plemox {

RotationGates::RotationGates(std::size_t max_waiting)
    : max_waiting_(max_waiting) {
  LEADERBOARD_ASSERT(max_waiting_ > 0);
}

void RotationGates::Close(const std::string& leaderboard_id,
                          const std::string& token, std::int64_t boundary_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  gates_[leaderboard_id].tokens.emplace(token, boundary_ms);
}

void RotationGates::Open(const std::string& leaderboard_id,
                         const std::string& token) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = gates_.find(leaderboard_id);
    if (it == gates_.end() || it->second.tokens.erase(token) == 0) return;
    if (!it->second.tokens.empty() || it->second.releasing) return;
    it->second.releasing = true;
  }
  Release(leaderboard_id);
}

void RotationGates::OpenAll() {
  std::vector<std::string> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, gate] : gates_) {
      gate.tokens.clear();
      if (!gate.releasing) {
        gate.releasing = true;
        ids.push_back(id);
      }
    }
  }
  for (const std::string& id : ids) Release(id);
}

void RotationGates::Pass(const std::string& leaderboard_id,
                         std::int64_t stamp_ms, Operation operation,
                         const std::string& tag, Operation dropped) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = gates_.find(leaderboard_id);
    if (it != gates_.end()) {
      Gate& gate = it->second;
      std::int64_t boundary = INT64_MAX;
      for (const auto& [token, ms] : gate.tokens) {
        boundary = std::min(boundary, ms);
      }
      // A new period's operation at a closed gate waits, and so does any
      // operation while waiting ones are let go. A closing period's
      // operation passes the new period's: they land in other tables.
      if (gate.releasing || stamp_ms >= boundary ||
          (gate.tokens.empty() && !gate.waiting.empty())) {
        gate.waiting.push_back(
            Waiting{std::move(operation), tag, std::move(dropped)});
        ++waiting_;
        if (waiting_ <= max_waiting_) return;
        // Too many wait: this leaderboard's gate gives up its holds and its
        // operations go now, in their order (into the closing period's
        // table, as without a gate) rather than being refused.
        gate.tokens.clear();
        const bool release = !gate.releasing;
        gate.releasing = true;
        lock.unlock();
        LOG_EVERY_N(WARNING, 1000)
            << "Too many database writes wait for their leaderboards' table "
               "rotations; the writes of this leaderboard go now and may land "
               "in the closing period's table: leaderboard id="
            << leaderboard_id << ", limit=" << max_waiting_;
        if (release) Release(leaderboard_id);
        return;
      }
    }
  }
  operation();
}

void RotationGates::Supersede(const std::string& leaderboard_id,
                              const std::string& tag, Operation operation) {
  std::vector<Waiting> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = gates_.find(leaderboard_id);
    if (it != gates_.end()) {
      Gate& gate = it->second;
      if (gate.releasing) {
        gate.waiting.push_back(
            Waiting{std::move(operation), std::string(), nullptr});
        ++waiting_;
        return;
      }
      auto kept = std::stable_partition(
          gate.waiting.begin(), gate.waiting.end(),
          [&tag](const Waiting& waiting) { return waiting.tag != tag; });
      std::move(kept, gate.waiting.end(), std::back_inserter(dropped));
      gate.waiting.erase(kept, gate.waiting.end());
      waiting_ -= dropped.size();
    }
  }
  for (Waiting& waiting : dropped) {
    if (waiting.dropped) waiting.dropped();
  }
  operation();
}

void RotationGates::Release(const std::string& leaderboard_id) {
  for (;;) {
    std::vector<Waiting> round;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = gates_.find(leaderboard_id);
      if (it == gates_.end()) return;
      Gate& gate = it->second;
      // Closed again meanwhile: what waits now waits for that rotation; its
      // Open lets it go.
      if (gate.waiting.empty() || !gate.tokens.empty()) {
        gate.releasing = false;
        if (gate.waiting.empty() && gate.tokens.empty()) gates_.erase(it);
        return;
      }
      round.swap(gate.waiting);
      waiting_ -= round.size();
    }
    for (Waiting& waiting : round) waiting.operation();
  }
}

std::size_t RotationGates::waiting_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

std::size_t RotationGates::closed_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t closed = 0;
  for (const auto& [id, gate] : gates_) {
    if (!gate.tokens.empty()) ++closed;
  }
  return closed;
}

}  // namespace plemox
