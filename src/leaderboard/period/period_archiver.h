// PeriodArchiver: copies each closed period's ranking from Redis into the
// period archive in MariaDB and builds its period-end notification, on
// threads of its own (--period_archive_threads, each archiving one period at
// a time), so that neither the rollover nor any request waits for it. As
// master it also takes over periods whose archiving another server left
// unfinished (it died, or lost Redis), and removes expired periods (one
// thread at a time).
//
// Periods are taken in the order they ended. Before a period is taken, the
// closed ranking of every queued period is marked, in that order, by one
// thread at a time: a later period's marker is never overwritten by an
// earlier one's, however many threads archive.
//
// The closed ranking is read highest first in pages of kPageSize members
// (one ZREVRANGE each, short for Redis) and written in multi-row inserts;
// the three ranks of every player are computed on the way. A period whose
// ranking changed while it was read (a deletion) is read again; one whose
// ranking was replaced by a later rollover before it was read is recorded
// as lost, and so is one whose rollover failed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/period_end.h"
#include "database/store/period_store.h"
#include "vel/core/json.h"

namespace plemox {

class PeriodArchiver {
 public:
  // Members read per ZREVRANGE and written per insert: about a millisecond
  // of Redis each, so that requests never wait long behind a page.
  static constexpr std::int64_t kPageSize = 1000;

  // The counts of this server's archiving, for /metrics.
  struct Counts {
    std::uint64_t archived = 0;   // periods archived
    std::uint64_t lost = 0;       // periods recorded as lost
    std::uint64_t standings = 0;  // players written
    std::uint64_t expired = 0;    // periods removed by the expiry
  };

  // `owner` is this server's identity (its leases); `is_master` tells
  // whether this server may take over and expire periods now;
  // `on_notification_ready` runs on the archiver's thread after a period's
  // notification became pending. Constructs stopped.
  PeriodArchiver(std::shared_ptr<PeriodStore> store, std::string owner,
                 std::function<bool()> is_master,
                 std::function<void()> on_notification_ready);
  ~PeriodArchiver();  // Stops.
  PeriodArchiver(const PeriodArchiver&) = delete;
  PeriodArchiver& operator=(const PeriodArchiver&) = delete;

  // Starts `threads` threads (at least one). Start-up thread.
  void Start(std::size_t threads = 1);
  // Ends the threads; a period being archived is left to a take-over (its
  // lease runs out). Shutdown thread; idempotent.
  void Stop();

  // Queues the archiving of `end` after its rollover (`rolled_over`), or
  // records it as lost when the rollover failed. Any thread; returns at
  // once.
  void Archive(const PeriodEnd& end, bool rolled_over);

  // Runs the take-over and expiry sweeps at the next turn (this server just
  // became master). Any thread.
  void SweepSoon();

  // The JSON form of one standing, in notifications and HTTP answers:
  // position (1-based), competition_rank, dense_rank, score,
  // service_provider, local_account, time_stamp_ms, and when the player has
  // them display_name and metadata (base64) with metadata_bytes. Any
  // thread.
  static vel::Json StandingToJson(const ArchivedStanding& standing);

  Counts counts() const;

 private:
  struct Job {
    PeriodEnd end;
    bool rolled_over = true;
    // Found unfinished by the master (end holds only the idempotency key).
    bool taken_over = false;
    // The closed ranking's marker names this period (or needs none).
    bool marked = false;
    // Failed attempts to mark it (a second apart).
    int marker_failures = 0;
  };
  // What reading a closed ranking came to.
  enum class ReadOutcome { kDone, kChanged, kFailed, kStopped };

  void Run();
  // The next job to archive (the first queued, once marked), or a sweep to
  // run (*sweep), or neither (nothing to do within a second). Waits on
  // `lock` (of mutex_).
  std::optional<Job> NextJob(std::unique_lock<std::mutex>* lock, bool* sweep);
  // Archives one period when this server can hold it.
  void Process(const Job& job);
  // Reads the closed ranking of `period` into the archive (standings when
  // kept) and the top of its notification into *document.
  ReadOutcome ReadRanking(const PeriodStore::ClaimedPeriod& period,
                          std::int64_t* player_count, std::string* document);
  // The marker of the previous-period ranking of `end`'s leaderboard and
  // kind: a field of a small hash per leaderboard naming the idempotency key
  // of the period it holds. Read: false when Redis failed, "" when there is
  // none. Write: false (logged) when Redis failed.
  bool ReadMarker(const PeriodEnd& end, std::string* value);
  bool WriteMarker(const PeriodEnd& end);
  // Marks the closed rankings of the queued periods not marked yet, in queue
  // order, stopping at a failure (one thread at a time: marker_mutex_), so
  // that a long archiving does not hold them back. A period that could not
  // be marked kMarkerAttempts times is left to a take-over.
  void WriteQueuedMarkers();
  void Lose(const PeriodStore::ClaimedPeriod& period, const std::string& why);
  // Queues the unfinished periods whose lease ran out; removes expired
  // periods (every kExpiryInterval).
  void Sweep();
  bool Stopping();

  const std::shared_ptr<PeriodStore> store_;
  const std::string owner_;
  const std::function<bool()> is_master_;
  const std::function<void()> on_notification_ready_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;    // GUARDED_BY(mutex_)
  bool stopping_ = false;   // GUARDED_BY(mutex_)
  bool sweep_soon_ = true;  // GUARDED_BY(mutex_)
  bool sweeping_ = false;   // GUARDED_BY(mutex_)
  Counts counts_;           // GUARDED_BY(mutex_)
  // Monotonic microseconds of the next sweep and of the next attempt to
  // mark after a failed one; GUARDED_BY(mutex_).
  std::int64_t next_sweep_ = 0;
  std::int64_t next_marker_attempt_ = 0;
  // Held while markers are written.
  std::mutex marker_mutex_;
  std::vector<std::thread> threads_;
  // Monotonic microseconds of the next expiry; only the sweeping thread
  // uses it.
  std::int64_t next_expiry_ = 0;
};

}  // namespace plemox
