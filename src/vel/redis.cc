#include "vel/redis.h"

#include <glog/logging.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "vel/host_flags.h"
#include "vel/io_service.h"
#include "vel/redis_connection.h"

namespace vel {
namespace {

using Clock = std::chrono::steady_clock;
using Reply = RedisConnection::Reply;

constexpr char kAsyncGroupName[] = "RedisCompletion";
// Idle connections kept per server; more are opened while more threads call
// at once, and closed when they come back to a full pool.
constexpr std::size_t kMaxIdleConnections = 32;
// After a failed connect, calls that need a new connection fail at once for
// this long instead of each waiting for its own connect attempt.
constexpr auto kReconnectBackoff = std::chrono::milliseconds(100);
// Longest text of a key or value written to a log line.
constexpr std::size_t kMaxLoggedBytes = 200;

// `bytes` for a log line: non-printable bytes as \xNN, cut after
// kMaxLoggedBytes.
std::string Printable(const std::string& bytes) {
  std::string text;
  const std::size_t n = std::min(bytes.size(), kMaxLoggedBytes);
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      text += escaped;
    }
  }
  if (bytes.size() > n) text += "...";
  return text;
}

// "ZADD key=..." for log lines.
std::string Describe(const std::vector<std::string>& args) {
  std::string text = args.empty() ? "?" : args[0];
  if (args.size() > 1) text += " key=" + Printable(args[1]);
  return text;
}

std::string FormatScore(double score) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.17g", score);
  return text;
}

// Parses a Redis score ("1.5", "inf", "-inf"); false unless the whole text
// is a number.
bool ParseScore(const char* data, std::size_t length, double* out) {
  if (data == nullptr || length == 0 || length >= 64) return false;
  char text[64];
  std::memcpy(text, data, length);
  text[length] = '\0';
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end != text + length) return false;
  *out = value;
  return true;
}

const char* ReplyTypeName(int type) {
  switch (type) {
    case REDIS_REPLY_STRING:
      return "string";
    case REDIS_REPLY_ARRAY:
      return "array";
    case REDIS_REPLY_INTEGER:
      return "integer";
    case REDIS_REPLY_NIL:
      return "nil";
    case REDIS_REPLY_STATUS:
      return "status";
    case REDIS_REPLY_ERROR:
      return "error";
    default:
      return "unknown";
  }
}

// Logs a reply of a type the command never gives and returns kError.
Redis::Result Unexpected(const std::string& tag,
                         const std::vector<std::string>& args,
                         const redisReply& reply) {
  LOG(ERROR) << "Unexpected Redis reply: " << Describe(args) << ", tag='" << tag
             << "', reply type=" << ReplyTypeName(reply.type);
  return Redis::kError;
}

// The connections of one server (one tag).
class ServerPool {
 public:
  ServerPool(std::string tag, RedisConnection::Endpoint endpoint)
      : tag_(std::move(tag)), endpoint_(std::move(endpoint)) {}
  ServerPool(const ServerPool&) = delete;
  ServerPool& operator=(const ServerPool&) = delete;

  const std::string& tag() const { return tag_; }

  // Runs `use` (bool(RedisConnection&), false on a connection failure) on a
  // pooled or new connection. A pooled connection that the server had closed
  // (after a restart, say) is replaced by a new one and `use` runs again.
  // Returns kSuccess or kConnectionFailure.
  template <typename Use>
  Redis::Result Run(const std::string& what, Use&& use) {
    for (int attempt = 0;; ++attempt) {
      bool reused = false;
      std::string error;
      std::unique_ptr<RedisConnection> connection = Acquire(&reused, &error);
      if (connection == nullptr) {
        ReportFailure(what, error);
        return Redis::kConnectionFailure;
      }
      if (use(*connection)) {
        Release(std::move(connection));
        ReportSuccess();
        return Redis::kSuccess;
      }
      // The other idle connections most likely share this one's fate.
      DropIdle();
      if (reused && connection->closed_by_peer() && attempt == 0) {
        VLOG(1) << "Redis connection was closed by the server, reconnecting: "
                << what << ", tag='" << tag_ << "', " << connection->error();
        continue;
      }
      ReportFailure(what, connection->error());
      return Redis::kConnectionFailure;
    }
  }

