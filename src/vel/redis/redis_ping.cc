// Redis::Ping, the liveness command of the readiness checks.
#include <string>
#include <vector>

#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/redis.h"

namespace vel {

Redis::Result Redis::Ping(const std::string& tag) {
  const std::vector<std::string> args = {"PING"};
  return redis_internal::Execute(
      redis_internal::CurrentRuntime(), tag, args,
      [&](const RedisValue& reply) {
        if (reply.type == RedisValue::kStatus && reply.text == "PONG") {
          return kSuccess;
        }
        return redis_internal::Unexpected(tag, args, reply);
      });
}

}  // namespace vel
