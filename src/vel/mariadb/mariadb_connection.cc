#include "vel/mariadb/internal/mariadb_connection.h"

#include <errmsg.h>
#include <glog/logging.h>
#include <mysql.h>
#include <mysqld_error.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "vel/core/monotonic_clock.h"
#include "vel/mariadb/mariadb_tls.h"

namespace vel {
namespace {

thread_local MariadbConnection* tls_current_connection = nullptr;

// MySQL 8 sends this before closing an idle connection; MariaDB does not,
// but a server behind a proxy may be either.
constexpr unsigned kClientInteractionTimeout = 4031;

// Errors after which the connection cannot be used any more.
bool IsConnectionLost(unsigned code) {
  switch (code) {
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case CR_COMMANDS_OUT_OF_SYNC:
    case CR_SERVER_LOST_EXTENDED:
    case CR_ERR_NET_READ:
    case CR_ERR_NET_WRITE:
    case ER_SERVER_SHUTDOWN:
    case ER_CONNECTION_KILLED:
    case kClientInteractionTimeout:
      return true;
    default:
      return false;
  }
}

// Statements can be long (bulk inserts, schema scripts): log lines keep the
// start and say how long the whole was.
std::string Abbreviate(const std::string& statement) {
  constexpr std::size_t kMaxLogged = 2000;
  if (statement.size() <= kMaxLogged) return statement;
  return statement.substr(0, kMaxLogged) + "... (" +
         std::to_string(statement.size()) + " bytes)";
}

// The answer to a statement that the finalised client will never run.
Mariadb::Error FinalizedError() {
  return Mariadb::Error{Mariadb::kClientNotRunningError,
                        "MariaDB client was finalized before the statement "
                        "ran; statement not executed",
                        "08003"};
}

}  // namespace

MariadbConnection::MariadbConnection(Options options)
    : options_(std::move(options)) {}

MariadbConnection::~MariadbConnection() {
  // The worker owns a reference until it ends, so it has ended here unless
  // Start was never called.
  Close();
}

MariadbConnection* MariadbConnection::Current() {
  return tls_current_connection;
}

std::future<Mariadb::Error> MariadbConnection::Start() {
  std::promise<Mariadb::Error> started;
  std::future<Mariadb::Error> result = started.get_future();
  std::lock_guard<std::mutex> lock(mutex_);
  thread_ = std::thread(&MariadbConnection::Run, this, shared_from_this(),
                        std::move(started));
  return result;
}

bool MariadbConnection::Enqueue(const std::string& statement,
                                Mariadb::Callback callback, bool durable,
                                std::string payload, std::size_t order_key) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    Task task{statement,          std::move(callback), durable,
              std::move(payload), order_key,           0};
    if (durable) {
      // Taken under this connection's lock, so the numbers grow along its
      // queue.
      task.sequence = options_.retention->next_sequence++;
      durable_sequences_.push_back(task.sequence);
    }
    queue_.push_back(std::move(task));
    ++load_;
  }
  wake_.notify_one();
  return true;
}

void MariadbConnection::Stop(std::int64_t drain_deadline_us) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    drain_deadline_us_ = drain_deadline_us;
  }
  wake_.notify_one();
}

bool MariadbConnection::WaitEnded(std::int64_t deadline_us) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (ended_) return true;
    const std::int64_t left = deadline_us - MonotonicClock::Now();
    if (left <= 0) return false;
    ended_cv_.wait_for(lock, std::chrono::microseconds(left));
  }
}

void MariadbConnection::Interrupt() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

std::vector<MariadbConnection::Leftover> MariadbConnection::TakeLeftovers() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Leftover> taken;
  taken.swap(leftovers_);
  return taken;
}

std::uint64_t MariadbConnection::OldestDurableSequence() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return durable_sequences_.empty() ? UINT64_MAX : durable_sequences_.front();
}

