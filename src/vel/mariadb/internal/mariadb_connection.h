// MariadbConnection: one connection of a vel::Mariadb pool together with the
// worker thread that owns it and the queue of statements it runs. Internal
// to the Mariadb client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vel/mariadb/mariadb.h"
#include "vel/mariadb/result_sets.h"

struct st_mysql;

namespace vel {

// What connections learned about the server session when they connected;
// shared by a client and its connections. Any thread.
struct MariadbSessionTraits {
  std::mutex mutex;
  std::string character_set;          // GUARDED_BY(mutex)
  bool no_backslash_escapes = false;  // GUARDED_BY(mutex)
};

// The writes of a client that must outlast an outage (ExecuteWriteInOrder):
// how many wait and what happened to them. Shared by a client and its
// connections; every member is atomic, so any thread.
struct MariadbWriteRetention {
  std::size_t limit = Mariadb::kDefaultPendingWriteLimit;  // set before use
  std::atomic<std::size_t> pending{0};
  std::atomic<std::uint64_t> retained{0};
  std::atomic<std::uint64_t> dropped{0};
  std::atomic<std::uint64_t> abandoned{0};
  std::atomic<std::uint64_t> written{0};
  std::atomic<std::uint64_t> failed{0};
  std::atomic<std::uint64_t> handed_over{0};
  // The sequence number of the next durable write (Mariadb::HandedOverWrite).
  std::atomic<std::uint64_t> next_sequence{0};
  // Set before use: a durable write with a payload that cannot run before
  // Stop's drain deadline is kept for the handover instead of abandoned.
  bool hand_over_leftovers = false;
};

class MariadbConnection
    : public std::enable_shared_from_this<MariadbConnection> {
 public:
  // Everything a connection needs, copied from its client so that it does
  // not depend on the client's lifetime.
  struct Options {
    Mariadb::ServerAddress address;
    std::string user_id;
    std::string password;
    std::string database;
    std::string character_set;
    bool auto_retry_on_deadlock = true;
    unsigned long client_flags = 0;
    std::int64_t slow_query_threshold_ms = 0;
    Mariadb::ConnectionFailureHandler on_connection_failure;
    Mariadb::Timeouts timeouts;
    std::shared_ptr<MariadbSessionTraits> session_traits;
    std::shared_ptr<MariadbWriteRetention> retention;
    // Identifies the owning client (ExecuteQuerySync from its callbacks).
    const void* owner = nullptr;
    std::size_t index = 0;  // for log lines
  };

  // Pause between failed connect attempts: doubles from the minimum to the
  // maximum; statements arriving during it fail with the last connect error.
  static constexpr std::int64_t kMinReconnectDelayMs = 200;
  static constexpr std::int64_t kMaxReconnectDelayMs = 5000;

  explicit MariadbConnection(Options options);
  ~MariadbConnection();
  MariadbConnection(const MariadbConnection&) = delete;
  MariadbConnection& operator=(const MariadbConnection&) = delete;

  // Starts the worker thread, which connects first. The future gives the
  // outcome of that first connect (code 0: open). Call once.
  std::future<Mariadb::Error> Start();

  // Queues a statement; false when Stop was called (the callback is then
  // not taken). A `durable` statement is run again while it fails as
  // unreachable (Mariadb::ExecuteWriteInOrder); the caller counted it in
  // retention->pending, which the connection releases when it completes.
  // Any thread.
  // A durable statement's `payload` is what the write handover gets when
  // the statement cannot run in time (Leftovers).
  bool Enqueue(const std::string& statement, Mariadb::Callback callback,
               bool durable = false, std::string payload = std::string(),
               std::size_t order_key = 0);

  // Makes the worker finish: statements still queued at `drain_deadline_us`
  // (vel::MonotonicClock) complete with kClientNotRunningError, then the
  // connection closes. Any thread; idempotent.
  void Stop(std::int64_t drain_deadline_us);
  // Waits until the worker thread has ended or `deadline_us` passed; true
  // when it ended. Any thread but the worker.
  bool WaitEnded(std::int64_t deadline_us);
  // Cuts the open connection (shutdown of its socket), so that a statement
  // waiting for a hung server fails at once. Any thread.
  void Interrupt();
  // Waits for the worker thread to end; from the worker thread itself the
  // thread is detached instead (it keeps this object alive until it ends).
  void Join();

  // A durable write that could not run before the drain deadline and was
  // kept for the handover (options.retention->hand_over_leftovers).
  struct Leftover {
    Mariadb::HandedOverWrite write;
    Mariadb::Callback callback;
  };
  // Takes the leftovers, oldest first. REQUIRES: the worker has ended.
  std::vector<Leftover> TakeLeftovers();

  // The sequence number of the oldest durable statement queued or running
  // on this connection; UINT64_MAX when none. Any thread.
  std::uint64_t OldestDurableSequence() const;

  // Runs a statement on this connection now. REQUIRES: on the worker thread.
  Mariadb::Error Execute(const std::string& statement,
                         std::shared_ptr<ResultSets>* out);

  // Queued plus running statements, and whether the connection is believed
  // open; used to pick a connection. Any thread.
  std::size_t load() const { return load_.load(); }
  bool connected() const { return connected_.load(); }
  const void* owner() const { return options_.owner; }

  // The connection whose worker thread calls this, or nullptr.
  static MariadbConnection* Current();

 private:
  struct Task {
    std::string statement;
    Mariadb::Callback callback;
    bool durable = false;
    std::string payload;  // for the write handover; durable tasks only
    std::size_t order_key = 0;
    std::uint64_t sequence = 0;  // durable tasks only
  };

  // Whether `task` goes to the handover rather than being abandoned.
  bool KeepsForHandover(const Task& task) const {
    return task.durable && !task.payload.empty() &&
           options_.retention->hand_over_leftovers;
  }
  // Keeps `task` for the handover. Worker thread.
  void KeepLeftover(Task task);
  // Closes the handle under socket_mutex_, so Interrupt never touches a
  // closed or reused socket.
  void CloseHandle();

  // Runs a durable task until it runs or is refused, waiting between the
  // attempts while the server is unreachable; gives up (kClientNotRunning)
  // once Stop's drain deadline passed.
  Mariadb::Error ExecuteDurable(const Task& task,
                                std::shared_ptr<ResultSets>* out);
  // Whether Stop was called and its drain deadline has passed.
  bool DrainExpired();

  void Run(std::shared_ptr<MariadbConnection> self,
           std::promise<Mariadb::Error> started);
  // Opens a connection now; on failure stores the error, schedules the next
  // attempt and calls the failure handler.
  bool Connect(Mariadb::Error* error);
  // Makes sure an open connection exists before a statement is sent: drops
  // one the server closed while it was idle and reconnects (unless a failed
  // attempt was too recent).
  bool EnsureConnected(Mariadb::Error* error);
  // Whether the idle socket shows the server closed it (or sent something
  // unasked, which only happens right before it closes).
  bool IdleConnectionBroken() const;
  // Closes the handle after a lost connection and tells the handler.
  void OnConnectionLost(const Mariadb::Error& error);
  void Close();
  // Reads every result of the statement just sent. `possibly_committed` is
  // set when a statement completed outside a transaction (its effect stays
  // even if a later statement of the text fails).
  Mariadb::Error ReadResults(ResultSets* results, bool* possibly_committed);
  Mariadb::Error LastError() const;
  void Invoke(const Mariadb::Callback& callback,
              const std::shared_ptr<ResultSets>& results,
              const Mariadb::Error& error) const;

  const Options options_;

  // Only the worker thread touches these.
  st_mysql* mysql_ = nullptr;
  bool ever_connected_ = false;
  std::int64_t next_connect_attempt_us_ = 0;
  std::int64_t reconnect_delay_ms_ = kMinReconnectDelayMs;
  Mariadb::Error last_connect_error_;

  std::atomic<std::size_t> load_{0};
  std::atomic<bool> connected_{false};

  // Guards socket_ against Interrupt while the worker opens or closes the
  // handle.
  std::mutex socket_mutex_;
  int socket_ = -1;  // GUARDED_BY(socket_mutex_)

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable ended_cv_;
  bool ended_ = false;  // GUARDED_BY(mutex_)
  // Sequence numbers of the durable statements queued or running, oldest
  // first (they run in queue order).
  std::deque<std::uint64_t> durable_sequences_;  // GUARDED_BY(mutex_)
  std::vector<Leftover> leftovers_;              // GUARDED_BY(mutex_)
  std::deque<Task> queue_;                       // GUARDED_BY(mutex_)
  bool stopping_ = false;                        // GUARDED_BY(mutex_)
  std::int64_t drain_deadline_us_ = 0;           // GUARDED_BY(mutex_)
  std::thread thread_;  // GUARDED_BY(mutex_) (start/join)
};

}  // namespace vel
