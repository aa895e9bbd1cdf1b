#include "vel/redis/internal/redis_runtime.h"

#include <pthread.h>

#include <boost/asio/post.hpp>
#include <chrono>
#include <future>
#include <utility>

namespace vel {
namespace redis_internal {

std::mutex the_runtime_mutex;
std::shared_ptr<RedisRuntime> the_runtime;
std::weak_ptr<IoService::Context> the_async_context;
thread_local const RedisRuntime* tls_running_runtime = nullptr;
thread_local Redis::ThreadTally tls_thread_tally;

namespace {

// Set on the client's own threads, where nothing may wait for an answer.
thread_local bool tls_client_thread = false;

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

bool IsReadOnly(const Answer& answer) {
  return answer.result == Redis::kError &&
         answer.value.text.compare(0, 8, "READONLY") == 0;
}

using BatchDone = std::function<void(std::vector<Answer> answers)>;

// Sends `commands` on `lane` of the pipeline of `pool`'s tag and hands their
// answers to `done` on a client thread. With Sentinels, a batch that met
// READONLY (a demoted primary: it refused those writes, so nothing of them
// ran) is sent once more; the pipeline has dropped that connection and asks
// the Sentinels before the next connect. (A batch is one command or reads
// only, so sending it again repeats nothing that was applied.)
void SendBatch(std::shared_ptr<RedisPipeline> pipeline,
               std::shared_ptr<RedisServer> pool, std::size_t lane,
               std::shared_ptr<const Commands> commands, std::string what,
               bool retried, BatchDone done) {
  struct State {
    std::vector<Answer> answers;
    std::size_t left = 0;
    std::mutex mutex;
  };
  auto state = std::make_shared<State>();
  state->answers.resize(commands->size());
  state->left = commands->size();
  std::vector<RedisPipeline::Callback> callbacks;
  callbacks.reserve(commands->size());
  for (std::size_t i = 0; i < commands->size(); ++i) {
    callbacks.push_back(
        [pipeline, pool, lane, commands, what, retried, done, state, i](
            Redis::Result result, RedisValue value, bool maybe_ran) {
          {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->answers[i] = Answer{result, std::move(value), maybe_ran};
            if (--state->left != 0) return;
          }
          bool read_only = false;
          for (const Answer& answer : state->answers) {
            read_only = read_only || IsReadOnly(answer);
          }
          if (read_only && pool->has_sentinel()) {
            if (!retried) {
              SendBatch(pipeline, pool, lane, commands, what, true, done);
              return;
            }
            pool->ReportFailure(what, "the server is a read-only replica");
            for (Answer& answer : state->answers) {
              if (IsReadOnly(answer)) answer = Answer{};
            }
          }
          done(std::move(state->answers));
        });
  }
  // Written together: one round trip for the batch.
  pipeline->SendAll(lane, *commands, std::move(callbacks));
}

}  // namespace

RedisRuntime::RedisRuntime()
    : io(std::make_shared<boost::asio::io_context>()),
      work(std::make_unique<boost::asio::executor_work_guard<
               boost::asio::io_context::executor_type>>(io->get_executor())) {}

RedisRuntime::~RedisRuntime() { StopThreads(); }

void RedisRuntime::StartThreads(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    threads.emplace_back([io = io] {
      pthread_setname_np(pthread_self(), "RedisClient");
      tls_client_thread = true;
      io->run();
    });
  }
}

void RedisRuntime::StopThreads() {
  std::map<std::string, std::shared_ptr<RedisPipeline>> closed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    closed.swap(pipelines);
  }
  for (auto& [tag, pool] : servers) pool->Close();
  // Fails what is in flight; the callbacks run on the threads below, which
  // then run out of work.
  for (auto& [tag, pipeline] : closed) pipeline->Close();
  closed.clear();
  work.reset();
  for (std::thread& thread : threads) {
    if (!thread.joinable()) continue;
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // the last reference went on its own thread
    } else {
      thread.join();
    }
  }
  threads.clear();
}