void MariadbConnection::KeepLeftover(Task task) {
  Leftover leftover;
  leftover.write.order_key = task.order_key;
  leftover.write.sequence = task.sequence;
  leftover.write.payload = std::move(task.payload);
  leftover.callback = std::move(task.callback);
  std::lock_guard<std::mutex> lock(mutex_);
  leftovers_.push_back(std::move(leftover));
}

void MariadbConnection::Join() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void MariadbConnection::Run(std::shared_ptr<MariadbConnection> self,
                            std::promise<Mariadb::Error> started) {
  mysql_thread_init();
  tls_current_connection = this;
  Mariadb::Error error;
  Connect(&error);
  started.set_value(error);

  for (;;) {
    Task task;
    bool expired = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) break;  // stopping, nothing left
      task = std::move(queue_.front());
      queue_.pop_front();
      expired = stopping_ && MonotonicClock::Now() >= drain_deadline_us_;
    }
    bool kept = false;
    if (expired) {
      if (KeepsForHandover(task)) {
        kept = true;
      } else {
        if (task.durable) {
          ++options_.retention->abandoned;
          // Finalize sums them up; one line per write would flood the log.
          LOG_EVERY_N(ERROR, 1000)
              << "MariaDB connection " << options_.index
              << ": write not run before the client was finalized ("
              << google::COUNTER << " so far): " << Abbreviate(task.statement);
        }
        Invoke(task.callback, std::make_shared<ResultSets>(), FinalizedError());
      }
    } else {
      std::shared_ptr<ResultSets> results;
      const Mariadb::Error result = task.durable
                                        ? ExecuteDurable(task, &results)
                                        : Execute(task.statement, &results);
      if (result.code == Mariadb::kClientNotRunningError &&
          KeepsForHandover(task)) {
        kept = true;
      } else {
        // A write given up at Finalize is counted as abandoned already.
        if (task.durable && result.code != Mariadb::kClientNotRunningError) {
          ++(result ? options_.retention->failed : options_.retention->written);
        }
        Invoke(task.callback, results, result);
      }
    }
    if (task.durable) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        durable_sequences_.pop_front();
      }
      // A kept write stays pending until Finalize hands it over.
      if (!kept) --options_.retention->pending;
    }
    if (kept) KeepLeftover(std::move(task));
    --load_;
  }

  Close();
  tls_current_connection = nullptr;
  mysql_thread_end();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  ended_cv_.notify_all();
  VLOG(1) << "MariaDB connection " << options_.index << " stopped";
  // `self` goes last: a detached worker keeps this object alive until here.
  (void)self;
}

bool MariadbConnection::DrainExpired() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_ && MonotonicClock::Now() >= drain_deadline_us_;
}

Mariadb::Error MariadbConnection::ExecuteDurable(
    const Task& task, std::shared_ptr<ResultSets>* out) {
  Mariadb::Error error = Execute(task.statement, out);
  if (!Mariadb::IsUnreachableError(error)) return error;

  // Cut by Finalize after its drain time: straight to the handover.
  if (KeepsForHandover(task) && DrainExpired()) return FinalizedError();
  // The server is unreachable: this write and everything queued behind it
  // wait here, so the order of the writes is kept.
  const std::int64_t kept_since_us = MonotonicClock::Now();
  ++options_.retention->retained;
  LOG(ERROR) << "MariaDB connection " << options_.index
             << ": the database is unreachable; keeping the write and "
                "retrying it (writes behind it wait): "
             << error << ", statement: " << Abbreviate(task.statement);
  int attempts = 1;
  for (;;) {
    // The next connect attempt is due at next_connect_attempt_us_; never
    // spin faster than the shortest reconnect delay.
    const std::int64_t now = MonotonicClock::Now();
    const std::int64_t wake_at =
        std::max(next_connect_attempt_us_, now + kMinReconnectDelayMs * 1000);
    {
      // New statements wake the worker too; only the time (or the end of
      // Stop's drain time) ends the pause.
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        const std::int64_t until =
            stopping_ ? std::min(wake_at, drain_deadline_us_) : wake_at;
        const std::int64_t left = until - MonotonicClock::Now();
        if (left <= 0) break;
        wake_.wait_for(lock, std::chrono::microseconds(left));
      }
    }
    if (DrainExpired()) {
      if (KeepsForHandover(task)) {
        VLOG(1) << "MariaDB connection " << options_.index
                << ": a kept write goes to the handover after " << attempts
                << " attempts";
        return FinalizedError();
      }
      ++options_.retention->abandoned;
      LOG(ERROR) << "MariaDB connection " << options_.index
                 << ": giving up a kept write after " << attempts
                 << " attempts, the client is finalized; the write is lost: "
                 << Abbreviate(task.statement);
      return FinalizedError();
    }
    error = Execute(task.statement, out);
    ++attempts;
    if (!Mariadb::IsUnreachableError(error)) break;
    if (attempts % 20 == 0) {
      LOG(ERROR) << "MariaDB connection " << options_.index
                 << ": the database is still unreachable after " << attempts
                 << " attempts; " << options_.retention->pending.load()
                 << " writes wait: " << error;
    }
  }
  LOG(WARNING) << "MariaDB connection " << options_.index
               << ": the database is reachable again; the kept write ran "
                  "after "
               << (MonotonicClock::Now() - kept_since_us) / 1000 << " ms and "
               << attempts << " attempts";
  if (error) {
    LOG(ERROR) << "MariaDB connection " << options_.index
               << ": the kept write was refused: " << error
               << ", statement: " << Abbreviate(task.statement);
  }
  return error;
}

