#include "vel/mariadb/mariadb.h"

#include <errmsg.h>
#include <glog/logging.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <limits>
#include <mutex>
#include <utility>

#include "vel/core/monotonic_clock.h"
#include "vel/mariadb/internal/mariadb_connection.h"
#include "vel/mariadb/mariadb_tls.h"

namespace vel {
namespace {

static_assert(Mariadb::kDefaultClientFlags ==
                  (CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS),
              "client flag values");

constexpr unsigned kDefaultPort = 3306;
// A sanity bound: each connection is a server connection and a thread.
constexpr std::size_t kMaxConnectionCount = 1000;

// The connector's process-wide state, set up once before any handle.
bool InitializeLibrary() {
  static std::once_flag once;
  static bool initialized = false;
  std::call_once(once, [] {
    initialized = mysql_library_init(0, nullptr, nullptr) == 0;
    if (!initialized) LOG(ERROR) << "mysql_library_init failed";
  });
  return initialized;
}

Mariadb::Error NotRunningError() {
  return Mariadb::Error{Mariadb::kClientNotRunningError,
                        "MariaDB client is not running (not initialized or "
                        "finalized); statement not executed",
                        "08003"};
}

bool ParsePort(const std::string& text, unsigned* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = value;
  return true;
}

// The write bookkeeping of every client alive, for ProcessPendingWrites.
std::mutex the_retentions_mutex;
std::vector<std::weak_ptr<MariadbWriteRetention>>&
the_retentions() {  // GUARDED_BY(the_retentions_mutex)
  static std::vector<std::weak_ptr<MariadbWriteRetention>> retentions;
  return retentions;
}

void RegisterRetention(const std::shared_ptr<MariadbWriteRetention>& r) {
  std::lock_guard<std::mutex> lock(the_retentions_mutex);
  auto& all = the_retentions();
  all.erase(std::remove_if(all.begin(), all.end(),
                           [](const std::weak_ptr<MariadbWriteRetention>& w) {
                             return w.expired();
                           }),
            all.end());
  all.push_back(r);
}

Mariadb::Error HandedOverError() {
  return Mariadb::Error{Mariadb::kWriteHandedOverError,
                        "the write could not reach the database in time and "
                        "was handed over for a later replay",
                        "HY000"};
}

}  // namespace

std::size_t Mariadb::ProcessPendingWrites() {
  std::lock_guard<std::mutex> lock(the_retentions_mutex);
  std::size_t pending = 0;
  for (const auto& weak : the_retentions()) {
    if (auto retention = weak.lock()) pending += retention->pending.load();
  }
  return pending;
}

bool Mariadb::SetWriteHandover(WriteHandover handover) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (state_ != State::kCreated) {
    LOG(ERROR) << "MariaDB write handover can only be set before Initialize";
    return false;
  }
  handover_ = std::move(handover);
  retention_->hand_over_leftovers = static_cast<bool>(handover_);
  return true;
}

std::uint64_t Mariadb::OldestPendingWrite() const {
  std::uint64_t oldest = UINT64_MAX;
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (const auto& connection : connections_) {
      oldest = std::min(oldest, connection->OldestDurableSequence());
    }
  }
  // Read after the connections: a write queued meanwhile has a higher
  // number than any that was pending.
  return oldest == UINT64_MAX ? retention_->next_sequence.load() : oldest;
}

const Mariadb::ConnectionFailureHandler
    Mariadb::kDefaultConnectionFailureHandler = [](const Error& error) {
      LOG(ERROR) << "MariaDB connection failure: " << error;
    };

std::ostream& operator<<(std::ostream& os, const Mariadb::Error& error) {
  return os << "code: " << error.code << ", desc: " << error.description
            << ", sqlstate: " << error.sql_state;
}

std::shared_ptr<Mariadb> Mariadb::Create(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database,
    std::size_t connection_count, const std::string& character_set,
    bool auto_retry_on_deadlock, unsigned long client_flags,
    std::int64_t slow_query_threshold_ms,
    ConnectionFailureHandler on_connection_failure) {
  return std::shared_ptr<Mariadb>(
      new Mariadb(server_url, user_id, password, database, connection_count,
                  character_set, auto_retry_on_deadlock, client_flags,
                  slow_query_threshold_ms, std::move(on_connection_failure)));
}

