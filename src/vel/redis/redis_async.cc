// vel::Redis: the asynchronous commands, run on the completion group.
#include <glog/logging.h>

#include <cmath>

#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/redis.h"

namespace vel {
namespace {

using Reply = RedisConnection::Reply;
using redis_internal::Describe;
using redis_internal::Dispatch;
using redis_internal::Execute;
using redis_internal::ExpectInteger;
using redis_internal::ExpectScoreOrNil;
using redis_internal::FindServer;
using redis_internal::RedisRuntime;
using redis_internal::RedisServerPool;
using redis_internal::Unexpected;

}  // namespace

void Redis::GetAsync(const std::string& key, GetCallback callback,
                     const std::string& tag) {
  auto shared = std::make_shared<GetCallback>(std::move(callback));
  Dispatch(
      "GET",
      [key, tag, shared](const std::shared_ptr<RedisRuntime>& runtime) {
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
       shared](const std::shared_ptr<RedisRuntime>& runtime) {
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
      [key, seconds, tag,
       shared](const std::shared_ptr<RedisRuntime>& runtime) {
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
       shared_members](const std::shared_ptr<RedisRuntime>& runtime) {
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
        std::shared_ptr<RedisServerPool> pool =
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
            MetricsRegistry::CountRedisError(MetricsRegistry::kRedisErrorReply);
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

}  // namespace vel
