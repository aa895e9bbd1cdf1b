// RotationGates: holds back a leaderboard's writes of a new period while the
// rotation of its period tables (TRUNCATE + RENAME at a reset) is still to
// run, so that a record made after midnight lands in the table that stays
// today's, not in the one the rotation turns into yesterday's.
//
// A gate is per leaderboard id. The reset flow closes it with a token (the
// reset's key and schedule date time) and the instant the period ended; it
// stays closed until every token that closed it was opened again (the
// rotations ran, or the reset was not performed after all). While it is
// closed, an operation stamped at or after the earliest such instant waits;
// one stamped before it (a record of the closing period) goes at once, into
// the table that becomes the closing period's. Waiting operations are let
// go in arrival order, and an operation that comes while they are let go
// joins behind them, so the new period's operations keep their order. At most
// `max_waiting` operations wait at once: the one past the bound opens its
// leaderboard's gate, and its waiting operations go at once, in their order
// (logged), rather than being refused: a record in the closing period's table
// is still a record.
//
// Threads: any. One mutex guards the state; it is never held while an
// operation is let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace plemox {

class RotationGates {
 public:
  using Operation = std::function<void()>;

  // At most `max_waiting` (> 0) operations wait at once.
  explicit RotationGates(std::size_t max_waiting);
  RotationGates(const RotationGates&) = delete;
  RotationGates& operator=(const RotationGates&) = delete;

  // Closes the gate of `leaderboard_id` for `token` to operations stamped at
  // or after `boundary_ms` (milliseconds since the epoch). Closing again
  // with a token that holds it already changes nothing.
  void Close(const std::string& leaderboard_id, const std::string& token,
             std::int64_t boundary_ms);

  // Opens what `token` closed; once no token holds the gate, the waiting
  // operations run here, in arrival order. Unknown tokens are ignored.
  void Open(const std::string& leaderboard_id, const std::string& token);

  // Opens every gate (shutdown: the waiting operations go to the database,
  // or to where it hands writes that cannot wait, rather than nowhere).
  void OpenAll();

  // Runs `operation` now, on this thread, unless the gate of
  // `leaderboard_id` is closed to `stamp_ms` or operations wait behind it;
  // then queues it. `tag` names whose operation it is (a player), and
  // `dropped` is called instead of it when Supersede drops it.
  void Pass(const std::string& leaderboard_id, std::int64_t stamp_ms,
            Operation operation, const std::string& tag = std::string(),
            Operation dropped = nullptr);

  // For an operation that makes the waiting operations tagged `tag`
  // pointless (the deletion of the player's rows): drops them, calling
  // their `dropped`, and runs `operation` now, on this thread, so that it
  // does not wait for a rotation; while the waiting operations are being
  // let go it queues behind them instead.
  void Supersede(const std::string& leaderboard_id, const std::string& tag,
                 Operation operation);

  // Operations waiting now, and gates closed now.
  std::size_t waiting_count() const;
  std::size_t closed_count() const;

 private:
  struct Waiting {
    Operation operation;
    std::string tag;
    Operation dropped;
  };
  struct Gate {
    std::map<std::string, std::int64_t> tokens;  // token -> boundary
    std::vector<Waiting> waiting;
    // Waiting operations are being let go: later ones join the list.
    bool releasing = false;
  };

  // Lets the waiting operations of `leaderboard_id` go, round after round,
  // until none is left or the gate is closed again; then forgets the gate
  // when no token holds it.
  void Release(const std::string& leaderboard_id);

  const std::size_t max_waiting_;
  mutable std::mutex mutex_;
  std::map<std::string, Gate> gates_;  // GUARDED_BY(mutex_)
  std::size_t waiting_ = 0;            // GUARDED_BY(mutex_)
};

}  // namespace plemox
