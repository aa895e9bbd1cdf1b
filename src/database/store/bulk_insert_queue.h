// BulkInsertQueue: batches score writes (--leaderboard_use_db_bulk_insert).
// DbConnection::SubmitScore hands every write to the queue of its target
// table (leaderboard id and submission result); a queue holds at most one
// write per player, the newest. A queue that reaches kMaxBulkInsertSize
// writes is sent as one bulk statement; a repeating timer sends, one
// statement per write, whatever waited in a queue that was not flushed for a
// flush interval. Finalize sends what is still queued before the connection
// closes, so no write is lost at shutdown.
//
// All writes of one queue run on one database connection in the order they
// were sent, and are kept and retried while the database is unreachable
// (vel::Mariadb::ExecuteWriteInOrder), so a player's row ends with the
// newest write.
//
// Threads: Enqueue from any thread (the service's completions), the timer
// on the host's timer threads; one mutex guards the queues and is never held
// while a statement is built or sent. Initialize and Finalize run on the
// controlling thread (start-up, shutdown).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "database/store/db_submit_score_request.h"
#include "vel/core/raw_timer.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {

class BulkInsertQueue : public std::enable_shared_from_this<BulkInsertQueue> {
 public:
  // Rows of one bulk statement; sp_bulk_score_submission takes exactly this
  // many.
  static constexpr std::size_t kMaxBulkInsertSize = 32;

  using PendingSet =
      std::set<DbSubmitScoreRequest, DbSubmitScoreRequest::Comparer>;

  // Which queue a write belongs to: text is leaderboard id + "_" + the
  // result's number ("stage1_3"); queues compare by text.
  struct SubmitQueueKey {
    std::string text;
    Leaderboard::ScoreSubmission::Response::Result result;
    std::string leaderboard_id;
    bool operator<(const SubmitQueueKey& other) const {
      return text < other.text;
    }
  };

  // Takes an initialized client, which the queue finalizes in Finalize.
  // `flush_interval_ms` (> 0) is the timer's period and the age a queue's
  // last flush must reach before the timer flushes it.
  BulkInsertQueue(std::shared_ptr<vel::Mariadb> client,
                  std::uint64_t flush_interval_ms);
  // Finalizes (see Finalize).
  ~BulkInsertQueue();
  BulkInsertQueue(const BulkInsertQueue&) = delete;
  BulkInsertQueue& operator=(const BulkInsertQueue&) = delete;

  // Starts the flush timer. False (logged) when the host's timers do not
  // run. REQUIRES: the queue is owned by a shared_ptr; called once (fatal).
  bool Start();

  // Queues `request` (REQUIRES: its result names a table, fatal otherwise).
  // A queued write of the same player in the same queue is replaced when
  // `request` is at least as recent, otherwise `request` is dropped; the
  // dropped one's completion is never called. After Finalize began, the
  // write is sent at once on its own. Any thread.
  void Enqueue(DbSubmitScoreRequest request);

  // The timer's work: sends, one statement per write, the writes of every
  // queue whose last flush is at least one flush interval old. Public for
  // tests; the timer calls it. Any thread.
  void OnQueryFlushTimer();

  // Drops the queued, not yet sent writes of `account` in the queues of
  // `leaderboard_id`: the player's deletion supersedes them (sent later, they
  // would bring deleted rows back). Their completions are not called.
  // Returns how many were dropped. Any thread.
  std::size_t DiscardPendingWrites(const std::string& leaderboard_id,
                                   const vel::PlayerAccount& account);

  // Stops the timer, sends every queued write on its own, and finalizes the
  // client, which lets the statements finish (vel::Mariadb::Finalize).
  // Idempotent; controlling thread.
  void Finalize();

  // Writes waiting in the queues (not yet sent). Any thread.
  std::size_t pending_count() const;

  // The process-wide queue of the service. InitializeBulkInsert (start-up,
  // after the DbConnection exists) does nothing without
  // --leaderboard_use_db_bulk_insert; with it, it connects its own client
  // from the --mysql_* flags, starts the queue with
  // --force_flush_interval_in_msec and makes DbConnection::SubmitScore use
  // it. A second call without FinalizeBulkInsert in between is fatal.
  // Connection or timer failures are fatal (start-up).
  static void InitializeBulkInsert();
  // Detaches the queue from SubmitScore and finalizes it (shutdown).
  static void FinalizeBulkInsert();
  // DiscardPendingWrites on the process-wide queue; 0 when none runs.
  static std::size_t DiscardProcessPendingWrites(
      const std::string& leaderboard_id, const vel::PlayerAccount& account);
  // The write counts of the process-wide queue's client, and its queued
  // writes; all zero when no queue runs. Any thread.
  static vel::Mariadb::WriteStats ProcessWriteStats(std::size_t* queued);

 private:
  // Sends a full batch as one bulk statement into the table named from the
  // queue and the `next_date_time` of the write that filled the batch.
  void SendBulk(const std::shared_ptr<PendingSet>& requests,
                const SubmitQueueKey& queue_key,
                const boost::posix_time::ptime& trigger_next_date_time);
  // Sends one write as its own statement.
  void SendSingle(const DbSubmitScoreRequest& request,
                  const SubmitQueueKey& queue_key);
  // Waits for `ticket`'s turn, runs `send`, serves the next ticket. `send`
  // must not flush this queue again.
  void SendInTurn(std::uint64_t ticket, const std::function<void()>& send);
  // The connection order of a queue: all its writes run on one connection.
  static std::size_t OrderKeyOf(const SubmitQueueKey& queue_key);
  static SubmitQueueKey MakeQueueKey(const DbSubmitScoreRequest& request);

  const std::shared_ptr<vel::Mariadb> client_;
  const std::uint64_t flush_interval_ms_;

  mutable std::mutex mutex_;
  std::map<SubmitQueueKey, std::shared_ptr<PendingSet>>
      pending_requests_;  // GUARDED_BY(mutex_)
  std::map<SubmitQueueKey, std::int64_t>
      last_flush_times_in_msec_;  // GUARDED_BY(mutex_)
  vel::RawTimer::TimerId timer_id_ =
      vel::RawTimer::kInvalidTimerId;  // GUARDED_BY(mutex_)
  // Set by Finalize: nothing is queued any more.
  bool closed_ = false;  // GUARDED_BY(mutex_)
  // Every flush takes a ticket when it takes writes out of the queues and
  // hands them to the client when its ticket is served: in the order they
  // were taken, so an older write of a player never reaches its connection
  // after a newer one, and Finalize closes the client after every earlier
  // flush was handed over.
  std::uint64_t next_ticket_ = 0;  // GUARDED_BY(mutex_)
  std::mutex send_mutex_;
  std::uint64_t now_serving_ = 0;  // GUARDED_BY(send_mutex_)
  std::condition_variable send_turn_;
};

}  // namespace plemox