Mariadb::Mariadb(const std::string& server_url, const std::string& user_id,
                 const std::string& password, const std::string& database,
                 std::size_t connection_count, const std::string& character_set,
                 bool auto_retry_on_deadlock, unsigned long client_flags,
                 std::int64_t slow_query_threshold_ms,
                 ConnectionFailureHandler on_connection_failure)
    : server_url_(server_url),
      user_id_(user_id),
      password_(password),
      database_(database),
      connection_count_(connection_count),
      character_set_(character_set),
      auto_retry_on_deadlock_(auto_retry_on_deadlock),
      client_flags_(client_flags | CLIENT_MULTI_RESULTS),
      slow_query_threshold_ms_(slow_query_threshold_ms),
      on_connection_failure_(std::move(on_connection_failure)),
      session_traits_(std::make_shared<MariadbSessionTraits>()),
      retention_(std::make_shared<MariadbWriteRetention>()) {
  session_traits_->character_set = character_set;
  RegisterRetention(retention_);
}

Mariadb::~Mariadb() { Finalize(); }

bool Mariadb::ParseServerUrl(const std::string& server_url,
                             ServerAddress* address) {
  ServerAddress parsed;
  if (!server_url.empty() && server_url.front() == '/') {
    parsed.unix_socket = server_url;
    *address = parsed;
    return true;
  }
  std::string port_text;
  if (!server_url.empty() && server_url.front() == '[') {
    const std::size_t close = server_url.find(']');
    if (close == std::string::npos) return false;
    parsed.host = server_url.substr(1, close - 1);
    const std::string rest = server_url.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port_text = rest.substr(1);
      if (port_text.empty()) return false;
    }
  } else {
    const std::size_t colon = server_url.find(':');
    if (colon != std::string::npos &&
        server_url.find(':', colon + 1) != std::string::npos) {
      return false;  // a bare IPv6 address is ambiguous: use [addr]:port
    }
    parsed.host = server_url.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = server_url.substr(colon + 1);
      if (port_text.empty()) return false;
    }
  }
  if (parsed.host.empty()) return false;
  parsed.port = kDefaultPort;
  if (!port_text.empty() && !ParsePort(port_text, &parsed.port)) return false;
  *address = parsed;
  return true;
}

bool Mariadb::SetTimeouts(const Timeouts& timeouts) {
  if (timeouts.connect_seconds == 0 || timeouts.read_seconds == 0 ||
      timeouts.write_seconds == 0) {
    LOG(ERROR) << "MariaDB timeouts must not be 0 (0 would wait forever)";
    return false;
  }
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (state_ != State::kCreated) {
    LOG(ERROR) << "MariaDB timeouts can only be set before Initialize";
    return false;
  }
  timeouts_ = timeouts;
  return true;
}

bool Mariadb::SetPendingWriteLimit(std::size_t limit) {
  if (limit == 0) {
    LOG(ERROR) << "MariaDB pending write limit must not be 0";
    return false;
  }
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (state_ != State::kCreated) {
    LOG(ERROR) << "MariaDB pending write limit can only be set before "
                  "Initialize";
    return false;
  }
  retention_->limit = limit;
  return true;
}

bool Mariadb::IsUnreachableError(const Error& error) {
  switch (error.code) {
    case CR_CONNECTION_ERROR:  // 2002, cannot connect (socket)
    case CR_CONN_HOST_ERROR:   // 2003, cannot connect (TCP)
    case CR_UNKNOWN_HOST:      // 2005, the name does not resolve
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case CR_ERR_NET_READ:
    case CR_ERR_NET_WRITE:
    case CR_COMMANDS_OUT_OF_SYNC:
    case ER_CON_COUNT_ERROR:  // 1040, the server takes no more connections
    case ER_SERVER_SHUTDOWN:
    case ER_CONNECTION_KILLED:
    case 4031:  // MySQL 8: idle connection closed by the server
      return true;
    default:
      return false;
  }
}

Mariadb::WriteStats Mariadb::write_stats() const {
  WriteStats stats;
  stats.pending = retention_->pending.load();
  stats.retained = retention_->retained.load();
  stats.dropped = retention_->dropped.load();
  stats.abandoned = retention_->abandoned.load();
  stats.written = retention_->written.load();
  stats.failed = retention_->failed.load();
  stats.handed_over = retention_->handed_over.load();
  return stats;
}

