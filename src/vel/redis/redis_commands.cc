// vel::Redis: the synchronous commands.
#include <glog/logging.h>

#include <cmath>

#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/redis.h"

namespace vel {
namespace {

using redis_internal::CurrentRuntime;
using redis_internal::Describe;
using redis_internal::Execute;
using redis_internal::ExpectInteger;
using redis_internal::ExpectScoreOrNil;
using redis_internal::FormatScore;
using redis_internal::ParseScore;
using redis_internal::Printable;
using redis_internal::Unexpected;

}  // namespace

Redis::Result Redis::ZAdd(const std::string& key, double score,
                          const std::string& member, const std::string& tag) {
  const std::vector<std::string> args = {"ZADD", key, FormatScore(score),
                                         member};
  if (std::isnan(score)) {
    LOG(ERROR) << "Redis ZADD refused: the score is NaN: " << Describe(args)
               << ", tag='" << tag << "'";
    return kError;
  }
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
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
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::ZScore(const std::string& key, const std::string& member,
                            double* out, const std::string& tag) {
  const std::vector<std::string> args = {"ZSCORE", key, member};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectScoreOrNil(tag, args, reply, out);
  });
}

Redis::Result Redis::ZRevRank(const std::string& key, const std::string& member,
                              int64_t* out, const std::string& tag) {
  const std::vector<std::string> args = {"ZREVRANK", key, member};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    if (reply.type == RedisValue::kNil) return kNoValue;
    return ExpectInteger(tag, args, reply, out);
  });
}

Redis::Result Redis::ZRevRange(const std::string& key, int64_t start,
                               int64_t stop, bool with_scores,
                               ScoredMembers* out, const std::string& tag) {
  std::vector<std::string> args = {"ZREVRANGE", key, std::to_string(start),
                                   std::to_string(stop)};
  if (with_scores) args.emplace_back("WITHSCORES");
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    if (reply.type != RedisValue::kArray) return Unexpected(tag, args, reply);
    const std::size_t step = with_scores ? 2 : 1;
    if (reply.elements.size() % step != 0) return Unexpected(tag, args, reply);
    ScoredMembers members;
    members.reserve(reply.elements.size() / step);
    for (std::size_t i = 0; i < reply.elements.size(); i += step) {
      const RedisValue& member = reply.elements[i];
      if (member.type != RedisValue::kString) {
        return Unexpected(tag, args, member);
      }
      double score = 0.0;
      if (with_scores) {
        const RedisValue& text = reply.elements[i + 1];
        if (text.type != RedisValue::kString ||
            !ParseScore(text.text.data(), text.text.size(), &score)) {
          LOG(ERROR) << "Malformed Redis score in " << Describe(args)
                     << ", tag='" << tag << "'";
          return kError;
        }
      }
      members.emplace_back(member.text, score);
    }
    out->swap(members);
    return kSuccess;
  });
}

Redis::Result Redis::ZCount(const std::string& key, const std::string& min,
                            const std::string& max, int64_t* out,
                            const std::string& tag) {
  const std::vector<std::string> args = {"ZCOUNT", key, min, max};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectInteger(tag, args, reply, out);
  });
}

Redis::Result Redis::ZCard(const std::string& key, int64_t* out,
                           const std::string& tag) {
  const std::vector<std::string> args = {"ZCARD", key};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectInteger(tag, args, reply, out);
  });
}

