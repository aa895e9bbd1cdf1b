// The state one Redis::Initialize sets up and the machinery every command
// shares: the client's own pipelined connections and their threads, finding
// a server, sending commands and waiting for or dispatching their answers,
// and checking replies (vel_redis only). Any thread.
#pragma once

#include <glog/logging.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vel/core/io_service.h"
#include "vel/redis/internal/redis_server.h"
#include "vel/redis/internal/redis_text.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_pipeline.h"
#include "vel/redis/redis_value.h"

namespace vel {
namespace redis_internal {

// Everything one Initialize sets up; Finalize retires it. Calls hold a
// reference while they run, so a Finalize never pulls a server from under
// them.
//
// Every command, blocking or asynchronous, goes over the pipelined
// connections of `pipelines` (one RedisPipeline per tag). Their replies are
// read on the client's own threads (`io`), which run nothing else: a caller
// that waits for an answer never waits for a thread it is running on.
struct RedisRuntime {
  RedisRuntime();
  // Stops the client's threads if StopThreads was not called.
  ~RedisRuntime();
  // Starts the client's `count` threads (Initialize, once).
  void StartThreads(std::size_t count);
  // Closes the connections (failing what is in flight), then ends the
  // client's threads once the callbacks they hold have run. Idempotent.
  void StopThreads();
  // The pipeline of `tag`; null once StopThreads began.
  std::shared_ptr<RedisPipeline> PipelineOf(const std::string& tag);

  std::map<std::string, std::shared_ptr<RedisServer>> servers;  // read-only
  std::shared_ptr<IoService::Context> async_context;
  int timeout_ms = 0;
  std::atomic<bool> closing{false};

  const std::shared_ptr<boost::asio::io_context> io;
  std::unique_ptr<
      boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work;
  std::vector<std::thread> threads;

  std::mutex mutex;
  // Set up by Initialize before the runtime is published.
  std::map<std::string, std::shared_ptr<RedisPipeline>>
      pipelines;  // GUARDED_BY(mutex)
  std::condition_variable drained;
  int pending = 0;   // GUARDED_BY(mutex) asynchronous calls not yet finished
  int blocking = 0;  // GUARDED_BY(mutex) blocking calls waiting for answers
};

extern std::mutex the_runtime_mutex;
extern std::shared_ptr<RedisRuntime>
    the_runtime;  // GUARDED_BY(the_runtime_mutex)
// The completion group outlives Finalize, so that late asynchronous calls can
// still be answered; it is owned by IoService and gone once the host stops
// its groups.
extern std::weak_ptr<IoService::Context>
    the_async_context;  // GUARDED_BY(the_runtime_mutex)
// The runtime whose asynchronous callback the current thread is running, if
// any.
extern thread_local const RedisRuntime* tls_running_runtime;

// The calling thread's Redis::GetThreadTally.
extern thread_local Redis::ThreadTally tls_thread_tally;

// The current runtime, or null before Initialize and after Finalize.
std::shared_ptr<RedisRuntime> CurrentRuntime();

// The server of `tag`, or null with the result to return (logged).
std::shared_ptr<RedisServer> FindServer(
    const std::shared_ptr<RedisRuntime>& runtime, const std::string& tag,
    const std::vector<std::string>& args, Redis::Result* failure);

// The answer to one command: kSuccess with the reply, kError with an error
// reply (`value` of type kError), or kConnectionFailure (`maybe_ran` as
// RedisPipeline's).
struct Answer {
  Redis::Result result = Redis::kConnectionFailure;
  RedisValue value;
  bool maybe_ran = false;
};
using Commands = std::vector<std::vector<std::string>>;

// Sends `commands` on the server of `tag`, in order on one connection (one
// round trip), and waits for their answers, at most about redis_timeout_ms
// after the last byte went out. kSuccess with one answer per command in
// *answers (each kSuccess or kError); kConnectionFailure when one of them
// got no answer (*answers then holds what came); kError for an unknown tag.
// Counts the call in the thread's tally. With Sentinels, commands refused
// with READONLY are sent once more, to the primary the Sentinels name now.
// `what` names the call in log lines. Must not be called on the client's
// own threads (refused with kError).
Redis::Result Call(const std::shared_ptr<RedisRuntime>& runtime,
                   const std::string& tag, const std::string& what,
                   const Commands& commands, std::vector<Answer>* answers);

// Logs a reply of a type the command never gives and returns kError.
Redis::Result Unexpected(const std::string& tag,
                         const std::vector<std::string>& args,
                         const RedisValue& reply);

// Logs an error reply to `args` and returns kError.
Redis::Result ErrorReply(const std::string& tag,
                         const std::vector<std::string>& args,
                         const RedisValue& reply);

// Runs one command and hands a non-error reply to `handle`
// (Result(const RedisValue&)).
template <typename Handle>
Redis::Result Execute(const std::shared_ptr<RedisRuntime>& runtime,
                      const std::string& tag,
                      const std::vector<std::string>& args, Handle&& handle) {
  std::vector<Answer> answers;
  const Redis::Result sent =
      Call(runtime, tag, Describe(args), {args}, &answers);
  if (sent != Redis::kSuccess) return sent;
  if (answers[0].result == Redis::kError) {
    return ErrorReply(tag, args, answers[0].value);
  }
  return handle(answers[0].value);
}

// Reply handlers shared by several commands.
Redis::Result ExpectInteger(const std::string& tag,
                            const std::vector<std::string>& args,
                            const RedisValue& reply, int64_t* out);

Redis::Result ExpectScoreOrNil(const std::string& tag,
                               const std::vector<std::string>& args,
                               const RedisValue& reply, double* out);

// An asynchronous call's completion: `result` is kSuccess when `answers`
// holds one answer per command (each kSuccess, kError or
// kConnectionFailure), else why nothing was sent (kError for an unknown tag,
// kConnectionFailure when the client is not initialised or closing) and
// `answers` is empty. Runs on the completion group.
using AsyncDone =
    std::function<void(Redis::Result result, std::vector<Answer>& answers)>;

// Sends `commands` as Call does, without waiting: the completion runs on the
// completion group, never on the caller's stack. One thread's calls go over
// one connection, in order. Once the completion group is stopped the
// completion is dropped with a log line.
void CallAsync(const char* what, const std::string& tag, Commands commands,
               AsyncDone done);

}  // namespace redis_internal
}  // namespace vel
