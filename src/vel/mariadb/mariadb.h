// Mariadb: the host's MariaDB/MySQL client over MariaDB Connector/C. A pool
// of connections, each with its own worker thread and statement queue;
// statements run asynchronously (ExecuteQuery) or block the caller
// (ExecuteQuerySync). Lost connections are re-established, deadlocks retried,
// slow statements logged. Writes sent with ExecuteWriteInOrder outlast an
// unreachable server: they are kept, in order, and tried again until it is
// back (up to a bound), and what cannot wait any longer (past the bound, or
// at Finalize) is handed to a WriteHandover that stores it elsewhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <shared_mutex>
#include <string>
#include <vector>

#include "vel/mariadb/result_sets.h"

namespace vel {

class MariadbConnection;
struct MariadbSessionTraits;
struct MariadbWriteRetention;

class Mariadb : public std::enable_shared_from_this<Mariadb> {
 public:
  // The outcome of a statement: code 0 is success. Codes are the server's
  // (1062 duplicate key, 1213 deadlock, ...), the connector's (2002/2003
  // cannot connect, 2006 server gone, 2013 connection lost, ...) or
  // kClientNotRunningError below.
  struct Error {
    unsigned code = 0;
    std::string description;
    std::string sql_state;
    explicit operator bool() const { return code != 0; }
  };

  // Called on a database client thread whenever a connection is lost or a
  // (re)connect attempt fails. Must not throw; should return quickly.
  using ConnectionFailureHandler = std::function<void(const Error&)>;
  // Completion of ExecuteQuery, called exactly once. `result_sets` is never
  // null; after an error it holds what the statements before the failing
  // one returned. Must not throw; it blocks its connection while it runs.
  using Callback = std::function<void(
      const std::shared_ptr<ResultSets>& result_sets, const Error& error)>;

  // Where the server is, parsed from a server url.
  struct ServerAddress {
    std::string host;         // empty for a unix socket
    unsigned port = 0;        // 0 for a unix socket
    std::string unix_socket;  // empty for TCP
  };

  // Socket timeouts of every connection, in seconds (none may be 0).
  struct Timeouts {
    unsigned connect_seconds = 5;
    // Bounds a wait for the server's answer (a hung server or network); a
    // single statement that runs longer than this fails with 2013.
    unsigned read_seconds = 300;
    unsigned write_seconds = 60;
  };

  static constexpr bool kDefaultAutoRetryOnDeadlock = true;
  // CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS.
  static constexpr unsigned long kDefaultClientFlags =
      (1UL << 16) | (1UL << 17);
  static constexpr std::int64_t kDefaultSlowQueryLoggingTime = 5000;  // ms
  // How long Finalize() lets queued statements run before failing the rest.
  static constexpr std::int64_t kDefaultFinalizeDrainTime = 3000;  // ms
  // How much longer a statement still running then may take before
  // Finalize cuts its connection.
  static constexpr std::int64_t kFinalizeCutGraceMs = 1000;
  // Attempts after the first when a statement hits a deadlock (1213).
  static constexpr int kMaxDeadlockRetries = 3;
  // The statement was not run: the client is not initialized or was
  // finalized (SQL state 08003, "connection does not exist").
  static constexpr unsigned kClientNotRunningError = 9001;
  // The write was not queued: the client already holds its limit of writes
  // waiting to be written (SQL state HY000).
  static constexpr unsigned kWriteLimitError = 9002;
  // The write was not run here: the client gave it to its write handover
  // (SetWriteHandover), which stored it for a later replay (SQL state
  // HY000).
  static constexpr unsigned kWriteHandedOverError = 9003;
  // How many ExecuteWriteInOrder statements may wait at once by default.
  static constexpr std::size_t kDefaultPendingWriteLimit = 200000;
  // Logs the failure at error level.
  static const ConnectionFailureHandler kDefaultConnectionFailureHandler;

  // Counts of the ExecuteWriteInOrder statements of one client.
  struct WriteStats {
    std::size_t pending = 0;        // queued, running or waiting for a retry
    std::uint64_t retained = 0;     // failed as unreachable and kept, in total
    std::uint64_t dropped = 0;      // refused by the limit, in total
    std::uint64_t abandoned = 0;    // still unwritten when Finalize ended
    std::uint64_t written = 0;      // ran successfully, in total
    std::uint64_t failed = 0;       // refused by the server, in total
    std::uint64_t handed_over = 0;  // given to the write handover, in total
  };

  // One ExecuteWriteInOrder statement given to the write handover: the
  // payload it was queued with, its order key, and its place among this
  // client's writes (every write takes the next sequence number, so a
  // player's later write always has the higher one).
  struct HandedOverWrite {
    std::size_t order_key = 0;
    std::uint64_t sequence = 0;
    std::string payload;
  };
  // Stores writes that cannot wait for the server any longer somewhere
  // durable, in the order given (oldest first, by sequence); true only when
  // every one was stored. Runs
  // on the thread that queues a write past the pending limit, or that calls
  // Finalize; must not call into this client.
  using WriteHandover =
      std::function<bool(const std::vector<HandedOverWrite>& writes)>;

