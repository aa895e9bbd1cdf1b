// DbWriteBacklog: database writes that could not wait for MariaDB any longer
// are handed over into Redis instead of being lost, and replayed into
// MariaDB once it answers, by whichever server sharing that Redis gets to
// them first.
//
// A write is handed over when the pending write limit would drop it and
// when the server stops before the write could run (vel::Mariadb's write
// handover). Each server process has a list of its own in Redis
// ("leaderboard:{db_backlog}:list:<origin>", in the order the writes were
// made), a set names the lists, and an "alive" key with a short time to
// live says that the process still runs. While it runs, only the process
// itself replays its list, and only the writes that no older write of its
// own still waits in front of (so a player's writes reach a table in the
// order they were made); a process that stopped (it deletes its alive key
// after its last handover) or died (the key expires) leaves its list to
// the others, one at a time under a lease. A replayed row never replaces a
// newer one (MakeScoreReplayQuery), so a row replayed twice, or after a
// later write of the player, changes nothing.
//
// Threads: the handovers run on the caller's thread (a database client's
// queuing or finalizing thread) and block it for Redis round trips; the
// replay runs on a thread of its own ("DbBacklog"); stats from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "database/store/backlog_entry.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {

class DbWriteBacklog {
 public:
  struct Options {
    // Unique per process: the server's address and a random part.
    std::string origin;
    // Starts every key; the hash tag keeps them in one slot of a cluster.
    std::string key_prefix = "leaderboard:{db_backlog}:";
    // The alive key's time to live: how long after a crash the others
    // take the list over.
    std::int64_t alive_ms = 10000;
    // How long a replaying server holds another's list without renewing.
    std::int64_t lease_ms = 30000;
    // Entries read and written per round trip while replaying.
    std::size_t batch_entries = 500;
    // The pause between replay rounds when there was nothing to do.
    std::int64_t idle_ms = 1000;
  };

  // What /metrics and /readyz show. `entries` and `oldest_age_ms` are of
  // every list in Redis (all servers), read at the last replay round.
  struct Stats {
    std::uint64_t handed_over = 0;       // entries this process stored
    std::uint64_t handover_failed = 0;   // entries it could not store
    std::uint64_t replayed_rows = 0;     // rows this process replayed
    std::uint64_t replayed_entries = 0;  // entries this process replayed
    std::uint64_t skipped = 0;       // entries skipped: malformed, table gone
    std::uint64_t entries = 0;       // entries waiting in Redis
    std::int64_t oldest_age_ms = 0;  // age of the oldest waiting entry
  };

  // `replay_client`: an initialized client of the server's database that
  // runs the replayed statements (its own, so a replay never queues behind
  // game writes).
  DbWriteBacklog(Options options, std::shared_ptr<vel::Mariadb> replay_client);
  // Stops the replay thread.
  ~DbWriteBacklog();
  DbWriteBacklog(const DbWriteBacklog&) = delete;
  DbWriteBacklog& operator=(const DbWriteBacklog&) = delete;

  // The handover of this process's database client `client_name`. Its
  // writes are replayed only once `oldest_pending` (the client's
  // OldestPendingWrite) has passed their sequence, while this process runs.
  // The handover returns false when Redis did not store every write.
  vel::Mariadb::WriteHandover MakeHandover(
      const std::string& client_name,
      std::function<std::uint64_t()> oldest_pending);
  // Hands one write over directly (a payload whose client is gone):
  // replayed without waiting for anything. Any thread.
  bool HandOverDirect(const std::string& payload);

  // Starts the replay thread. Call once.
  void Start();
  // Stops the replay thread (it finishes the statement it runs). Any
  // thread but the replay thread; idempotent.
  void Stop();
  // Deletes this process's alive key: its list is the others' to replay at
  // once. Call after the last handover (shutdown).
  void Release();

  // One replay round: refreshes the alive key and the stats, then replays
  // what may be replayed now, for up to about `budget_ms`. Returns the
  // entries replayed or skipped. The replay thread, or a test.
  std::size_t ReplayRound(std::int64_t budget_ms);

  Stats stats() const;
  const std::string& origin() const { return options_.origin; }

  // The process's backlog (null when none runs). Any thread.
  static std::shared_ptr<DbWriteBacklog> Process();
  static void SetProcess(std::shared_ptr<DbWriteBacklog> backlog);
  // A new unique origin name for a process serving at `server_name`.
  static std::string MakeOrigin(const std::string& server_name);

 private:
  // What the handovers given out hold: a database client may outlive this
  // backlog (a write queued on a finalized client), so they reach it only
  // while it exists.
  struct HandoverTarget {
    // Shared by the handovers, which may run at once; exclusive to the
    // destructor.
    std::shared_mutex mutex;
    DbWriteBacklog* backlog = nullptr;  // GUARDED_BY(mutex)
  };

  // The handover's work: wraps `writes` as entries of `client_name`.
  bool HandOver(const std::string& client_name,
                const std::vector<vel::Mariadb::HandedOverWrite>& writes);
  // Stores `entries` (whole entries) at the end of this process's list.
  bool Push(const std::vector<std::string>& entries);
  // Replays the head of `origin`'s list; `own` when it is this process's.
  // Returns entries done; *more when the list may hold more now.
  std::size_t ReplayBatch(const std::string& origin, bool own, bool* more);
  // Runs the statements of decoded entries; false when the database could
  // not be reached (nothing may be trimmed then).
  bool Apply(const std::vector<BacklogEntry>& entries, std::size_t* rows,
             std::size_t* skipped);
  // Whether `entry` of this process's own list may be replayed now.
  bool Replayable(const BacklogEntry& entry) const;
  void Run();
  std::string OriginsKey() const { return options_.key_prefix + "origins"; }
  std::string ListKey(const std::string& origin) const {
    return options_.key_prefix + "list:" + origin;
  }
  std::string AliveKey(const std::string& origin) const {
    return options_.key_prefix + "alive:" + origin;
  }
  std::string LeaseKey(const std::string& origin) const {
    return options_.key_prefix + "lease:" + origin;
  }

  const Options options_;
  const std::shared_ptr<vel::Mariadb> replay_client_;
  const std::shared_ptr<HandoverTarget> target_;

  mutable std::mutex mutex_;
  std::map<std::string, std::function<std::uint64_t()>>
      oldest_pending_;     // GUARDED_BY(mutex_)
  Stats stats_;            // GUARDED_BY(mutex_), but the atomics below
  bool stopping_ = false;  // GUARDED_BY(mutex_)
  std::condition_variable wake_;
  std::thread thread_;

  // Set by Release: later pushes leave the alive key alone.
  std::atomic<bool> released_{false};
  // Until when pushes fail at once after Redis failed one (monotonic us).
  std::atomic<std::int64_t> refuse_pushes_until_us_{0};
  std::atomic<std::uint64_t> handed_over_{0};
  std::atomic<std::uint64_t> handover_failed_{0};
};

}  // namespace plemox
