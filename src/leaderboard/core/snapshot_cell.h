// SnapshotCell<T>: an immutable value that a writer replaces as a whole and
// that many reader threads read without contending. The registries that
// leaderboards defined at run time update (ranking options, the keys of the
// reset schedules) keep their current state in one, so that a request's
// lookup stays one atomic load plus a map search.
//
// Readers: Get() compares the cell's version with the one this thread read
// last (one atomic load); only after a Publish does it take the mutex, once,
// to pick up the new snapshot. Each thread keeps the snapshot it read alive,
// so a writer never waits for readers and never frees what a reader holds.
//
// Threads: every member may be called from any thread. The reference Get
// returns stays valid until this thread's next Get of a cell of the same
// type: read what is needed from it at once, and do not hold it across a
// call that may read the cell again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace plemox {

template <typename T>
class SnapshotCell {
 public:
  SnapshotCell() : current_(std::make_shared<const T>()) {
    version_.store(NextVersion(), std::memory_order_release);
  }
  SnapshotCell(const SnapshotCell&) = delete;
  SnapshotCell& operator=(const SnapshotCell&) = delete;

  // Replaces the value; every reader sees it from its next Get on.
  void Publish(T value) {
    auto next = std::make_shared<const T>(std::move(value));
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = std::move(next);
    version_.store(NextVersion(), std::memory_order_release);
  }

  // The current value (see the header comment for how long the reference
  // lives).
  const T& Get() const {
    thread_local Seen seen;
    const std::uint64_t version = version_.load(std::memory_order_acquire);
    if (seen.cell != this || seen.version != version || !seen.value) {
      std::lock_guard<std::mutex> lock(mutex_);
      seen.value = current_;
      seen.version = version_.load(std::memory_order_relaxed);
      seen.cell = this;
    }
    return *seen.value;
  }

  // The current value, shared: for callers that keep it across other reads.
  std::shared_ptr<const T> Share() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
  }

 private:
  // What one thread read last from a cell of this type.
  struct Seen {
    const SnapshotCell* cell = nullptr;
    std::uint64_t version = 0;
    std::shared_ptr<const T> value;
  };

  // Versions are unique in the process, so a thread's record of one cell
  // never matches another cell, not even one made later at its address.
  static std::uint64_t NextVersion() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
  }

  mutable std::mutex mutex_;
  std::shared_ptr<const T> current_;  // GUARDED_BY(mutex_)
  std::atomic<std::uint64_t> version_{0};
};

}  // namespace plemox