  // Closes the idle connections; connections in use are closed when they
  // come back.
  void Close() {
    std::vector<std::unique_ptr<RedisConnection>> idle;
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    idle.swap(idle_);
  }

 private:
  std::unique_ptr<RedisConnection> Acquire(bool* reused, std::string* error) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) {
        *error = "the Redis client is shut down";
        return nullptr;
      }
      if (!idle_.empty()) {
        std::unique_ptr<RedisConnection> connection = std::move(idle_.back());
        idle_.pop_back();
        *reused = true;
        return connection;
      }
      if (Clock::now() < retry_after_) {
        *error = "server unavailable, waiting before reconnecting";
        return nullptr;
      }
    }
    // Connect outside the lock: it may take up to the timeout.
    auto connection = std::make_unique<RedisConnection>(endpoint_);
    if (!connection->Connect()) {
      *error = connection->error();
      std::lock_guard<std::mutex> lock(mutex_);
      retry_after_ = Clock::now() + kReconnectBackoff;
      return nullptr;
    }
    *reused = false;
    return connection;
  }

  void Release(std::unique_ptr<RedisConnection> connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_ && idle_.size() < kMaxIdleConnections) {
      idle_.push_back(std::move(connection));
    }
    // Otherwise the connection closes here, still under the lock; closing
    // is a local operation and quick.
  }

  void DropIdle() {
    std::vector<std::unique_ptr<RedisConnection>> idle;
    std::lock_guard<std::mutex> lock(mutex_);
    idle.swap(idle_);
  }

  void ReportFailure(const std::string& what, const std::string& error) {
    if (available_.exchange(false)) {
      LOG(ERROR) << "Redis server unavailable (calls fail with "
                    "kConnectionFailure until it answers again; further "
                    "failures are logged at verbose level 1): tag='"
                 << tag_ << "', address=" << Address() << ", command=" << what
                 << ", error=" << error;
    } else {
      VLOG(1) << "Redis server still unavailable: tag='" << tag_
              << "', command=" << what << ", error=" << error;
    }
  }

  void ReportSuccess() {
    if (!available_.exchange(true)) {
      LOG(INFO) << "Redis server available again: tag='" << tag_
                << "', address=" << Address();
    }
  }

  std::string Address() const {
    if (!endpoint_.host.empty() && endpoint_.host[0] == '/') {
      return endpoint_.host;
    }
    const bool ipv6 = endpoint_.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + endpoint_.host + "]" : endpoint_.host) + ":" +
           std::to_string(endpoint_.port);
  }

  const std::string tag_;
  const RedisConnection::Endpoint endpoint_;
  std::atomic<bool> available_{true};
  std::mutex mutex_;
  std::vector<std::unique_ptr<RedisConnection>> idle_;  // GUARDED_BY(mutex_)
  bool closed_ = false;                                 // GUARDED_BY(mutex_)
  Clock::time_point retry_after_;                       // GUARDED_BY(mutex_)
};

// Everything one Initialize sets up; Finalize retires it. Calls hold a
// reference while they run, so a Finalize never pulls a pool from under them.
struct Runtime {
  std::map<std::string, std::shared_ptr<ServerPool>> servers;  // read-only
  std::shared_ptr<IoService::Context> async_context;
  int timeout_ms = 0;
  std::atomic<bool> closing{false};

  std::mutex mutex;
  std::condition_variable drained;
  int pending = 0;  // GUARDED_BY(mutex) asynchronous calls not yet finished
};

std::mutex the_runtime_mutex;
std::shared_ptr<Runtime> the_runtime;  // GUARDED_BY(the_runtime_mutex)
// The completion group outlives Finalize, so that late asynchronous calls can
// still be answered; it is owned by IoService and gone once the host stops
// its groups.
std::weak_ptr<IoService::Context>
    the_async_context;  // GUARDED_BY(the_runtime_mutex)

