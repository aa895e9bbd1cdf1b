#include "vel/redis/internal/redis_cluster_router.h"

#include <glog/logging.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <utility>

#include "vel/metrics/metrics_registry.h"
#include "vel/redis/internal/redis_text.h"
#include "vel/redis/redis_cluster_slot.h"

namespace vel {
namespace redis_internal {
namespace {

// The pause before sending again after TRYAGAIN or CLUSTERDOWN, times the
// attempt's number.
constexpr auto kRetryPause = std::chrono::milliseconds(100);

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

struct RedisClusterRouter::Command {
  std::vector<std::string> args;
  std::size_t lane = 0;
  int slot = 0;
  int redirects = 0;
  int retries = 0;
  RedisPipeline::Callback callback;
};

RedisClusterRouter::RedisClusterRouter(
    std::shared_ptr<boost::asio::io_context> io, std::string tag,
    std::size_t lanes, std::vector<std::vector<std::string>> on_connect,
    std::shared_ptr<RedisCluster> cluster)
    : io_(std::move(io)),
      tag_(std::move(tag)),
      lanes_(lanes == 0 ? 1 : lanes),
      on_connect_(std::move(on_connect)),
      cluster_(std::move(cluster)) {}

void RedisClusterRouter::Send(std::size_t lane,
                              const std::vector<std::string>& args,
                              RedisPipeline::Callback callback) {
  MaybeRefresh();
  const RedisClusterRoute route = RouteRedisCommand(args);
  switch (route.kind) {
    case RedisClusterRoute::kRefused:
      Refuse(args, route.error, std::move(callback));
      return;
    case RedisClusterRoute::kEveryPrimary:
      Broadcast(args, std::move(callback));
      return;
    case RedisClusterRoute::kSlot:
    case RedisClusterRoute::kAnyNode:
      break;
  }
  auto command = std::make_shared<Command>();
  command->args = args;
  command->lane = lane % lanes_;
  command->slot = route.kind == RedisClusterRoute::kSlot ? route.slot : 0;
  command->callback = std::move(callback);
  Route({command});
}

void RedisClusterRouter::SendAll(
    std::size_t lane, const RedisPipeline::Commands& commands,
    std::vector<RedisPipeline::Callback> callbacks) {
  const std::size_t count = std::min(commands.size(), callbacks.size());
  if (count == 0) return;
  if (count == 1) {
    Send(lane, commands[0], std::move(callbacks[0]));
    return;
  }
  MaybeRefresh();
  // Answers from several nodes come on several threads: they are kept and
  // the callbacks run in the batch's order, one after the other.
  struct Batch {
    struct Answer {
      Redis::Result result = Redis::kConnectionFailure;
      RedisValue reply;
      bool maybe_ran = false;
    };
    std::mutex mutex;
    std::vector<Answer> answers;
    std::vector<RedisPipeline::Callback> callbacks;
    std::size_t left = 0;
  };
  auto batch = std::make_shared<Batch>();
  batch->answers.resize(count);
  batch->callbacks = std::move(callbacks);
  batch->callbacks.resize(count);
  batch->left = count;
  std::vector<CommandPtr> routed;
  for (std::size_t i = 0; i < count; ++i) {
    RedisPipeline::Callback collect =
        [batch, i](Redis::Result result, RedisValue reply, bool maybe_ran) {
          {
            std::lock_guard<std::mutex> lock(batch->mutex);
            batch->answers[i] = {result, std::move(reply), maybe_ran};
            if (--batch->left != 0) return;
          }
          for (std::size_t j = 0; j < batch->answers.size(); ++j) {
            Batch::Answer& answer = batch->answers[j];
            if (batch->callbacks[j]) {
              batch->callbacks[j](answer.result, std::move(answer.reply),
                                  answer.maybe_ran);
            }
          }
        };
    const RedisClusterRoute route = RouteRedisCommand(commands[i]);
    if (route.kind == RedisClusterRoute::kRefused) {
      Refuse(commands[i], route.error, std::move(collect));
      continue;
    }
    if (route.kind == RedisClusterRoute::kEveryPrimary) {
      Broadcast(commands[i], std::move(collect));
      continue;
    }
    auto command = std::make_shared<Command>();
    command->args = commands[i];
    command->lane = lane % lanes_;
    command->slot = route.kind == RedisClusterRoute::kSlot ? route.slot : 0;
    command->callback = std::move(collect);
    routed.push_back(std::move(command));
  }
  Route(routed);
}

void RedisClusterRouter::Route(const std::vector<CommandPtr>& commands) {
  // One write per node, in the commands' order.
  std::vector<std::pair<std::string, std::vector<CommandPtr>>> groups;
  for (const CommandPtr& command : commands) {
    const std::string node = cluster_->NodeOf(command->slot);
    auto it =
        std::find_if(groups.begin(), groups.end(),
                     [&](const auto& group) { return group.first == node; });
    if (it == groups.end()) {
      groups.emplace_back(node, std::vector<CommandPtr>{command});
    } else {
      it->second.push_back(command);
    }
  }
  for (const auto& [node, group] : groups) Dispatch(node, group, false);
}

void RedisClusterRouter::Dispatch(const std::string& node,
                                  const std::vector<CommandPtr>& commands,
                                  bool asking) {
  if (commands.empty()) return;
  RedisPipeline::Commands batch;
  std::vector<RedisPipeline::Callback> callbacks;
  for (const CommandPtr& command : commands) {
    if (asking) {
      // The node answers the command only right after ASKING; its own
      // answer (OK) needs nothing.
      batch.push_back({"ASKING"});
      callbacks.push_back([](Redis::Result, RedisValue, bool) {});
    }
    batch.push_back(command->args);
    callbacks.push_back(
        [self = shared_from_this(), command, node](
            Redis::Result result, RedisValue reply, bool maybe_ran) {
          self->OnAnswer(command, node, result, std::move(reply), maybe_ran);
        });
  }
  NodePipeline(node)->SendAll(commands.front()->lane, batch,
                              std::move(callbacks));
}

void RedisClusterRouter::OnAnswer(const CommandPtr& command,
                                  const std::string& node, Redis::Result result,
                                  RedisValue reply, bool maybe_ran) {
  if (result == Redis::kConnectionFailure) {
    // A failed primary: its replica takes its slots over once the cluster
    // agrees it is gone; the map names it after that.
    cluster_->NodeFailed(node);
    MaybeRefresh();
  } else if (result == Redis::kError) {
    bool ask = false;
    int slot = -1;
    std::string target;
    if (RedisCluster::ParseRedirect(reply.text, node, &ask, &slot, &target)) {
      if (++command->redirects <= kMaxRedirects) {
        if (!ask) {
          cluster_->Moved(slot, target);
          MaybeRefresh();
        }
        Dispatch(target, {command}, ask);
        return;
      }
      MetricsRegistry::CountRedisError(MetricsRegistry::kRedisErrorReply);
      LOG(ERROR) << "Redis cluster redirected a command more than "
                 << kMaxRedirects << " times: " << Describe(command->args)
                 << ", tag='" << tag_ << "', last answer=" << reply.text;
    } else if (StartsWith(reply.text, "TRYAGAIN") ||
               StartsWith(reply.text, "CLUSTERDOWN")) {
      if (StartsWith(reply.text, "CLUSTERDOWN")) cluster_->MarkStale();
      if (++command->retries <= kMaxRetries) {
        auto timer = std::make_shared<boost::asio::steady_timer>(
            *io_, kRetryPause * command->retries);
        timer->async_wait([self = shared_from_this(), command,
                           timer](const boost::system::error_code&) {
          self->MaybeRefresh();
          self->Route({command});
        });
        return;
      }
    }
  }
  RedisPipeline::Callback callback = std::move(command->callback);
  callback(result, std::move(reply), maybe_ran);
}

void RedisClusterRouter::Broadcast(const std::vector<std::string>& args,
                                   RedisPipeline::Callback callback) {
  const std::vector<std::string> nodes = cluster_->Primaries();
  struct Merge {
    std::mutex mutex;
    std::size_t left = 0;
    Redis::Result result = Redis::kSuccess;
    RedisValue reply;
    bool maybe_ran = false;
    bool have_reply = false;
    RedisPipeline::Callback callback;
  };
  auto merge = std::make_shared<Merge>();
  merge->left = nodes.size();
  merge->callback = std::move(callback);
  // A node's failure outweighs the others' success: kConnectionFailure
  // before kError before kSuccess.
  auto rank = [](Redis::Result result) {
    return result == Redis::kConnectionFailure ? 2
           : result == Redis::kError           ? 1
                                               : 0;
  };
  for (const std::string& node : nodes) {
    NodePipeline(node)->Send(
        0, args,
        [self = shared_from_this(), merge, node, rank](
            Redis::Result result, RedisValue reply, bool maybe_ran) {
          if (result == Redis::kConnectionFailure) {
            self->cluster_->NodeFailed(node);
          }
          {
            std::lock_guard<std::mutex> lock(merge->mutex);
            merge->maybe_ran = merge->maybe_ran || maybe_ran;
            if (!merge->have_reply || rank(result) > rank(merge->result)) {
              merge->result = result;
              merge->reply = std::move(reply);
              merge->have_reply = true;
            }
            if (--merge->left != 0) return;
          }
          merge->callback(merge->result, std::move(merge->reply),
                          merge->maybe_ran);
        });
  }
}

void RedisClusterRouter::Refuse(const std::vector<std::string>& args,
                                const std::string& why,
                                RedisPipeline::Callback callback) {
  // A caller's fault that repeats with every request of its kind: the log
  // says so without drowning in it.
  LOG_EVERY_N(ERROR, 100) << "Redis command not sent to the cluster: "
                          << Describe(args) << " is " << why << ", tag='"
                          << tag_ << "' (logged every 100th)";
  RedisValue reply;
  reply.type = RedisValue::kError;
  reply.text = "ERR not sent to the cluster: " + why;
  boost::asio::post(*io_, [callback = std::move(callback),
                           reply = std::move(reply)]() mutable {
    callback(Redis::kError, std::move(reply), false);
  });
}

std::shared_ptr<RedisPipeline> RedisClusterRouter::NodePipeline(
    const std::string& node) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = nodes_.find(node);
  if (it != nodes_.end()) return it->second;
  auto pipeline = std::make_shared<RedisPipeline>(
      io_, tag_, lanes_, on_connect_, cluster_->PoolOf(node));
  if (closed_) {
    pipeline->Close();  // fails what is sent on it
    return pipeline;
  }
  nodes_.emplace(node, pipeline);
  return pipeline;
}

std::size_t RedisClusterRouter::LeastBusyLane() {
  std::vector<std::shared_ptr<RedisPipeline>> nodes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [node, pipeline] : nodes_) nodes.push_back(pipeline);
  }
  std::size_t best = 0;
  std::size_t best_in_flight = SIZE_MAX;
  for (std::size_t lane = 0; lane < lanes_; ++lane) {
    std::size_t in_flight = 0;
    for (const auto& pipeline : nodes) in_flight += pipeline->InFlight(lane);
    if (in_flight < best_in_flight) {
      best = lane;
      best_in_flight = in_flight;
      if (in_flight == 0) break;
    }
  }
  return best;
}

