// The state one Redis::Initialize sets up and the machinery every command
// shares: finding a server's pool, running a command on it, checking the
// reply, and dispatching asynchronous calls (vel_redis only). Any thread.
#pragma once

#include <glog/logging.h>
#include <hiredis/hiredis.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/core/io_service.h"
#include "vel/metrics/metrics_registry.h"
#include "vel/redis/internal/redis_server_pool.h"
#include "vel/redis/internal/redis_text.h"
#include "vel/redis/redis.h"

namespace vel {
namespace redis_internal {

// Everything one Initialize sets up; Finalize retires it. Calls hold a
// reference while they run, so a Finalize never pulls a pool from under them.
struct RedisRuntime {
  std::map<std::string, std::shared_ptr<RedisServerPool>> servers;  // read-only
  std::shared_ptr<IoService::Context> async_context;
  int timeout_ms = 0;
  std::atomic<bool> closing{false};

  std::mutex mutex;
  std::condition_variable drained;
  int pending = 0;  // GUARDED_BY(mutex) asynchronous calls not yet finished
};

extern std::mutex the_runtime_mutex;
extern std::shared_ptr<RedisRuntime>
    the_runtime;  // GUARDED_BY(the_runtime_mutex)
// The completion group outlives Finalize, so that late asynchronous calls can
// still be answered; it is owned by IoService and gone once the host stops
// its groups.
extern std::weak_ptr<IoService::Context>
    the_async_context;  // GUARDED_BY(the_runtime_mutex)
// The runtime whose asynchronous call the current thread is running, if any.
extern thread_local const RedisRuntime* tls_running_runtime;

// The calling thread's Redis::GetThreadTally.
extern thread_local Redis::ThreadTally tls_thread_tally;

// The current runtime, or null before Initialize and after Finalize.
std::shared_ptr<RedisRuntime> CurrentRuntime();

// The pool of `tag`, or null with the result to return.
std::shared_ptr<RedisServerPool> FindServer(
    const std::shared_ptr<RedisRuntime>& runtime, const std::string& tag,
    const std::vector<std::string>& args, Redis::Result* failure);

// Logs a reply of a type the command never gives and returns kError.
Redis::Result Unexpected(const std::string& tag,
                         const std::vector<std::string>& args,
                         const redisReply& reply);

// Runs one command and hands a non-error reply to `handle`
// (Result(const redisReply&)).
template <typename Handle>
Redis::Result Execute(const std::shared_ptr<RedisRuntime>& runtime,
                      const std::string& tag,
                      const std::vector<std::string>& args, Handle&& handle) {
  Redis::Result failure = Redis::kError;
  std::shared_ptr<RedisServerPool> pool =
      FindServer(runtime, tag, args, &failure);
  if (pool == nullptr) {
    if (failure == Redis::kConnectionFailure) {
      ++tls_thread_tally.connection_failures;
    }
    return failure;
  }
  ++tls_thread_tally.commands;
  RedisConnection::Reply reply;
  const Redis::Result sent =
      pool->Run(Describe(args), [&](RedisConnection& connection) {
        reply = connection.Command(args);
        return reply != nullptr;
      });
  if (sent != Redis::kSuccess) {
    if (sent == Redis::kConnectionFailure) {
      ++tls_thread_tally.connection_failures;
    }
    return sent;
  }
  if (reply->type == REDIS_REPLY_ERROR) {
    MetricsRegistry::CountRedisError(MetricsRegistry::kRedisErrorReply);
    LOG(WARNING) << "Redis error reply: " << Describe(args) << ", tag='" << tag
                 << "', error=" << std::string(reply->str, reply->len);
    return Redis::kError;
  }
  return handle(*reply);
}

// Reply handlers shared by several commands.
Redis::Result ExpectInteger(const std::string& tag,
                            const std::vector<std::string>& args,
                            const redisReply& reply, int64_t* out);

Redis::Result ExpectScoreOrNil(const std::string& tag,
                               const std::vector<std::string>& args,
                               const redisReply& reply, double* out);

using DispatchWork = std::function<void(const std::shared_ptr<RedisRuntime>&)>;
using DispatchFail = std::function<void()>;

// Runs `work` on the completion group, or `fail` there when the client is
// finalized or not initialized.
void Dispatch(const char* what, DispatchWork work, DispatchFail fail);

}  // namespace redis_internal
}  // namespace vel