bool Mariadb::Initialize() {
  ServerAddress address;
  if (!ParseServerUrl(server_url_, &address)) {
    LOG(ERROR) << "Invalid MariaDB server url: \"" << server_url_
               << "\" (expected host, host:port, [ipv6]:port or /socket/path)";
    return false;
  }
  if (connection_count_ == 0 || connection_count_ > kMaxConnectionCount) {
    LOG(ERROR) << "Invalid MariaDB connection count: " << connection_count_
               << " (1 to " << kMaxConnectionCount << ")";
    return false;
  }
  if (!InitializeLibrary()) return false;

  Timeouts timeouts;
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (state_ != State::kCreated) {
      LOG(ERROR) << "MariaDB client already initialized or finalized: "
                 << server_url_;
      return false;
    }
    state_ = State::kInitializing;
    timeouts = timeouts_;
  }

  std::vector<std::shared_ptr<MariadbConnection>> connections;
  std::vector<std::future<Error>> started;
  for (std::size_t i = 0; i < connection_count_; ++i) {
    MariadbConnection::Options options;
    options.address = address;
    options.user_id = user_id_;
    options.password = password_;
    options.database = database_;
    options.character_set = character_set_;
    options.auto_retry_on_deadlock = auto_retry_on_deadlock_;
    options.client_flags = client_flags_;
    options.slow_query_threshold_ms = slow_query_threshold_ms_;
    options.on_connection_failure = on_connection_failure_;
    options.timeouts = timeouts;
    options.session_traits = session_traits_;
    options.retention = retention_;
    options.owner = this;
    options.index = i;
    connections.push_back(std::make_shared<MariadbConnection>(options));
    started.push_back(connections.back()->Start());
  }
  std::size_t open = 0;
  Error last_error;
  for (auto& result : started) {
    const Error error = result.get();
    if (error) {
      last_error = error;
    } else {
      ++open;
    }
  }

  bool finalized_meanwhile = false;
  if (open > 0) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (state_ == State::kInitializing) {
      state_ = State::kRunning;
      connections_ = connections;
    } else {
      finalized_meanwhile = true;
    }
  }
  if (open == 0 || finalized_meanwhile) {
    for (auto& connection : connections) connection->Stop(0);
    for (auto& connection : connections) connection->Join();
    if (open == 0) {
      LOG(ERROR) << "Failed to connect to the MariaDB server " << server_url_
                 << " (user " << user_id_ << ", database " << database_
                 << "): " << last_error
                 << MariadbTls::ConnectHint(last_error.code);
      std::unique_lock<std::shared_mutex> lock(mutex_);
      if (state_ == State::kInitializing) state_ = State::kCreated;
    } else {
      LOG(ERROR) << "MariaDB client finalized during Initialize: "
                 << server_url_;
    }
    return false;
  }
  if (open < connection_count_) {
    LOG(WARNING) << "MariaDB: " << open << " of " << connection_count_
                 << " connections open to " << server_url_
                 << "; the rest retry when used";
  }
  LOG(INFO) << "MariaDB client initialized: " << server_url_ << ", "
            << connection_count_ << " connections";
  return true;
}

void Mariadb::Finalize(std::int64_t drain_time_ms) {
  std::vector<std::shared_ptr<MariadbConnection>> connections;
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    const bool was_running = state_ == State::kRunning;
    state_ = State::kFinalized;
    if (!was_running) return;
    connections.swap(connections_);
  }
  const std::int64_t deadline_us =
      MonotonicClock::Now() + std::max<std::int64_t>(drain_time_ms, 0) * 1000;
  for (auto& connection : connections) connection->Stop(deadline_us);
  // A statement sent to a hung server would hold its worker until the read
  // timeout (minutes); a connection still busy a grace after the drain time
  // is cut, so that Finalize ends and the writes behind it reach the
  // handover now.
  const std::int64_t cut_at_us = deadline_us + kFinalizeCutGraceMs * 1000;
  const MariadbConnection* current = MariadbConnection::Current();
  for (auto& connection : connections) {
    if (connection.get() == current) continue;
    if (!connection->WaitEnded(cut_at_us)) connection->Interrupt();
  }
  for (auto& connection : connections) connection->Join();
  if (handover_) HandOverLeftovers(connections);
  const std::uint64_t abandoned = retention_->abandoned.load();
  if (abandoned > 0) {
    LOG(ERROR) << "MariaDB client finalized with " << abandoned
               << " writes that could not reach " << server_url_
               << "; they are lost";
  }
  LOG(INFO) << "MariaDB client finalized: " << server_url_;
}

void Mariadb::Interrupt() {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  for (const auto& connection : connections_) connection->Interrupt();
}

