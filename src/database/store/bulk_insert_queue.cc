#include "database/store/bulk_insert_queue.h"

#include <glog/logging.h>

#include <functional>
#include <utility>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/store/backlog_entry.h"
#include "database/store/db_connection_mariadb.h"
#include "database/store/db_write_backlog.h"
#include "database/store/mysql_schema.h"
#include "vel/core/wall_clock.h"

namespace plemox {

namespace {

using vel::Mariadb;
using vel::RawTimer;
using vel::ResultSets;

// The service's queue and its own client (--leaderboard_use_db_bulk_insert);
// set and cleared only by the controlling thread, read by the write counter.
std::mutex the_handles_mutex;
std::shared_ptr<Mariadb> the_db_connection;              // GUARDED_BY(mutex)
std::shared_ptr<BulkInsertQueue> the_bulk_insert_queue;  // GUARDED_BY(mutex)

void OnBulkScoreSubmitted(
    const std::shared_ptr<ResultSets>& /*result_sets*/,
    const Mariadb::Error& error, const std::string& table,
    const std::shared_ptr<BulkInsertQueue::PendingSet>& requests) {
  VLOG(2) << "OnBulk ScoreSubmitted called";
  if (error.code == Mariadb::kWriteHandedOverError) {
    VLOG(1) << "Bulk insert handed over to the write backlog: table: " << table
            << ", rows: " << requests->size();
    for (const DbSubmitScoreRequest& request : *requests) {
      if (request.callback) request.callback(false);
    }
    return;
  }
  if (error) {
    // The completions report each write; this line says why they failed.
    LOG(ERROR) << "Failed to execute bulk insert: " << error
               << ", table: " << table << ", rows: " << requests->size();
  }
  for (const DbSubmitScoreRequest& request : *requests) {
    if (request.callback) request.callback(error.code != 0);
  }
}

}  // namespace

BulkInsertQueue::BulkInsertQueue(std::shared_ptr<Mariadb> client,
                                 std::uint64_t flush_interval_ms)
    : client_(std::move(client)), flush_interval_ms_(flush_interval_ms) {}

BulkInsertQueue::~BulkInsertQueue() { Finalize(); }

bool BulkInsertQueue::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Named as the fatal message reads.
  const RawTimer::TimerId& the_query_flush_timer_id = timer_id_;
  LEADERBOARD_ASSERT(the_query_flush_timer_id == RawTimer::kInvalidTimerId);
  // The timer holds the queue weakly: a tick that races with the end of the
  // queue finds nothing to do.
  std::weak_ptr<BulkInsertQueue> weak = shared_from_this();
  timer_id_ = RawTimer::ExpireRepeatedly(
      static_cast<std::int64_t>(flush_interval_ms_) * 1000,
      [weak](RawTimer::TimerId, std::int64_t) {
        if (const auto queue = weak.lock()) queue->OnQueryFlushTimer();
      });
  if (timer_id_ == RawTimer::kInvalidTimerId) {
    LOG(ERROR) << "Failed to start the bulk insert flush timer: the host's "
                  "timers do not run";
    return false;
  }
  return true;
}

BulkInsertQueue::SubmitQueueKey BulkInsertQueue::MakeQueueKey(
    const DbSubmitScoreRequest& request) {
  return SubmitQueueKey{request.leaderboard_id + "_" +
                            std::to_string(static_cast<int>(request.result)),
                        request.result, request.leaderboard_id};
}

std::size_t BulkInsertQueue::OrderKeyOf(const SubmitQueueKey& queue_key) {
  return std::hash<std::string>()(queue_key.text);
}