  // Creates a client; nothing connects before Initialize.
  // server_url: "host:port", "host" (port 3306), "[ipv6]:port" or the path of
  // a unix socket starting with '/'. connection_count: connections and worker
  // threads (at least 1). character_set: the connection character set
  // ("utf8mb4", "utf8", ...; empty keeps the connector's default).
  // CLIENT_MULTI_RESULTS is always added to client_flags: results are read to
  // the end after every statement. slow_query_threshold_ms: statements that
  // take longer are logged as warnings; <= 0 turns the warning off.
  // Any thread.
  static std::shared_ptr<Mariadb> Create(
      const std::string& server_url, const std::string& user_id,
      const std::string& password, const std::string& database,
      std::size_t connection_count, const std::string& character_set,
      bool auto_retry_on_deadlock, unsigned long client_flags,
      std::int64_t slow_query_threshold_ms,
      ConnectionFailureHandler on_connection_failure);

  ~Mariadb();
  Mariadb(const Mariadb&) = delete;
  Mariadb& operator=(const Mariadb&) = delete;

  // Replaces the socket timeouts. REQUIRES: before Initialize; returns false
  // (logged) afterwards or when a value is 0.
  bool SetTimeouts(const Timeouts& timeouts);

  // Bounds the ExecuteWriteInOrder statements that may wait at once (queued,
  // running or kept for a retry; a bulk statement counts once); further ones
  // fail at once with kWriteLimitError. REQUIRES: before Initialize and
  // limit > 0; returns false (logged) otherwise.
  bool SetPendingWriteLimit(std::size_t limit);

  // Where ExecuteWriteInOrder statements that carry a payload go instead of
  // being lost: past the pending write limit, and when Finalize's drain
  // time ends before they ran. Their callbacks then get
  // kWriteHandedOverError (or the old error when the handover fails).
  // REQUIRES: before Initialize; returns false (logged) afterwards.
  bool SetWriteHandover(WriteHandover handover);

  // Opens the connections, each on its own worker thread. Connections that
  // cannot be opened now are retried when they get a statement. Returns
  // false (logged) for a bad configuration, when no connection at all could
  // be opened (server unreachable, bad credentials, unknown character set),
  // or when called a second time; a failed Initialize may be repeated.
  // Call from one controlling thread, not from a database client thread.
  bool Initialize();

  // Stops taking statements (later ones fail at once with
  // kClientNotRunningError), lets queued statements run for up to
  // `drain_time_ms` (0: none), cuts the connections whose statement still
  // runs kFinalizeCutGraceMs later (a hung server; the statement fails as a
  // lost connection), hands the unwritten ExecuteWriteInOrder statements
  // that carry a payload to the write handover (when one is set), completes
  // the rest with kClientNotRunningError, closes the connections and joins
  // the worker threads. Every queued callback is called exactly once.
  // Returns about `drain_time_ms` + kFinalizeCutGraceMs after the call at
  // the latest, plus the handover's time and, for a connect under way, the
  // connect timeout. Idempotent; the
  // destructor calls it. Any thread; from a callback of this client, the
  // calling worker finishes its queue after the callback returns.
  void Finalize(std::int64_t drain_time_ms = kDefaultFinalizeDrainTime);

  // Cuts every open connection at once (shutdown of its socket): a statement
  // waiting for a hung server fails as a lost connection, and the next one
  // connects again. For a caller that must stop waiting now. Any thread.
  void Interrupt();

  // Queues `statement` on the least busy connection (preferring open ones)
  // and returns. The callback runs on that connection's worker thread; when
  // the client is not running it runs at once on the calling thread with
  // kClientNotRunningError. A statement lost with its connection before it
  // was sent is re-sent once on a new connection; one lost after it was sent
  // is reported (it may or may not have run). No order is kept between
  // statements. `callback` may be empty. Any thread.
  void ExecuteQuery(const std::string& statement, Callback callback);

  // ExecuteQuery for statements whose order matters (the writes of one row):
  // statements with the same `order_key` always go to the same connection,
  // whatever its load or state, so they run in the order they were queued,
  // also across a reconnect. A statement that fails does not stop the ones
  // behind it. Any thread.
  void ExecuteQueryInOrder(std::size_t order_key, const std::string& statement,
                           Callback callback);

  // ExecuteQueryInOrder for idempotent writes (an upsert of given values)
  // that must not be lost to a database outage. When the statement fails
  // because the server cannot be reached (IsUnreachableError: connect
  // failed, connection lost before or while it ran) it is not completed but
  // kept at the head of its connection's queue, with everything queued behind
  // it, and run again once the server answers; so order is kept and nothing
  // is skipped. A statement the server refuses completes with its error.
  // Kept statements are given up only by Finalize (after its drain time,
  // with kClientNotRunningError). At most SetPendingWriteLimit statements
  // wait at once; beyond that they fail at once with kWriteLimitError
  // (counted and logged), unless they carry a `handover_payload` and a
  // write handover is set: it then takes them (SetWriteHandover). Because a
  // write may run twice, it must be idempotent. Any thread.
  void ExecuteWriteInOrder(std::size_t order_key, const std::string& statement,
                           Callback callback,
                           std::string handover_payload = std::string());