void MariadbConnection::Invoke(const Mariadb::Callback& callback,
                               const std::shared_ptr<ResultSets>& results,
                               const Mariadb::Error& error) const {
  if (!callback) return;
  // An exception must not end the worker thread, which would strand the
  // statements queued behind it.
  try {
    callback(results, error);
  } catch (const std::exception& e) {
    LOG(ERROR) << "MariaDB statement callback threw: " << e.what();
  } catch (...) {
    LOG(ERROR) << "MariaDB statement callback threw a non-standard exception";
  }
}

Mariadb::Error MariadbConnection::LastError() const {
  Mariadb::Error error;
  error.code = mysql_errno(mysql_);
  error.description = mysql_error(mysql_);
  error.sql_state = mysql_sqlstate(mysql_);
  if (error.code == 0) {
    // The connector failed without saying why (it does so when it runs out
    // of memory); never report that as success.
    error.code = CR_UNKNOWN_ERROR;
    error.description = "Unknown MariaDB client error";
    error.sql_state = "HY000";
  }
  return error;
}

bool MariadbConnection::Connect(Mariadb::Error* error) {
  Close();
  mysql_ = mysql_init(nullptr);
  if (mysql_ == nullptr) {
    *error = Mariadb::Error{CR_OUT_OF_MEMORY, "mysql_init failed", "HY000"};
  } else {
    const Mariadb::Timeouts& timeouts = options_.timeouts;
    const bool unix_socket = !options_.address.unix_socket.empty();
    const unsigned protocol =
        unix_socket ? MYSQL_PROTOCOL_SOCKET : MYSQL_PROTOCOL_TCP;
    const my_bool no = 0;
    const unsigned no_local_infile = 0;
    mysql_optionsv(mysql_, MYSQL_OPT_CONNECT_TIMEOUT,
                   &timeouts.connect_seconds);
    mysql_optionsv(mysql_, MYSQL_OPT_READ_TIMEOUT, &timeouts.read_seconds);
    mysql_optionsv(mysql_, MYSQL_OPT_WRITE_TIMEOUT, &timeouts.write_seconds);
    mysql_optionsv(mysql_, MYSQL_OPT_PROTOCOL, &protocol);
    // Reconnecting is ours to do: the connector's own would re-send
    // statements that may already have run.
    mysql_optionsv(mysql_, MYSQL_OPT_RECONNECT, &no);
    // LOAD DATA LOCAL would let a server read the client's files.
    mysql_optionsv(mysql_, MYSQL_OPT_LOCAL_INFILE, &no_local_infile);
    if (!options_.character_set.empty()) {
      mysql_optionsv(mysql_, MYSQL_SET_CHARSET_NAME,
                     options_.character_set.c_str());
    }
    MariadbTls::Apply(mysql_);
    const std::string& host = options_.address.host;
    if (mysql_real_connect(
            mysql_, unix_socket ? "localhost" : host.c_str(),
            options_.user_id.c_str(), options_.password.c_str(),
            options_.database.empty() ? nullptr : options_.database.c_str(),
            options_.address.port,
            unix_socket ? options_.address.unix_socket.c_str() : nullptr,
            options_.client_flags) != nullptr) {
      if (ever_connected_) {
        LOG(INFO) << "MariaDB connection " << options_.index << " reconnected";
      }
      ever_connected_ = true;
      {
        std::lock_guard<std::mutex> lock(socket_mutex_);
        socket_ = static_cast<int>(mysql_get_socket(mysql_));
      }
      reconnect_delay_ms_ = kMinReconnectDelayMs;
      next_connect_attempt_us_ = 0;
      connected_ = true;
      {
        MariadbSessionTraits& traits = *options_.session_traits;
        std::lock_guard<std::mutex> lock(traits.mutex);
        traits.character_set = mysql_character_set_name(mysql_);
        traits.no_backslash_escapes =
            (mysql_->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) != 0;
      }
      VLOG(1) << "MariaDB connection " << options_.index << " open";
      return true;
    }
    *error = LastError();
    Close();
  }

  last_connect_error_ = *error;
  next_connect_attempt_us_ = MonotonicClock::Now() + reconnect_delay_ms_ * 1000;
  reconnect_delay_ms_ = std::min(reconnect_delay_ms_ * 2, kMaxReconnectDelayMs);
  if (options_.on_connection_failure) {
    options_.on_connection_failure(*error);
  } else {
    LOG(WARNING) << "MariaDB connection " << options_.index
                 << " could not connect: " << *error;
  }
  return false;
}