void Mariadb::HandOverLeftovers(
    const std::vector<std::shared_ptr<MariadbConnection>>& connections) {
  std::vector<MariadbConnection::Leftover> leftovers;
  for (const auto& connection : connections) {
    for (auto& leftover : connection->TakeLeftovers()) {
      leftovers.push_back(std::move(leftover));
    }
  }
  if (leftovers.empty()) return;
  // Oldest first across the connections, as the writes were queued.
  std::stable_sort(leftovers.begin(), leftovers.end(),
                   [](const MariadbConnection::Leftover& a,
                      const MariadbConnection::Leftover& b) {
                     return a.write.sequence < b.write.sequence;
                   });
  std::vector<HandedOverWrite> writes;
  writes.reserve(leftovers.size());
  for (const auto& leftover : leftovers) writes.push_back(leftover.write);
  const bool stored = handover_(writes);
  const std::size_t count = leftovers.size();
  retention_->pending -= count;
  if (stored) {
    retention_->handed_over += count;
    LOG(WARNING) << "MariaDB client: " << count << " writes could not reach "
                 << server_url_
                 << " before the client was finalized; handed over";
  } else {
    retention_->abandoned += count;
  }
  const Error error =
      stored
          ? HandedOverError()
          : Error{
                kClientNotRunningError,
                "MariaDB client was finalized before the statement ran and the "
                "write handover failed; statement not executed",
                "08003"};
  for (const auto& leftover : leftovers) {
    if (!leftover.callback) continue;
    try {
      leftover.callback(std::make_shared<ResultSets>(), error);
    } catch (...) {
      LOG(ERROR) << "MariaDB statement callback threw";
    }
  }
}

MariadbConnection* Mariadb::PickConnection() {
  const std::size_t count = connections_.size();
  const std::size_t start = next_connection_++ % count;
  // Connections known to be closed only take work when all are.
  constexpr std::size_t kClosedPenalty =
      std::numeric_limits<std::size_t>::max() / 2;
  MariadbConnection* best = nullptr;
  std::size_t best_load = std::numeric_limits<std::size_t>::max();
  for (std::size_t i = 0; i < count; ++i) {
    MariadbConnection* candidate = connections_[(start + i) % count].get();
    const std::size_t load =
        candidate->load() + (candidate->connected() ? 0 : kClosedPenalty);
    if (load < best_load) {
      best = candidate;
      best_load = load;
      if (load == 0) break;
    }
  }
  return best;
}

void Mariadb::ExecuteQuery(const std::string& statement, Callback callback) {
  Queue(statement, std::move(callback), nullptr, false, std::string());
}

void Mariadb::ExecuteQueryInOrder(std::size_t order_key,
                                  const std::string& statement,
                                  Callback callback) {
  Queue(statement, std::move(callback), &order_key, false, std::string());
}

void Mariadb::ExecuteWriteInOrder(std::size_t order_key,
                                  const std::string& statement,
                                  Callback callback,
                                  std::string handover_payload) {
  Queue(statement, std::move(callback), &order_key, true,
        std::move(handover_payload));
}

void Mariadb::OnPendingLimit(std::size_t order_key,
                             const std::string& statement,
                             const Callback& callback, std::string payload) {
  if (handover_ && !payload.empty()) {
    HandedOverWrite write;
    write.order_key = order_key;
    // After every write queued so far: a replay waits for them.
    write.sequence = retention_->next_sequence++;
    write.payload = std::move(payload);
    if (handover_({write})) {
      const std::uint64_t handed_over = ++retention_->handed_over;
      if (handed_over == 1 || handed_over % 1000 == 0) {
        LOG(WARNING) << "MariaDB write handed over: " << retention_->limit
                     << " writes already wait for " << server_url_
                     << " (the pending write limit); " << handed_over
                     << " writes handed over so far";
      }
      if (callback) callback(std::make_shared<ResultSets>(), HandedOverError());
      return;
    }
  }
  const std::uint64_t dropped = ++retention_->dropped;
  // Loud, but not one line per write while an outage lasts.
  if (dropped == 1 || dropped % 1000 == 0) {
    LOG(ERROR) << "MariaDB write DROPPED: " << retention_->limit
               << " writes already wait for " << server_url_
               << " (the pending write limit); " << dropped
               << " writes dropped so far. Statement: "
               << statement.substr(0, 200);
  }
  if (callback) {
    callback(std::make_shared<ResultSets>(),
             Error{kWriteLimitError,
                   "too many writes wait for the database; write "
                   "dropped",
                   "HY000"});
  }
}