// The runtime whose asynchronous call the current thread is running, if any.
thread_local const Runtime* tls_running_runtime = nullptr;

std::shared_ptr<Runtime> CurrentRuntime() {
  std::lock_guard<std::mutex> lock(the_runtime_mutex);
  return the_runtime;
}

// The pool of `tag`, or null with the result to return.
std::shared_ptr<ServerPool> FindServer(const std::shared_ptr<Runtime>& runtime,
                                       const std::string& tag,
                                       const std::vector<std::string>& args,
                                       Redis::Result* failure) {
  if (runtime == nullptr || runtime->closing) {
    LOG_EVERY_N(ERROR, 1000)
        << "Redis client is not initialized or already finalized: "
        << Describe(args) << ", tag='" << tag << "' (logged every 1000th)";
    *failure = Redis::kConnectionFailure;
    return nullptr;
  }
  auto it = runtime->servers.find(tag);
  if (it == runtime->servers.end()) {
    LOG(ERROR) << "Unknown Redis server tag: tag='" << Printable(tag)
               << "', command=" << Describe(args)
               << ". Configure it with --redis_servers";
    *failure = Redis::kError;
    return nullptr;
  }
  return it->second;
}

// Runs one command and hands a non-error reply to `handle`
// (Result(const redisReply&)).
template <typename Handle>
Redis::Result Execute(const std::shared_ptr<Runtime>& runtime,
                      const std::string& tag,
                      const std::vector<std::string>& args, Handle&& handle) {
  Redis::Result failure = Redis::kError;
  std::shared_ptr<ServerPool> pool = FindServer(runtime, tag, args, &failure);
  if (pool == nullptr) return failure;
  Reply reply;
  const Redis::Result sent =
      pool->Run(Describe(args), [&](RedisConnection& connection) {
        reply = connection.Command(args);
        return reply != nullptr;
      });
  if (sent != Redis::kSuccess) return sent;
  if (reply->type == REDIS_REPLY_ERROR) {
    LOG(WARNING) << "Redis error reply: " << Describe(args) << ", tag='" << tag
                 << "', error=" << std::string(reply->str, reply->len);
    return Redis::kError;
  }
  return handle(*reply);
}

// Reply handlers shared by several commands.
Redis::Result ExpectInteger(const std::string& tag,
                            const std::vector<std::string>& args,
                            const redisReply& reply, int64_t* out) {
  if (reply.type != REDIS_REPLY_INTEGER) return Unexpected(tag, args, reply);
  if (out != nullptr) *out = reply.integer;
  return Redis::kSuccess;
}

Redis::Result ExpectScoreOrNil(const std::string& tag,
                               const std::vector<std::string>& args,
                               const redisReply& reply, double* out) {
  if (reply.type == REDIS_REPLY_NIL) return Redis::kNoValue;
  if (reply.type != REDIS_REPLY_STRING) return Unexpected(tag, args, reply);
  double score = 0.0;
  if (!ParseScore(reply.str, reply.len, &score)) {
    LOG(ERROR) << "Malformed Redis score: " << Describe(args) << ", tag='"
               << tag << "', reply=" << Printable({reply.str, reply.len});
    return Redis::kError;
  }
  *out = score;
  return Redis::kSuccess;
}

// Keeps Runtime::pending right however an asynchronous call ends.
class PendingCall {
 public:
  explicit PendingCall(std::shared_ptr<Runtime> runtime)
      : runtime_(std::move(runtime)) {
    tls_running_runtime = runtime_.get();
  }
  ~PendingCall() {
    tls_running_runtime = nullptr;
    std::lock_guard<std::mutex> lock(runtime_->mutex);
    --runtime_->pending;
    runtime_->drained.notify_all();
  }
  PendingCall(const PendingCall&) = delete;
  PendingCall& operator=(const PendingCall&) = delete;

 private:
  std::shared_ptr<Runtime> runtime_;
};