void MariadbConnection::Close() {
  if (mysql_ != nullptr) CloseHandle();
  connected_ = false;
}

void MariadbConnection::CloseHandle() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  socket_ = -1;
  mysql_close(mysql_);
  mysql_ = nullptr;
}

bool MariadbConnection::IdleConnectionBroken() const {
  const int fd = static_cast<int>(mysql_get_socket(mysql_));
  if (fd < 0) return true;
  pollfd entry{};
  entry.fd = fd;
  entry.events = POLLIN | POLLRDHUP;
  int ready = 0;
  do {
    ready = poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  // Between statements the server sends nothing; anything readable is the
  // end of the connection (or the error packet right before it).
  return ready != 0;
}

void MariadbConnection::OnConnectionLost(const Mariadb::Error& error) {
  LOG(WARNING) << "MariaDB connection " << options_.index << " lost: " << error;
  Close();
  if (options_.on_connection_failure) options_.on_connection_failure(error);
}

bool MariadbConnection::EnsureConnected(Mariadb::Error* error) {
  if (mysql_ != nullptr) {
    if (!IdleConnectionBroken()) return true;
    OnConnectionLost(Mariadb::Error{
        CR_SERVER_GONE_ERROR,
        "MariaDB server closed the connection while it was idle", "HY000"});
  }
  if (MonotonicClock::Now() < next_connect_attempt_us_) {
    *error = last_connect_error_;
    return false;
  }
  return Connect(error);
}

Mariadb::Error MariadbConnection::ReadResults(ResultSets* results,
                                              bool* possibly_committed) {
  if (mysql_read_query_result(mysql_) != 0) return LastError();
  for (;;) {
    if (mysql_field_count(mysql_) > 0) {
      std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> result(
          mysql_store_result(mysql_), &mysql_free_result);
      if (!result) return LastError();
      const unsigned columns = mysql_num_fields(result.get());
      const MYSQL_FIELD* fields = mysql_fetch_fields(result.get());
      std::vector<std::string> names;
      names.reserve(columns);
      for (unsigned i = 0; i < columns; ++i) names.emplace_back(fields[i].name);
      results->AddResultSet(std::move(names));
      while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
        const unsigned long* lengths = mysql_fetch_lengths(result.get());
        ResultSets::Row values(columns);
        for (unsigned i = 0; i < columns; ++i) {
          if (row[i] != nullptr) values[i].emplace(row[i], lengths[i]);
        }
        results->AddRow(std::move(values));
      }
    } else {
      const my_ulonglong affected = mysql_affected_rows(mysql_);
      if (affected != static_cast<my_ulonglong>(-1)) {
        results->AddAffectedRows(affected);
      }
    }
    if ((mysql_->server_status & SERVER_STATUS_IN_TRANS) == 0) {
      *possibly_committed = true;
    }
    const int next = mysql_next_result(mysql_);
    if (next < 0) return Mariadb::Error();
    // The server stops a multi-statement text at its first failing
    // statement, so there is nothing left to read after an error.
    if (next > 0) return LastError();
  }
}