void BulkInsertQueue::Enqueue(DbSubmitScoreRequest request) {
  const SubmitQueueKey queue_key = MakeQueueKey(request);
  // A full batch goes to the table of the write that filled it.
  const boost::posix_time::ptime trigger_next_date_time =
      request.next_date_time;
  std::shared_ptr<PendingSet> full;
  std::uint64_t ticket = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) {
      ticket = next_ticket_++;
      lock.unlock();
      VLOG(1) << "The bulk insert queue is closed; the write is sent alone";
      SendInTurn(ticket, [&] { SendSingle(request, queue_key); });
      return;
    }
    auto inserted = pending_requests_.emplace(queue_key, nullptr);
    if (inserted.second) {
      inserted.first->second = std::make_shared<PendingSet>();
      inserted.first->second->insert(std::move(request));
      last_flush_times_in_msec_[queue_key] = 0;
      return;
    }
    std::shared_ptr<PendingSet> pending_requests = inserted.first->second;
    LEADERBOARD_ASSERT(pending_requests);
    auto queued = pending_requests->find(request);
    if (queued == pending_requests->end()) {
      pending_requests->insert(std::move(request));
    } else if (request.negated_time_stamp <= queued->negated_time_stamp) {
      // The new write is at least as recent: it replaces the queued one.
      pending_requests->erase(queued);
      pending_requests->insert(std::move(request));
    } else {
      VLOG(1) << "An older write of a player was dropped in favour of the "
                 "queued newer one: key="
              << request.key;
      return;
    }
    if (pending_requests->size() < kMaxBulkInsertSize) {
      VLOG(1) << "submit request has been queued: pending_requests="
              << pending_requests.get();
      return;
    }
    VLOG(1) << "Flushing queued submit requests.";
    inserted.first->second = std::make_shared<PendingSet>();
    auto& the_last_flush_times_in_msec = last_flush_times_in_msec_;
    auto itr = the_last_flush_times_in_msec.find(queue_key);
    LEADERBOARD_ASSERT(itr != the_last_flush_times_in_msec.end());
    itr->second = vel::WallClock::GetTimestampInMsec();
    full = std::move(pending_requests);
    ticket = next_ticket_++;
  }
  SendInTurn(ticket,
             [&] { SendBulk(full, queue_key, trigger_next_date_time); });
}

void BulkInsertQueue::SendInTurn(std::uint64_t ticket,
                                 const std::function<void()>& send) {
  std::unique_lock<std::mutex> lock(send_mutex_);
  send_turn_.wait(lock, [&] { return now_serving_ == ticket; });
  // Handing statements to the client only queues them (or completes them
  // at once when it is closed), so the turn is short.
  send();
  ++now_serving_;
  lock.unlock();
  send_turn_.notify_all();
}

void BulkInsertQueue::SendBulk(
    const std::shared_ptr<PendingSet>& requests,
    const SubmitQueueKey& queue_key,
    const boost::posix_time::ptime& trigger_next_date_time) {
  const std::shared_ptr<PendingSet>& pending_requests = requests;
  LEADERBOARD_ASSERT(pending_requests->size() == kMaxBulkInsertSize);
  const std::string tb_name = GetScoreTableName(
      queue_key.leaderboard_id, trigger_next_date_time, queue_key.result);
  // clang-format off
  LEADERBOARD_ASSERT(! tb_name.empty());
  // clang-format on
  std::vector<BulkScoreRow> rows;
  rows.reserve(pending_requests->size());
  for (const DbSubmitScoreRequest& request : *pending_requests) {
    rows.push_back(BulkScoreRow{
        request.account.service_provider(), request.account.id(), request.score,
        request.stored_time_stamp, request.tiebreak_score});
  }
  const std::string query =
      MakeBulkScoreSubmissionQuery(tb_name, queue_key.leaderboard_id, rows);
  VLOG(2) << "Executing bulk insert: query=" << query;
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  client_->ExecuteWriteInOrder(
      OrderKeyOf(queue_key), query,
      [tb_name, requests](const std::shared_ptr<ResultSets>& result_sets,
                          const Mariadb::Error& error) {
        OnBulkScoreSubmitted(result_sets, error, tb_name, requests);
      },
      DbWriteBacklog::Process() ? BacklogEntry::EncodeScorePayload(
                                      queue_key.leaderboard_id, tb_name, rows)
                                : std::string());
}