// Runs `work` (void(const std::shared_ptr<Runtime>&)) on the completion group,
// or `fail` (void()) there when the client is finalized or not initialized.
template <typename Work, typename Fail>
void Dispatch(const char* what, Work work, Fail fail) {
  std::shared_ptr<Runtime> runtime;
  std::shared_ptr<IoService::Context> context;
  {
    std::lock_guard<std::mutex> lock(the_runtime_mutex);
    runtime = the_runtime;
    context = the_async_context.lock();
  }
  if (runtime != nullptr && runtime->async_context->stopped()) {
    LOG_EVERY_N(ERROR, 1000) << "Redis completion threads are stopped; the "
                                "callback of "
                             << what << " is dropped (logged every 1000th)";
    return;
  }
  if (runtime != nullptr) {
    {
      std::lock_guard<std::mutex> lock(runtime->mutex);
      ++runtime->pending;
    }
    boost::asio::post(
        *runtime->async_context,
        [runtime, work = std::move(work), fail = std::move(fail)]() mutable {
          PendingCall pending(runtime);
          if (runtime->closing) {
            fail();
          } else {
            work(runtime);
          }
        });
    return;
  }
  LOG_EVERY_N(ERROR, 1000) << "Redis client is not initialized or already "
                              "finalized: "
                           << what << " fails (logged every 1000th)";
  if (context != nullptr && !context->stopped()) {
    boost::asio::post(*context, std::move(fail));
  } else {
    LOG(ERROR) << "Redis completion threads are gone; the callback of " << what
               << " is dropped";
  }
}

// Parses "host:port", "[v6 address]:port" or a Unix socket path ("/...")
// into `out`; false when malformed.
bool ParseEndpoint(const std::string& address, RedisConnection::Endpoint* out) {
  if (!address.empty() && address[0] == '/') {
    out->host = address;
    out->port = 0;
    return true;
  }
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int number = std::stoi(port);
  if (number < 1 || number > 65535) return false;
  out->host = host;
  out->port = number;
  return true;
}

std::string Trim(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  const std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// Adds the servers of --redis_servers ("tag=host:port,...") to `servers`.
// Returns false with a log line on a malformed entry.
bool ParseServers(const RedisConnection::Endpoint& defaults,
                  std::map<std::string, RedisConnection::Endpoint>* servers) {
  const std::string& flag = FLAGS_redis_servers;
  std::size_t start = 0;
  while (start <= flag.size()) {
    std::size_t comma = flag.find(',', start);
    if (comma == std::string::npos) comma = flag.size();
    const std::string entry = Trim(flag.substr(start, comma - start));
    start = comma + 1;
    if (entry.empty()) continue;
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      LOG(ERROR) << "Bad --redis_servers entry '" << entry
                 << "': expected tag=host:port";
      return false;
    }
    const std::string tag = Trim(entry.substr(0, equals));
    const std::string address = Trim(entry.substr(equals + 1));
    if (tag.empty()) {
      LOG(ERROR) << "Bad --redis_servers entry '" << entry
                 << "': the tag is empty (the default server is set with "
                    "--redis_host and --redis_port)";
      return false;
    }
    RedisConnection::Endpoint endpoint = defaults;
    if (!ParseEndpoint(address, &endpoint)) {
      LOG(ERROR) << "Bad --redis_servers entry '" << entry
                 << "': expected tag=host:port with a port from 1 to 65535";
      return false;
    }
    if (!servers->emplace(tag, endpoint).second) {
      LOG(ERROR) << "Bad --redis_servers: tag '" << tag
                 << "' is given more than once";
      return false;
    }
  }
  return true;
}

}  // namespace

