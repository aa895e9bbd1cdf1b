// LeaderboardTables: which leaderboards this process knows to have their
// score tables, and the creation of the tables of leaderboards that game
// servers name at run time (with stored procedures any well-formed id is
// accepted, not only the manifest's).
//
// The first database operation of an unknown id issues the id's CREATE TABLE
// IF NOT EXISTS statements (MakeLeaderboardTableQueries, the schema's own
// texts) once, as one idempotent write that the client keeps and retries
// while the database is unreachable (vel::Mariadb::ExecuteWriteInOrder).
// Operations of the id that arrive meanwhile wait behind it and are let go
// in arrival order once it succeeded, so a player's writes keep their order.
// A failed creation (the server refused it, or the client was finalized)
// hands its error to every waiting operation and is tried again by the next
// one. Several servers may create the same tables at once: IF NOT EXISTS
// makes every creation after the first a no-op.
//
// Threads: any. One mutex guards the state; it is never held while a
// statement is sent or a waiting operation is let go.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vel/mariadb/mariadb.h"

namespace plemox {

class LeaderboardTables
    : public std::enable_shared_from_this<LeaderboardTables> {
 public:
  // Called once per operation: with no error when the tables exist, else
  // with the error of their creation.
  using Ready = std::function<void(const vel::Mariadb::Error& error)>;

  // The process's registry, which every DbConnectionMariadb uses unless it
  // is given another one. Made at the first call, with
  // --mysql_db_pending_write_limit as its bound of waiting operations.
  static const std::shared_ptr<LeaderboardTables>& Process();

  // At most `max_waiting` (> 0) operations may wait for creations at once;
  // further ones fail at once with vel::Mariadb::kWriteLimitError.
  explicit LeaderboardTables(std::size_t max_waiting);
  LeaderboardTables(const LeaderboardTables&) = delete;
  LeaderboardTables& operator=(const LeaderboardTables&) = delete;

  // Records that the tables of `leaderboard_ids` exist (the schema
  // installation made them, or the operator did).
  void MarkExisting(const std::set<std::string>& leaderboard_ids);

  // Forgets that the tables of `leaderboard_id` exist, so that its next
  // operation issues their statements again (idempotent): for a leaderboard
  // whose tables gain a column (TiebreakColumns).
  void Forget(const std::string& leaderboard_id);

  // Whether the tables of `leaderboard_id` are known to exist.
  bool IsKnown(const std::string& leaderboard_id) const;

  // Every id whose tables are known to exist, in id order.
  std::vector<std::string> known_ids() const;

  // Calls `ready` once the score tables of `leaderboard_id` exist: at once on
  // the calling thread when they are known to, otherwise after their
  // creation on `client` (on a client thread). REQUIRES: `leaderboard_id`
  // follows the id rule (IsValidLeaderboardId); `client` is not null; this
  // registry is owned by a shared_ptr.
  void WhenCreated(const std::shared_ptr<vel::Mariadb>& client,
                   const std::string& leaderboard_id, Ready ready);

  // Operations waiting for a creation now.
  std::size_t waiting_count() const;

 private:
  void OnCreated(const std::string& leaderboard_id,
                 const vel::Mariadb::Error& error);

  const std::size_t max_waiting_;
  mutable std::mutex mutex_;
  std::set<std::string> known_;  // GUARDED_BY(mutex_)
  // The ids being created, each with the operations waiting for it.
  std::map<std::string, std::vector<Ready>> creating_;  // GUARDED_BY(mutex_)
  std::size_t waiting_ = 0;                             // GUARDED_BY(mutex_)
};

}  // namespace plemox