void BulkInsertQueue::SendSingle(const DbSubmitScoreRequest& request,
                                 const SubmitQueueKey& queue_key) {
  const std::string query = MakeScoreSubmissionQuery(
      request.leaderboard_id, request.account, request.score,
      request.stored_time_stamp, request.next_date_time, request.result,
      request.tiebreak_score);
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "Submitting score: query=" << query;
  const std::string leaderboard_id = request.leaderboard_id;
  const vel::PlayerAccount account = request.account;
  const auto result = request.result;
  const double score = request.score;
  const DbConnection::SubmitScoreCallback callback = request.callback;
  client_->ExecuteWriteInOrder(
      OrderKeyOf(queue_key), query,
      [leaderboard_id, account, result, score, callback](
          const std::shared_ptr<ResultSets>& result_sets,
          const Mariadb::Error& error) {
        DbConnectionMariadb::OnScoreSubmitted(result_sets, error,
                                              leaderboard_id, account, result,
                                              score, callback);
      },
      DbConnectionMariadb::ScorePayload(
          request.leaderboard_id, request.account,
          DbConnection::ScoreOutcome(request.result, request.score * -1.0),
          -request.negated_time_stamp, request.next_date_time));
}

void BulkInsertQueue::OnQueryFlushTimer() {
  const std::int64_t now = vel::WallClock::GetTimestampInMsec();
  std::vector<std::pair<SubmitQueueKey, std::shared_ptr<PendingSet>>> taken;
  std::uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    for (auto& queue : pending_requests_) {
      auto itr = last_flush_times_in_msec_.find(queue.first);
      if (itr == last_flush_times_in_msec_.end()) continue;
      if (now - itr->second < static_cast<std::int64_t>(flush_interval_ms_)) {
        continue;
      }
      itr->second = now;
      taken.emplace_back(queue.first, std::move(queue.second));
      queue.second = std::make_shared<PendingSet>();
    }
    if (!taken.empty()) ticket = next_ticket_++;
  }
  if (taken.empty()) {
    VLOG(1) << "Pending requests is empty. skipping.";
    return;
  }
  SendInTurn(ticket, [&] {
    for (const auto& queue : taken) {
      for (const DbSubmitScoreRequest& request : *queue.second) {
        SendSingle(request, queue.first);
      }
    }
  });
}

std::size_t BulkInsertQueue::DiscardPendingWrites(
    const std::string& leaderboard_id, const vel::PlayerAccount& account) {
  DbSubmitScoreRequest probe;
  probe.key =
      leaderboard_id + "_" + account.id() + "_" + account.service_provider();
  probe.account = account;
  std::size_t discarded = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& queue : pending_requests_) {
    if (queue.first.leaderboard_id != leaderboard_id) continue;
    discarded += queue.second->erase(probe);
  }
  return discarded;
}

void BulkInsertQueue::Finalize() {
  std::vector<std::pair<SubmitQueueKey, std::shared_ptr<PendingSet>>> taken;
  RawTimer::TimerId timer_id = RawTimer::kInvalidTimerId;
  std::uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    timer_id = timer_id_;
    timer_id_ = RawTimer::kInvalidTimerId;
    for (auto& queue : pending_requests_) {
      if (!queue.second->empty()) {
        taken.emplace_back(queue.first, std::move(queue.second));
      }
      queue.second = std::make_shared<PendingSet>();
    }
    ticket = next_ticket_++;
  }
  if (timer_id != RawTimer::kInvalidTimerId) RawTimer::Cancel(timer_id);
  // Flushes that took writes before hand them to the client first.
  std::size_t count = 0;
  SendInTurn(ticket, [&] {
    for (const auto& queue : taken) {
      for (const DbSubmitScoreRequest& request : *queue.second) {
        SendSingle(request, queue.first);
        ++count;
      }
    }
  });
  if (count > 0) {
    LOG(INFO) << "Bulk insert queue: sending the " << count
              << " writes still queued before the connection closes";
  }
  // Lets the queued statements run (and kept ones retry) for the drain time;
  // the rest goes to the write backlog.
  client_->Finalize(
      static_cast<std::int64_t>(FLAGS_mysql_db_shutdown_drain_ms));
}

std::size_t BulkInsertQueue::pending_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t count = 0;
  for (const auto& queue : pending_requests_) count += queue.second->size();
  return count;
}