void RedisClusterRouter::MaybeRefresh() {
  if (!cluster_->BeginRefresh()) return;
  ReadMap(cluster_->RefreshCandidates(), 0);
}

void RedisClusterRouter::ReadMap(std::vector<std::string> candidates,
                                 std::size_t index) {
  if (index >= candidates.size()) {
    cluster_->EndRefresh(false);
    LOG_EVERY_N(WARNING, 100)
        << "No node of the Redis cluster of tag='" << tag_
        << "' gave its slot map; asking again on the next command (logged "
           "every 100th)";
    return;
  }
  const std::string node = candidates[index];
  NodePipeline(node)->Send(
      0, {"CLUSTER", "SLOTS"},
      [self = shared_from_this(), candidates = std::move(candidates), index,
       node](Redis::Result result, RedisValue reply, bool) mutable {
        std::string error = "no answer";
        if (result != Redis::kConnectionFailure &&
            self->cluster_->ApplySlots(reply, node, &error)) {
          self->cluster_->EndRefresh(true);
          return;
        }
        if (result == Redis::kConnectionFailure) {
          self->cluster_->NodeFailed(node);
        }
        VLOG(1) << "Redis cluster node " << node << " (tag='" << self->tag_
                << "') gave no slot map: " << error;
        self->ReadMap(std::move(candidates), index + 1);
      });
}

void RedisClusterRouter::Close() {
  std::map<std::string, std::shared_ptr<RedisPipeline>> nodes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    nodes.swap(nodes_);
  }
  for (auto& [node, pipeline] : nodes) pipeline->Close();
}

}  // namespace redis_internal
}  // namespace vel