bool Redis::Initialize() {
  if (FLAGS_redis_timeout_ms <= 0) {
    LOG(ERROR) << "Bad --redis_timeout_ms=" << FLAGS_redis_timeout_ms
               << ": must be positive";
    return false;
  }
  if (FLAGS_redis_async_threads_size <= 0) {
    LOG(ERROR) << "Bad --redis_async_threads_size="
               << FLAGS_redis_async_threads_size << ": must be positive";
    return false;
  }
  RedisConnection::Endpoint defaults;
  defaults.host = FLAGS_redis_host;
  defaults.port = FLAGS_redis_port;
  defaults.password = FLAGS_redis_password;
  defaults.timeout_ms = FLAGS_redis_timeout_ms;
  const bool unix_socket = !defaults.host.empty() && defaults.host[0] == '/';
  if (defaults.host.empty() ||
      (!unix_socket && (defaults.port < 1 || defaults.port > 65535))) {
    LOG(ERROR) << "Bad default Redis server --redis_host='" << FLAGS_redis_host
               << "' --redis_port=" << FLAGS_redis_port;
    return false;
  }
  std::map<std::string, RedisConnection::Endpoint> endpoints;
  endpoints.emplace("", defaults);
  if (!ParseServers(defaults, &endpoints)) return false;

  // hiredis writes with write(): a server that closed the connection would
  // otherwise raise SIGPIPE and end the process.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 &&
      current.sa_handler == SIG_DFL) {
    signal(SIGPIPE, SIG_IGN);
  }

  std::lock_guard<std::mutex> lock(the_runtime_mutex);
  if (the_runtime != nullptr) {
    LOG(ERROR) << "Redis::Initialize called twice; call Finalize first";
    return false;
  }
  auto runtime = std::make_shared<Runtime>();
  runtime->timeout_ms = FLAGS_redis_timeout_ms;
  runtime->async_context = IoService::GetOrCreateIoGroup(
      kAsyncGroupName,
      static_cast<std::size_t>(FLAGS_redis_async_threads_size));
  if (runtime->async_context == nullptr) {
    LOG(ERROR) << "Cannot create the I/O group " << kAsyncGroupName;
    return false;
  }
  for (const auto& [tag, endpoint] : endpoints) {
    runtime->servers.emplace(tag, std::make_shared<ServerPool>(tag, endpoint));
    LOG(INFO) << "Redis server: tag='" << tag << "', address=" << endpoint.host
              << (endpoint.host[0] == '/' ? std::string()
                                          : ":" + std::to_string(endpoint.port))
              << ", timeout_ms=" << endpoint.timeout_ms
              << ", auth=" << (endpoint.password.empty() ? "off" : "on");
  }
  the_async_context = runtime->async_context;
  the_runtime = std::move(runtime);
  return true;
}

void Redis::Finalize() {
  std::shared_ptr<Runtime> runtime;
  {
    std::lock_guard<std::mutex> lock(the_runtime_mutex);
    runtime.swap(the_runtime);
  }
  if (runtime == nullptr) return;
  runtime->closing = true;

  // A callback that calls Finalize waits for everything but itself.
  const int own = tls_running_runtime == runtime.get() ? 1 : 0;
  // A running call takes at most a connect and two command timeouts. Calls
  // still queued on a stopped completion group never run: no use waiting.
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(3 * runtime->timeout_ms + 1000);
  int left = 0;
  {
    std::unique_lock<std::mutex> lock(runtime->mutex);
    while (runtime->pending > own && Clock::now() < deadline &&
           !runtime->async_context->stopped()) {
      runtime->drained.wait_for(lock, std::chrono::milliseconds(50));
    }
    left = runtime->pending - own;
  }
  if (left > 0) {
    LOG(WARNING) << "Redis::Finalize: " << left
                 << " asynchronous calls did not finish in time; they "
                    "complete with kConnectionFailure if their threads run";
  }
  for (auto& [tag, pool] : runtime->servers) pool->Close();
  LOG(INFO) << "Redis client finalized";
}