Redis::Result Redis::ZScan(const std::string& key, const std::string& cursor,
                           const std::string& pattern, int64_t count,
                           std::string* next_cursor, ScoredMembers* out,
                           const std::string& tag) {
  const std::vector<std::string> args = {
      "ZSCAN", key, cursor, "MATCH", pattern, "COUNT", std::to_string(count)};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    if (reply.type != RedisValue::kArray || reply.elements.size() != 2 ||
        reply.elements[0].type != RedisValue::kString ||
        reply.elements[1].type != RedisValue::kArray ||
        reply.elements[1].elements.size() % 2 != 0) {
      return Unexpected(tag, args, reply);
    }
    const std::vector<RedisValue>& items = reply.elements[1].elements;
    ScoredMembers members;
    members.reserve(items.size() / 2);
    for (std::size_t i = 0; i < items.size(); i += 2) {
      const RedisValue& member = items[i];
      const RedisValue& text = items[i + 1];
      double score = 0.0;
      if (member.type != RedisValue::kString ||
          text.type != RedisValue::kString ||
          !ParseScore(text.text.data(), text.text.size(), &score)) {
        LOG(ERROR) << "Malformed Redis ZSCAN reply: " << Describe(args)
                   << ", tag='" << tag << "'";
        return kError;
      }
      members.emplace_back(member.text, score);
    }
    *next_cursor = reply.elements[0].text;
    out->swap(members);
    return kSuccess;
  });
}

Redis::Result Redis::ZRem(const std::string& key, const std::string& member,
                          const std::string& tag) {
  const std::vector<std::string> args = {"ZREM", key, member};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::Del(const std::string& key, const std::string& tag) {
  const std::vector<std::string> args = {"DEL", key};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

Redis::Result Redis::Exists(const std::string& key, bool* out,
                            const std::string& tag) {
  const std::vector<std::string> args = {"EXISTS", key};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    int64_t count = 0;
    const Result result = ExpectInteger(tag, args, reply, &count);
    if (result == kSuccess) *out = count > 0;
    return result;
  });
}

Redis::Result Redis::Get(const std::string& key, std::string* out,
                         const std::string& tag) {
  const std::vector<std::string> args = {"GET", key};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    if (reply.type == RedisValue::kNil) return kNoValue;
    if (reply.type != RedisValue::kString) return Unexpected(tag, args, reply);
    *out = reply.text;
    return kSuccess;
  });
}

Redis::Result Redis::Incr(const std::string& key, int64_t* out,
                          const std::string& tag) {
  const std::vector<std::string> args = {"INCR", key};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectInteger(tag, args, reply, out);
  });
}

Redis::Result Redis::Rename(const std::string& key, const std::string& new_key,
                            const std::string& tag) {
  const std::vector<std::string> args = {"RENAME", key, new_key};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    if (reply.type != RedisValue::kStatus) return Unexpected(tag, args, reply);
    return kSuccess;
  });
}

Redis::Result Redis::HGet(const std::string& key, const std::string& field,
                          std::string* out, const std::string& tag) {
  const std::vector<std::string> args = {"HGET", key, field};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    if (reply.type == RedisValue::kNil) return kNoValue;
    if (reply.type != RedisValue::kString) return Unexpected(tag, args, reply);
    *out = reply.text;
    return kSuccess;
  });
}

Redis::Result Redis::HSet(const std::string& key, const std::string& field,
                          const std::string& value, const std::string& tag) {
  const std::vector<std::string> args = {"HSET", key, field, value};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
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
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
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
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    if (reply.type != RedisValue::kArray ||
        reply.elements.size() != fields.size()) {
      return Unexpected(tag, args, reply);
    }
    std::vector<std::string> values;
    values.reserve(reply.elements.size());
    for (const RedisValue& value : reply.elements) {
      if (value.type == RedisValue::kNil) {
        values.emplace_back();
      } else if (value.type == RedisValue::kString) {
        values.push_back(value.text);
      } else {
        return Unexpected(tag, args, value);
      }
    }
    out->swap(values);
    return kSuccess;
  });
}

Redis::Result Redis::HDel(const std::string& key, const std::string& field,
                          const std::string& tag) {
  const std::vector<std::string> args = {"HDEL", key, field};
  return Execute(CurrentRuntime(), tag, args, [&](const RedisValue& reply) {
    return ExpectInteger(tag, args, reply, nullptr);
  });
}

}  // namespace vel
