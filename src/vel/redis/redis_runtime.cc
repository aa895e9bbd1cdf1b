#include "vel/redis/internal/redis_runtime.h"

#include <boost/asio/post.hpp>

namespace vel {
namespace redis_internal {

std::mutex the_runtime_mutex;
std::shared_ptr<RedisRuntime> the_runtime;
std::weak_ptr<IoService::Context> the_async_context;
thread_local const RedisRuntime* tls_running_runtime = nullptr;
thread_local Redis::ThreadTally tls_thread_tally;

namespace {

// Keeps RedisRuntime::pending right however an asynchronous call ends.
class PendingCall {
 public:
  explicit PendingCall(std::shared_ptr<RedisRuntime> runtime)
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
  std::shared_ptr<RedisRuntime> runtime_;
};

}  // namespace

std::shared_ptr<RedisRuntime> CurrentRuntime() {
  std::lock_guard<std::mutex> lock(the_runtime_mutex);
  return the_runtime;
}

// The pool of `tag`, or null with the result to return.
std::shared_ptr<RedisServerPool> FindServer(
    const std::shared_ptr<RedisRuntime>& runtime, const std::string& tag,
    const std::vector<std::string>& args, Redis::Result* failure) {
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

// Logs a reply of a type the command never gives and returns kError.
Redis::Result Unexpected(const std::string& tag,
                         const std::vector<std::string>& args,
                         const redisReply& reply) {
  LOG(ERROR) << "Unexpected Redis reply: " << Describe(args) << ", tag='" << tag
             << "', reply type=" << ReplyTypeName(reply.type);
  return Redis::kError;
}

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

void Dispatch(const char* what, DispatchWork work, DispatchFail fail) {
  std::shared_ptr<RedisRuntime> runtime;
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

}  // namespace redis_internal
}  // namespace vel