Redis::Result Redis::ZAdd(const std::string& key, double score,
                          const std::string& member, const std::string& tag) {
  const std::vector<std::string> args = {"ZADD", key, FormatScore(score),
                                         member};
  if (std::isnan(score)) {
    LOG(ERROR) << "Redis ZADD refused: the score is NaN: " << Describe(args)
               << ", tag='" << tag << "'";
    return kError;
  }
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::ZAddMany(const std::string& key,
                              const ScoredMembers& members,
                              const std::string& tag) {
  if (members.empty()) return kSuccess;
  std::vector<std::string> args = {"ZADD", key};
  args.reserve(2 + 2 * members.size());
  for (const auto& [member, score] : members) {
    if (std::isnan(score)) {
      LOG(ERROR) << "Redis ZADD refused: a score is NaN: ZADD key="
                 << Printable(key) << ", member=" << Printable(member)
                 << ", tag='" << tag << "'";
      return kError;
    }
    args.push_back(FormatScore(score));
    args.push_back(member);
  }
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::ZScore(const std::string& key, const std::string& member,
                            double* out, const std::string& tag) {
  const std::vector<std::string> args = {"ZSCORE", key, member};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectScoreOrNil(tag, args, reply, out);
  });
}

Redis::Result Redis::ZRevRank(const std::string& key, const std::string& member,
                              int64_t* out, const std::string& tag) {
  const std::vector<std::string> args = {"ZREVRANK", key, member};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    if (reply.type == REDIS_REPLY_NIL) return kNoValue;
    return ExpectInteger(tag, args, reply, out);
  });
}

Redis::Result Redis::ZRevRange(const std::string& key, int64_t start,
                               int64_t stop, bool with_scores,
                               ScoredMembers* out, const std::string& tag) {
  std::vector<std::string> args = {"ZREVRANGE", key, std::to_string(start),
                                   std::to_string(stop)};
  if (with_scores) args.emplace_back("WITHSCORES");
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    if (reply.type != REDIS_REPLY_ARRAY) return Unexpected(tag, args, reply);
    const std::size_t step = with_scores ? 2 : 1;
    if (reply.elements % step != 0) return Unexpected(tag, args, reply);
    ScoredMembers members;
    members.reserve(reply.elements / step);
    for (std::size_t i = 0; i < reply.elements; i += step) {
      const redisReply* member = reply.element[i];
      if (member == nullptr || member->type != REDIS_REPLY_STRING) {
        return Unexpected(tag, args, member ? *member : reply);
      }
      double score = 0.0;
      if (with_scores) {
        const redisReply* text = reply.element[i + 1];
        if (text == nullptr || text->type != REDIS_REPLY_STRING ||
            !ParseScore(text->str, text->len, &score)) {
          LOG(ERROR) << "Malformed Redis score in " << Describe(args)
                     << ", tag='" << tag << "'";
          return kError;
        }
      }
      members.emplace_back(std::string(member->str, member->len), score);
    }
    out->swap(members);
    return kSuccess;
  });
}

Redis::Result Redis::ZCount(const std::string& key, const std::string& min,
                            const std::string& max, int64_t* out,
                            const std::string& tag) {
  const std::vector<std::string> args = {"ZCOUNT", key, min, max};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, out);
  });
}

Redis::Result Redis::ZCard(const std::string& key, int64_t* out,
                           const std::string& tag) {
  const std::vector<std::string> args = {"ZCARD", key};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, out);
  });
}

Redis::Result Redis::ZRem(const std::string& key, const std::string& member,
                          const std::string& tag) {
  const std::vector<std::string> args = {"ZREM", key, member};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::Del(const std::string& key, const std::string& tag) {
  const std::vector<std::string> args = {"DEL", key};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::Exists(const std::string& key, bool* out,
                            const std::string& tag) {
  const std::vector<std::string> args = {"EXISTS", key};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    int64_t count = 0;
    const Result result = ExpectInteger(tag, args, reply, &count);
    if (result == kSuccess) *out = count > 0;
    return result;
  });
}

Redis::Result Redis::Rename(const std::string& key, const std::string& new_key,
                            const std::string& tag) {
  const std::vector<std::string> args = {"RENAME", key, new_key};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    if (reply.type != REDIS_REPLY_STATUS) return Unexpected(tag, args, reply);
    return kSuccess;
  });
}

Redis::Result Redis::HGet(const std::string& key, const std::string& field,
                          std::string* out, const std::string& tag) {
  const std::vector<std::string> args = {"HGET", key, field};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    if (reply.type == REDIS_REPLY_NIL) return kNoValue;
    if (reply.type != REDIS_REPLY_STRING) return Unexpected(tag, args, reply);
    out->assign(reply.str, reply.len);
    return kSuccess;
  });
}