  // The sequence number of the oldest ExecuteWriteInOrder statement still
  // queued, running or kept; the next number to be given when none waits.
  // A handed-over write whose sequence is below it has no older write of
  // this client left before it. Any thread.
  std::uint64_t OldestPendingWrite() const;

  // ExecuteWriteInOrder statements that wait in every client of the
  // process (queued, running or kept): what an immediate exit leaves
  // unwritten. Any thread.
  static std::size_t ProcessPendingWrites();

  // Whether `error` means the server could not be reached or the
  // connection broke, as opposed to the server refusing the statement or
  // the client being finalized. Pure; any thread.
  static bool IsUnreachableError(const Error& error);

  // The counts of ExecuteWriteInOrder statements. Any thread.
  WriteStats write_stats() const;

  // Runs `statement` and waits for it; stores the result sets in `*out` when
  // given (never null after the call). Any thread; from a callback of this
  // client it runs directly on the calling worker's connection.
  Error ExecuteQuerySync(const std::string& statement,
                         std::shared_ptr<ResultSets>* out = nullptr);

  // Escapes `value` for use between single quotes in a statement of this
  // client, with mysql_real_escape_string semantics: multi-byte aware for the
  // connection character set, and quote doubling instead of backslashes when
  // the server runs with NO_BACKSLASH_ESCAPES. Before the first connection it
  // uses the configured character set. Any thread.
  std::string EscapeString(const std::string& value) const;

  // The same escaping without a client: for the named character set ("" or
  // an unknown name: byte-wise, which is right for utf8, utf8mb4, latin1 and
  // every other ASCII-compatible set without '\\' or '\'' in multi-byte
  // characters). Pure; any thread.
  static std::string EscapeStringForCharacterSet(
      const std::string& value, const std::string& character_set,
      bool no_backslash_escapes = false);

  // Parses a server url (see Create); false for an empty host, a bad or out
  // of range port. Pure; any thread.
  static bool ParseServerUrl(const std::string& server_url,
                             ServerAddress* address);

  const std::string& server_url() const { return server_url_; }

 private:
  enum class State { kCreated, kInitializing, kRunning, kFinalized };

  Mariadb(const std::string& server_url, const std::string& user_id,
          const std::string& password, const std::string& database,
          std::size_t connection_count, const std::string& character_set,
          bool auto_retry_on_deadlock, unsigned long client_flags,
          std::int64_t slow_query_threshold_ms,
          ConnectionFailureHandler on_connection_failure);

  // The connection to queue the next statement on. REQUIRES: mutex_ held
  // (shared), state_ kRunning.
  MariadbConnection* PickConnection();
  // Queues `statement` on the connection of `order_key` (when not null) or on
  // the least busy one; when the client is not running, completes it at once
  // with kClientNotRunningError.
  void Queue(const std::string& statement, Callback callback,
             const std::size_t* order_key, bool durable, std::string payload);
  // The pending limit's answer to a durable write: handed over (true) or
  // dropped; completes the callback either way.
  void OnPendingLimit(std::size_t order_key, const std::string& statement,
                      const Callback& callback, std::string payload);
  // Gives the writes the connections could not run to the handover and
  // completes their callbacks.
  void HandOverLeftovers(
      const std::vector<std::shared_ptr<MariadbConnection>>& connections);

  const std::string server_url_;
  const std::string user_id_;
  const std::string password_;
  const std::string database_;
  const std::size_t connection_count_;
  const std::string character_set_;
  const bool auto_retry_on_deadlock_;
  const unsigned long client_flags_;
  const std::int64_t slow_query_threshold_ms_;
  const ConnectionFailureHandler on_connection_failure_;
  // What the connections learned about the session (character set,
  // NO_BACKSLASH_ESCAPES); shared with them, it has its own lock.
  const std::shared_ptr<MariadbSessionTraits> session_traits_;
  // The ExecuteWriteInOrder bookkeeping, shared with the connections.
  const std::shared_ptr<MariadbWriteRetention> retention_;

  mutable std::shared_mutex mutex_;
  State state_ = State::kCreated;  // GUARDED_BY(mutex_)
  Timeouts timeouts_;              // GUARDED_BY(mutex_)
  WriteHandover handover_;         // set before Initialize, then read-only
  std::vector<std::shared_ptr<MariadbConnection>>
      connections_;  // GUARDED_BY(mutex_)
  // Where the search for the least busy connection starts (round robin).
  std::atomic<std::size_t> next_connection_{0};
};

// "code: 1062, desc: Duplicate entry ..., sqlstate: 23000".
std::ostream& operator<<(std::ostream& os, const Mariadb::Error& error);

}  // namespace vel
