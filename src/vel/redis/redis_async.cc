// vel::Redis: the asynchronous commands; their callbacks run on the
// completion group.
#include <glog/logging.h>

#include <cmath>

#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/redis.h"

namespace vel {
namespace {

using redis_internal::Answer;
using redis_internal::CallAsync;
using redis_internal::Describe;
using redis_internal::ErrorReply;
using redis_internal::ExpectInteger;
using redis_internal::ExpectScoreOrNil;
using redis_internal::Unexpected;

// The one answer of a single-command call as a result: `handle`
// (Result(const RedisValue&)) checks a reply that is not an error.
template <typename Handle>
Redis::Result Single(Redis::Result result, std::vector<Answer>& answers,
                     const std::string& tag,
                     const std::vector<std::string>& args, Handle&& handle) {
  if (result != Redis::kSuccess) return result;
  const Answer& answer = answers.front();
  if (answer.result == Redis::kError) {
    return ErrorReply(tag, args, answer.value);
  }
  if (answer.result != Redis::kSuccess) return answer.result;
  return handle(answer.value);
}

}  // namespace

void Redis::GetAsync(const std::string& key, GetCallback callback,
                     const std::string& tag) {
  std::vector<std::string> args = {"GET", key};
  CallAsync("GET", tag, {args},
            [args, tag, callback = std::move(callback)](
                Result result, std::vector<Answer>& answers) {
              std::string value;
              result = Single(result, answers, tag, args,
                              [&](const RedisValue& reply) {
                                if (reply.type == RedisValue::kNil) {
                                  return kNoValue;
                                }
                                if (reply.type != RedisValue::kString) {
                                  return Unexpected(tag, args, reply);
                                }
                                value = reply.text;
                                return kSuccess;
                              });
              callback(result, value);
            });
}

void Redis::SetAsync(const std::string& key, const std::string& value,
                     int expiry_unit, int64_t expiry, int condition,
                     SetCallback callback, const std::string& tag) {
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
  // Nothing is sent for bad options; the callback still comes from the
  // completion group.
  redis_internal::Commands commands;
  if (valid) commands.push_back(args);
  CallAsync("SET", tag, std::move(commands),
            [valid, args, tag, callback = std::move(callback)](
                Result result, std::vector<Answer>& answers) {
              if (!valid && result == kSuccess) result = kError;
              if (!valid) {
                callback(result);
                return;
              }
              callback(Single(result, answers, tag, args,
                              [&](const RedisValue& reply) {
                                if (reply.type == RedisValue::kNil) {
                                  return kNoValue;
                                }
                                if (reply.type != RedisValue::kStatus) {
                                  return Unexpected(tag, args, reply);
                                }
                                return kSuccess;
                              }));
            });
}

void Redis::ExpireAsync(const std::string& key, int64_t seconds,
                        ExpireCallback callback, const std::string& tag) {
  std::vector<std::string> args = {"EXPIRE", key, std::to_string(seconds)};
  CallAsync("EXPIRE", tag, {args},
            [args, tag, callback = std::move(callback)](
                Result result, std::vector<Answer>& answers) {
              int64_t existed = 0;
              result = Single(
                  result, answers, tag, args, [&](const RedisValue& reply) {
                    return ExpectInteger(tag, args, reply, &existed);
                  });
              callback(result, result == kSuccess && existed != 0);
            });
}

void Redis::ZScoreExtAsync(const std::string& key,
                           std::vector<std::string> members,
                           ZScoreExtCallback callback, const std::string& tag) {
  // Pipelined: every ZSCORE goes out at once, one round trip.
  redis_internal::Commands commands;
  commands.reserve(members.size());
  for (const std::string& member : members) {
    commands.push_back({"ZSCORE", key, member});
  }
  auto shared = std::make_shared<const redis_internal::Commands>(commands);
  CallAsync(
      "ZSCORE (pipelined)", tag, std::move(commands),
      [shared, count = members.size(), tag, callback = std::move(callback)](
          Result result, std::vector<Answer>& answers) {
        const redis_internal::Commands& commands = *shared;
        MemberScores scores;
        if (result == kSuccess) {
          for (const Answer& answer : answers) {
            if (answer.result == kConnectionFailure)
              result = kConnectionFailure;
          }
        }
        if (result != kSuccess) {
          scores.assign(count, {result, 0.0});
          callback(result, scores);
          return;
        }
        scores.reserve(answers.size());
        for (std::size_t i = 0; i < answers.size(); ++i) {
          double score = 0.0;
          Result one = kError;
          if (answers[i].result == kError) {
            ErrorReply(tag, commands[i], answers[i].value);
          } else {
            one = ExpectScoreOrNil(tag, commands[i], answers[i].value, &score);
          }
          if (one != kSuccess) score = 0.0;
          if (one == kError) result = kError;
          scores.emplace_back(one, score);
        }
        callback(result, scores);
      });
}

}  // namespace vel