Redis::Result Redis::HSet(const std::string& key, const std::string& field,
                          const std::string& value, const std::string& tag) {
  const std::vector<std::string> args = {"HSET", key, field, value};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::HSetMany(
    const std::string& key,
    const std::vector<std::pair<std::string, std::string>>& fields,
    const std::string& tag) {
  if (fields.empty()) return kSuccess;
  std::vector<std::string> args = {"HSET", key};
  args.reserve(2 + 2 * fields.size());
  for (const auto& [field, value] : fields) {
    args.push_back(field);
    args.push_back(value);
  }
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::HMGet(const std::string& key,
                           const std::vector<std::string>& fields,
                           std::vector<std::string>* out,
                           const std::string& tag) {
  if (fields.empty()) {
    // HMGET without fields is a Redis syntax error; the answer is known.
    out->clear();
    return kSuccess;
  }
  std::vector<std::string> args = {"HMGET", key};
  args.insert(args.end(), fields.begin(), fields.end());
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements != fields.size()) {
      return Unexpected(tag, args, reply);
    }
    std::vector<std::string> values;
    values.reserve(reply.elements);
    for (std::size_t i = 0; i < reply.elements; ++i) {
      const redisReply* value = reply.element[i];
      if (value != nullptr && value->type == REDIS_REPLY_NIL) {
        values.emplace_back();
      } else if (value != nullptr && value->type == REDIS_REPLY_STRING) {
        values.emplace_back(value->str, value->len);
      } else {
        return Unexpected(tag, args, value ? *value : reply);
      }
    }
    out->swap(values);
    return kSuccess;
  });
}

