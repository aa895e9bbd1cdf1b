// What every part of the ranking cache shares about the Redis server it
// talks to. Constants and a pure function; any thread.
#pragma once

#include <string>

#include "vel/redis.h"

namespace plemox {
namespace redis_cache {

// Every cache command goes to the default Redis server.
inline const std::string kServerTag;

// Whether a read (HGET, HMGET, ZSCORE, ...) reached Redis: "no value" is an
// answer too, only a failed command is not.
inline bool ReadSucceeded(vel::Redis::Result result) {
  return result == vel::Redis::kSuccess || result == vel::Redis::kNoValue;
}

}  // namespace redis_cache
}  // namespace plemox