void Mariadb::Queue(const std::string& statement, Callback callback,
                    const std::size_t* order_key, bool durable,
                    std::string payload) {
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (state_ == State::kRunning) {
      if (durable && ++retention_->pending > retention_->limit) {
        --retention_->pending;
        lock.unlock();
        OnPendingLimit(*order_key, statement, callback, std::move(payload));
        return;
      }
      MariadbConnection* connection =
          order_key != nullptr
              ? connections_[*order_key % connections_.size()].get()
              : PickConnection();
      // Stop is only called after state_ left kRunning under the exclusive
      // lock, so the connection still takes work here.
      CHECK(connection->Enqueue(statement, std::move(callback), durable,
                                std::move(payload),
                                order_key != nullptr ? *order_key : 0))
          << "Assert failed: connection accepts work while running";
      return;
    }
  }
  // A write that comes after Finalize still has somewhere to go.
  if (durable && handover_ && !payload.empty()) {
    HandedOverWrite write;
    write.order_key = order_key != nullptr ? *order_key : 0;
    write.sequence = retention_->next_sequence++;
    write.payload = std::move(payload);
    if (handover_({write})) {
      ++retention_->handed_over;
      if (callback) callback(std::make_shared<ResultSets>(), HandedOverError());
      return;
    }
  }
  VLOG(1) << "MariaDB statement refused, client not running: " << statement;
  if (callback) callback(std::make_shared<ResultSets>(), NotRunningError());
}

Mariadb::Error Mariadb::ExecuteQuerySync(const std::string& statement,
                                         std::shared_ptr<ResultSets>* out) {
  MariadbConnection* current = MariadbConnection::Current();
  if (current != nullptr && current->owner() == this) {
    // Queuing from our own worker could wait on itself.
    return current->Execute(statement, out);
  }
  using Outcome = std::pair<std::shared_ptr<ResultSets>, Error>;
  auto promise = std::make_shared<std::promise<Outcome>>();
  std::future<Outcome> future = promise->get_future();
  ExecuteQuery(statement, [promise](const std::shared_ptr<ResultSets>& results,
                                    const Error& error) {
    promise->set_value(Outcome(results, error));
  });
  Outcome outcome = future.get();
  if (out != nullptr) *out = std::move(outcome.first);
  return outcome.second;
}

std::string Mariadb::EscapeString(const std::string& value) const {
  std::string character_set;
  bool no_backslash_escapes = false;
  {
    std::lock_guard<std::mutex> lock(session_traits_->mutex);
    character_set = session_traits_->character_set;
    no_backslash_escapes = session_traits_->no_backslash_escapes;
  }
  return EscapeStringForCharacterSet(value, character_set,
                                     no_backslash_escapes);
}

std::string Mariadb::EscapeStringForCharacterSet(
    const std::string& value, const std::string& character_set,
    bool no_backslash_escapes) {
  const MARIADB_CHARSET_INFO* charset =
      character_set.empty()
          ? nullptr
          : mariadb_get_charset_by_name(character_set.c_str());
  const bool multi_byte = charset != nullptr && charset->char_maxlen > 1 &&
                          charset->mb_valid != nullptr;
  std::string escaped;
  escaped.reserve(value.size() + value.size() / 8 + 2);
  const char* p = value.data();
  const char* const end = p + value.size();
  while (p < end) {
    if (multi_byte) {
      // A complete multi-byte character is copied as it is: its trailing
      // bytes may look like '\\' or '\'' but are not.
      const unsigned length = charset->mb_valid(p, end);
      if (length > 1) {
        escaped.append(p, length);
        p += length;
        continue;
      }
    }
    const char c = *p++;
    if (no_backslash_escapes) {
      // Only the quote is special; it is doubled.
      if (c == '\'') escaped.push_back('\'');
      escaped.push_back(c);
      continue;
    }
    char escape = 0;
    if (multi_byte && charset->mb_charlen != nullptr &&
        charset->mb_charlen(static_cast<unsigned char>(c)) > 1) {
      // The start of an incomplete multi-byte character: escaping it keeps
      // it from swallowing the escape of the next byte.
      escape = c;
    } else {
      switch (c) {
        case '\0':
          escape = '0';
          break;
        case '\n':
          escape = 'n';
          break;
        case '\r':
          escape = 'r';
          break;
        case '\\':
          escape = '\\';
          break;
        case '\'':
          escape = '\'';
          break;
        case '"':
          escape = '"';
          break;
        case '\032':
          escape = 'Z';
          break;
        default:
          break;
      }
    }
    if (escape != 0) {
      escaped.push_back('\\');
      escaped.push_back(escape);
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

}  // namespace vel