Redis::Result Redis::HDel(const std::string& key, const std::string& field,
                          const std::string& tag) {
  const std::vector<std::string> args = {"HDEL", key, field};
  return Execute(CurrentRuntime(), tag, args, [&](const redisReply& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

void Redis::GetAsync(const std::string& key, GetCallback callback,
                     const std::string& tag) {
  auto shared = std::make_shared<GetCallback>(std::move(callback));
  Dispatch(
      "GET",
      [key, tag, shared](const std::shared_ptr<Runtime>& runtime) {
        const std::vector<std::string> args = {"GET", key};
        std::string value;
        const Result result =
            Execute(runtime, tag, args, [&](const redisReply& reply) {
              if (reply.type == REDIS_REPLY_NIL) return kNoValue;
              if (reply.type != REDIS_REPLY_STRING) {
                return Unexpected(tag, args, reply);
              }
              value.assign(reply.str, reply.len);
              return kSuccess;
            });
        (*shared)(result, value);
      },
      [shared] { (*shared)(kConnectionFailure, std::string()); });
}

void Redis::SetAsync(const std::string& key, const std::string& value,
                     int expiry_unit, int64_t expiry, int condition,
                     SetCallback callback, const std::string& tag) {
  auto shared = std::make_shared<SetCallback>(std::move(callback));
  std::vector<std::string> args = {"SET", key, value};
  bool valid = true;
  if (expiry_unit == kExpireSeconds) {
    args.emplace_back("EX");
  } else if (expiry_unit == kExpireMilliseconds) {
    args.emplace_back("PX");
  } else {
    valid = false;
  }
  args.push_back(std::to_string(expiry));
  if (condition == kSetIfExists) {
    args.emplace_back("XX");
  } else if (condition == kSetIfNotExists) {
    args.emplace_back("NX");
  } else if (condition != kSetAlways) {
    valid = false;
  }
  if (expiry <= 0) valid = false;
  if (!valid) {
    LOG(ERROR) << "Redis SET refused: bad options: " << Describe(args)
               << ", tag='" << tag << "', expiry unit=" << expiry_unit
               << " (0 s, 1 ms), expiry=" << expiry
               << " (> 0), condition=" << condition
               << " (0 always, 1 XX, 2 NX)";
  }
  Dispatch(
      "SET",
      [valid, args = std::move(args), tag,
       shared](const std::shared_ptr<Runtime>& runtime) {
        if (!valid) {
          (*shared)(kError);
          return;
        }
        const Result result =
            Execute(runtime, tag, args, [&](const redisReply& reply) {
              if (reply.type == REDIS_REPLY_NIL) return kNoValue;
              if (reply.type != REDIS_REPLY_STATUS) {
                return Unexpected(tag, args, reply);
              }
              return kSuccess;
            });
        (*shared)(result);
      },
      [shared] { (*shared)(kConnectionFailure); });
}

void Redis::ExpireAsync(const std::string& key, int64_t seconds,
                        ExpireCallback callback, const std::string& tag) {
  auto shared = std::make_shared<ExpireCallback>(std::move(callback));
  Dispatch(
      "EXPIRE",
      [key, seconds, tag, shared](const std::shared_ptr<Runtime>& runtime) {
        const std::vector<std::string> args = {"EXPIRE", key,
                                               std::to_string(seconds)};
        int64_t existed = 0;
        const Result result =
            Execute(runtime, tag, args, [&](const redisReply& reply) {
              return ExpectInteger(tag, args, reply, &existed);
            });
        (*shared)(result, result == kSuccess && existed != 0);
      },
      [shared] { (*shared)(kConnectionFailure, false); });
}

void Redis::ZScoreExtAsync(const std::string& key,
                           std::vector<std::string> members,
                           ZScoreExtCallback callback, const std::string& tag) {
  auto shared = std::make_shared<ZScoreExtCallback>(std::move(callback));
  auto shared_members =
      std::make_shared<std::vector<std::string>>(std::move(members));
  Dispatch(
      "ZSCORE (pipelined)",
      [key, tag, shared,
       shared_members](const std::shared_ptr<Runtime>& runtime) {
        const std::vector<std::string>& members = *shared_members;
        MemberScores scores;
        if (members.empty()) {
          (*shared)(kSuccess, scores);
          return;
        }
        std::vector<std::vector<std::string>> commands;
        commands.reserve(members.size());
        for (const std::string& member : members) {
          commands.push_back({"ZSCORE", key, member});
        }
        const std::vector<std::string>& first = commands.front();
        Result failure = kError;
        std::shared_ptr<ServerPool> pool =
            FindServer(runtime, tag, first, &failure);
        std::vector<Reply> replies;
        Result result = failure;
        if (pool != nullptr) {
          result = pool->Run(Describe(first) + " (pipelined)",
                             [&](RedisConnection& connection) {
                               replies = connection.Pipeline(commands);
                               return replies.size() == commands.size();
                             });
        }
        if (result != kSuccess) {
          scores.assign(members.size(), {result, 0.0});
          (*shared)(result, scores);
          return;
        }
        scores.reserve(members.size());
        for (std::size_t i = 0; i < replies.size(); ++i) {
          const redisReply& reply = *replies[i];
          double score = 0.0;
          Result one = kError;
          if (reply.type == REDIS_REPLY_ERROR) {
            LOG(WARNING) << "Redis error reply: " << Describe(commands[i])
                         << ", tag='" << tag
                         << "', error=" << std::string(reply.str, reply.len);
          } else {
            one = ExpectScoreOrNil(tag, commands[i], reply, &score);
          }
          if (one != kSuccess) score = 0.0;
          if (one == kError) result = kError;
          scores.emplace_back(one, score);
        }
        (*shared)(result, scores);
      },
      [shared, shared_members] {
        (*shared)(kConnectionFailure, MemberScores(shared_members->size(),
                                                   {kConnectionFailure, 0.0}));
      });
}

const char* Redis::ResultName(Result result) {
  switch (result) {
    case kError:
      return "kError";
    case kSuccess:
      return "kSuccess";
    case kNoValue:
      return "kNoValue";
    case kConnectionFailure:
      return "kConnectionFailure";
  }
  return "unknown";
}

}  // namespace vel