void BulkInsertQueue::InitializeBulkInsert() {
  std::lock_guard<std::mutex> lock(the_handles_mutex);
  // clang-format off
  LEADERBOARD_ASSERT(! the_db_connection);
  // clang-format on
  if (!FLAGS_leaderboard_use_db_bulk_insert) return;
  the_db_connection = Mariadb::Create(
      FLAGS_mysql_server_url, FLAGS_mysql_id, FLAGS_mysql_pw,
      FLAGS_mysql_db_name, FLAGS_mysql_db_connection_count,
      FLAGS_mysql_db_character_set, Mariadb::kDefaultAutoRetryOnDeadlock,
      Mariadb::kDefaultClientFlags,
      FLAGS_mysql_db_slow_query_threshold_time_in_ms,
      Mariadb::kDefaultConnectionFailureHandler);
  LEADERBOARD_ASSERT(the_db_connection->SetPendingWriteLimit(
      FLAGS_mysql_db_pending_write_limit))
      << "Invalid --mysql_db_pending_write_limit";
  if (const auto backlog = DbWriteBacklog::Process()) {
    const std::weak_ptr<Mariadb> weak = the_db_connection;
    the_db_connection->SetWriteHandover(backlog->MakeHandover("bulk", [weak] {
      const auto held = weak.lock();
      return held ? held->OldestPendingWrite() : UINT64_MAX;
    }));
  }
  LEADERBOARD_ASSERT(the_db_connection->Initialize())
      << "Failed to initialize the bulk insert database connection";
  LOG(INFO) << "Leaderboard uses database bulk insert procedure/query. "
            << " bulk insert size=" << kMaxBulkInsertSize
            << ", force flush interval=" << FLAGS_force_flush_interval_in_msec
            << " ms";
  the_bulk_insert_queue = std::make_shared<BulkInsertQueue>(
      the_db_connection, FLAGS_force_flush_interval_in_msec);
  LEADERBOARD_ASSERT(the_bulk_insert_queue->Start())
      << "Failed to start the bulk insert flush timer";
  std::weak_ptr<BulkInsertQueue> weak = the_bulk_insert_queue;
  DbConnectionMariadb::SetBulkScoreSubmitter(
      [weak](const std::string& leaderboard_id,
             const vel::PlayerAccount& account,
             const DbConnection::ScoreOutcome& outcome,
             std::int64_t time_stamp_in_msec,
             const boost::posix_time::ptime& next_date_time,
             std::optional<double> tiebreak_score,
             const DbConnection::SubmitScoreCallback& callback) {
        const auto queue = weak.lock();
        if (!queue) {
          LOG(ERROR) << "The bulk insert queue is gone; score write lost: "
                     << "leaderboard id: " << leaderboard_id
                     << ", player account: " << account;
          if (callback) callback(true);
          return;
        }
        DbSubmitScoreRequest request = DbSubmitScoreRequest::Make(
            leaderboard_id, account, outcome, time_stamp_in_msec,
            next_date_time, callback);
        request.tiebreak_score = tiebreak_score;
        queue->Enqueue(std::move(request));
      });
}

void BulkInsertQueue::FinalizeBulkInsert() {
  DbConnectionMariadb::SetBulkScoreSubmitter(nullptr);
  std::shared_ptr<BulkInsertQueue> queue;
  std::shared_ptr<Mariadb> client;
  {
    std::lock_guard<std::mutex> lock(the_handles_mutex);
    queue = std::move(the_bulk_insert_queue);
    client = std::move(the_db_connection);
    the_bulk_insert_queue.reset();
    the_db_connection.reset();
  }
  if (queue) queue->Finalize();
  if (client) {
    client->Finalize(
        static_cast<std::int64_t>(FLAGS_mysql_db_shutdown_drain_ms));
  }
}

std::size_t BulkInsertQueue::DiscardProcessPendingWrites(
    const std::string& leaderboard_id, const vel::PlayerAccount& account) {
  std::shared_ptr<BulkInsertQueue> queue;
  {
    std::lock_guard<std::mutex> lock(the_handles_mutex);
    queue = the_bulk_insert_queue;
  }
  return queue ? queue->DiscardPendingWrites(leaderboard_id, account) : 0;
}

vel::Mariadb::WriteStats BulkInsertQueue::ProcessWriteStats(
    std::size_t* queued) {
  std::shared_ptr<BulkInsertQueue> queue;
  std::shared_ptr<Mariadb> client;
  {
    std::lock_guard<std::mutex> lock(the_handles_mutex);
    queue = the_bulk_insert_queue;
    client = the_db_connection;
  }
  *queued = queue ? queue->pending_count() : 0;
  return client ? client->write_stats() : Mariadb::WriteStats();
}

}  // namespace plemox