std::shared_ptr<RedisPipeline> RedisRuntime::PipelineOf(
    const std::string& tag) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = pipelines.find(tag);
  return it == pipelines.end() ? nullptr : it->second;
}

std::shared_ptr<RedisRuntime> CurrentRuntime() {
  std::lock_guard<std::mutex> lock(the_runtime_mutex);
  return the_runtime;
}

std::shared_ptr<RedisServer> FindServer(
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

Redis::Result Call(const std::shared_ptr<RedisRuntime>& runtime,
                   const std::string& tag, const std::string& what,
                   const Commands& commands, std::vector<Answer>* answers) {
  if (tls_client_thread) {
    LOG(ERROR) << "Redis call refused on a thread of the Redis client, which "
                  "would wait for itself: "
               << what << ", tag='" << tag << "'";
    return Redis::kError;
  }
  Redis::Result failure = Redis::kError;
  std::shared_ptr<RedisServer> pool =
      FindServer(runtime, tag, commands.front(), &failure);
  std::shared_ptr<RedisPipeline> pipeline;
  if (pool != nullptr) {
    std::lock_guard<std::mutex> lock(runtime->mutex);
    auto it = runtime->pipelines.find(tag);
    if (runtime->closing || it == runtime->pipelines.end()) {
      // Finalize started after the check above.
      failure = Redis::kConnectionFailure;
      pool.reset();
    } else {
      pipeline = it->second;
      ++runtime->blocking;
    }
  }
  if (pool == nullptr) {
    if (failure == Redis::kConnectionFailure) {
      ++tls_thread_tally.connection_failures;
    }
    return failure;
  }
  ++tls_thread_tally.commands;
  auto promise = std::make_shared<std::promise<std::vector<Answer>>>();
  std::future<std::vector<Answer>> future = promise->get_future();
  const std::size_t lane = pipeline->LeastBusyLane();
  SendBatch(std::move(pipeline), pool, lane,
            std::make_shared<const Commands>(commands), what, false,
            [promise](std::vector<Answer> got) {
              promise->set_value(std::move(got));
            });
  // The pipeline answers every command, at the latest when its timeout
  // sweep drops a connection that went quiet; a connect with its Sentinel
  // queries and handshake, and the repeat after READONLY, add a few
  // timeouts more. This bound only guards against a lost answer.
  const auto bound = std::chrono::milliseconds(
      static_cast<int64_t>(runtime->timeout_ms) * 12 + 1000);
  Redis::Result result = Redis::kSuccess;
  if (future.wait_for(bound) == std::future_status::ready) {
    *answers = future.get();
    for (const Answer& answer : *answers) {
      if (answer.result == Redis::kConnectionFailure) {
        result = Redis::kConnectionFailure;
      }
    }
  } else {
    LOG(ERROR) << "Redis call got no answer within " << bound.count()
               << " ms: " << what << ", tag='" << tag << "'";
    answers->assign(commands.size(), Answer{});
    result = Redis::kConnectionFailure;
  }
  if (result == Redis::kConnectionFailure) {
    ++tls_thread_tally.connection_failures;
  }
  {
    std::lock_guard<std::mutex> lock(runtime->mutex);
    --runtime->blocking;
    runtime->drained.notify_all();
  }
  return result;
}

Redis::Result Unexpected(const std::string& tag,
                         const std::vector<std::string>& args,
                         const RedisValue& reply) {
  LOG(ERROR) << "Unexpected Redis reply: " << Describe(args) << ", tag='" << tag
             << "', reply type=" << ValueTypeName(reply.type);
  return Redis::kError;
}

Redis::Result ErrorReply(const std::string& tag,
                         const std::vector<std::string>& args,
                         const RedisValue& reply) {
  // Counted in the metrics by the pipeline, which sees every error reply.
  LOG(WARNING) << "Redis error reply: " << Describe(args) << ", tag='" << tag
               << "', error=" << reply.text;
  return Redis::kError;
}

Redis::Result ExpectInteger(const std::string& tag,
                            const std::vector<std::string>& args,
                            const RedisValue& reply, int64_t* out) {
  if (reply.type != RedisValue::kInteger) return Unexpected(tag, args, reply);
  if (out != nullptr) *out = reply.integer;
  return Redis::kSuccess;
}

Redis::Result ExpectScoreOrNil(const std::string& tag,
                               const std::vector<std::string>& args,
                               const RedisValue& reply, double* out) {
  if (reply.type == RedisValue::kNil) return Redis::kNoValue;
  if (reply.type != RedisValue::kString) return Unexpected(tag, args, reply);
  double score = 0.0;
  if (!ParseScore(reply.text.data(), reply.text.size(), &score)) {
    LOG(ERROR) << "Malformed Redis score: " << Describe(args) << ", tag='"
               << tag << "', reply=" << Printable(reply.text);
    return Redis::kError;
  }
  *out = score;
  return Redis::kSuccess;
}

void CallAsync(const char* what, const std::string& tag, Commands commands,
               AsyncDone done) {
  std::shared_ptr<RedisRuntime> runtime;
  std::shared_ptr<IoService::Context> context;
  {
    std::lock_guard<std::mutex> lock(the_runtime_mutex);
    runtime = the_runtime;
    context = the_async_context.lock();
  }
  if (runtime == nullptr) {
    LOG_EVERY_N(ERROR, 1000) << "Redis client is not initialized or already "
                                "finalized: "
                             << what << " fails (logged every 1000th)";
    if (context != nullptr && !context->stopped()) {
      boost::asio::post(*context, [done = std::move(done)]() mutable {
        std::vector<Answer> none;
        done(Redis::kConnectionFailure, none);
      });
    } else {
      LOG(ERROR) << "Redis completion threads are gone; the callback of "
                 << what << " is dropped";
    }
    return;
  }
  if (runtime->async_context->stopped()) {
    // Nothing is sent whose answer could not be delivered.
    LOG_EVERY_N(ERROR, 1000) << "Redis completion threads are stopped; the "
                                "callback of "
                             << what << " is dropped (logged every 1000th)";
    return;
  }
  bool closing = false;
  {
    std::lock_guard<std::mutex> lock(runtime->mutex);
    closing = runtime->closing;
    ++runtime->pending;
  }
  // Hands the answers to the completion group.
  auto finish = [runtime, what, done = std::move(done)](
                    Redis::Result result, std::vector<Answer> answers) {
    if (runtime->async_context->stopped()) {
      LOG_EVERY_N(ERROR, 1000) << "Redis completion threads are stopped; the "
                                  "callback of "
                               << what << " is dropped (logged every 1000th)";
      std::lock_guard<std::mutex> lock(runtime->mutex);
      --runtime->pending;
      runtime->drained.notify_all();
      return;
    }
    boost::asio::post(
        *runtime->async_context,
        [runtime, result, done, answers = std::move(answers)]() mutable {
          PendingCall pending(runtime);
          done(result, answers);
        });
  };
  if (closing) {
    finish(Redis::kConnectionFailure, {});
    return;
  }
  if (commands.empty()) {
    finish(Redis::kSuccess, {});
    return;
  }
  Redis::Result failure = Redis::kError;
  std::shared_ptr<RedisServer> pool =
      FindServer(runtime, tag, commands.front(), &failure);
  if (pool == nullptr) {
    finish(failure, {});
    return;
  }
  std::shared_ptr<RedisPipeline> pipeline = runtime->PipelineOf(tag);
  if (pipeline == nullptr) {  // Finalize has closed the connections
    finish(Redis::kConnectionFailure, {});
    return;
  }
  // One thread's calls share a connection, so that they stay in order.
  const std::size_t lane =
      std::hash<std::thread::id>()(std::this_thread::get_id()) %
      pipeline->connection_count();
  const std::string described = Describe(commands.front());
  SendBatch(std::move(pipeline), pool, lane,
            std::make_shared<const Commands>(std::move(commands)), described,
            false, [finish](std::vector<Answer> answers) {
              finish(Redis::kSuccess, std::move(answers));
            });
}

}  // namespace redis_internal
}  // namespace vel