Mariadb::Error MariadbConnection::Execute(const std::string& statement,
                                          std::shared_ptr<ResultSets>* out) {
  const std::int64_t started_us = MonotonicClock::Now();
  auto results = std::make_shared<ResultSets>();
  Mariadb::Error error;
  int deadlock_retries = 0;
  bool resent_after_loss = false;
  VLOG(2) << "MariaDB connection " << options_.index
          << " executes: " << Abbreviate(statement);

  for (;;) {
    results = std::make_shared<ResultSets>();
    if (!EnsureConnected(&error)) break;

    if (mysql_send_query(mysql_, statement.data(), statement.size()) != 0) {
      error = LastError();
      if (!IsConnectionLost(error.code)) break;
      OnConnectionLost(error);
      // Not sent (a partly written packet is never executed): safe to send
      // once more on a new connection.
      if (resent_after_loss) break;
      resent_after_loss = true;
      LOG(WARNING) << "Re-sending a statement after the connection was lost "
                      "before it was sent: "
                   << Abbreviate(statement);
      continue;
    }

    bool possibly_committed = false;
    error = ReadResults(results.get(), &possibly_committed);
    if (!error) break;
    if (IsConnectionLost(error.code)) {
      // The server may or may not have run it: report, never re-send.
      OnConnectionLost(error);
      break;
    }
    if (error.code == ER_LOCK_DEADLOCK && options_.auto_retry_on_deadlock) {
      if (deadlock_retries >= Mariadb::kMaxDeadlockRetries) {
        LOG(WARNING) << "Deadlock persists after " << deadlock_retries
                     << " retries; giving up: " << Abbreviate(statement);
        break;
      }
      if (possibly_committed) {
        // An earlier statement of this text completed outside the rolled
        // back transaction; running the text again would repeat it.
        LOG(WARNING) << "Deadlock not retried: earlier statements of the "
                        "text may have taken effect: "
                     << Abbreviate(statement);
        break;
      }
      ++deadlock_retries;
      LOG(WARNING) << "Deadlock; retrying (" << deadlock_retries << "/"
                   << Mariadb::kMaxDeadlockRetries
                   << "): " << Abbreviate(statement);
      std::this_thread::sleep_for(
          std::chrono::milliseconds(10 * deadlock_retries));
      continue;
    }
    break;
  }

  const std::int64_t elapsed_ms = (MonotonicClock::Now() - started_us) / 1000;
  if (options_.slow_query_threshold_ms > 0 &&
      elapsed_ms > options_.slow_query_threshold_ms) {
    LOG(WARNING) << "Slow query: elapsed=" << elapsed_ms
                 << "ms, threshold=" << options_.slow_query_threshold_ms
                 << "ms, statement: " << Abbreviate(statement);
  }
  if (error) {
    VLOG(1) << "MariaDB statement failed: " << error
            << ", statement: " << Abbreviate(statement);
  }
  if (out != nullptr) *out = std::move(results);
  return error;
}

}  // namespace vel
