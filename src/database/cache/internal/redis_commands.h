// What every Redis command of the ranking cache shares: the server it goes to
// and how its answer is read (a read's result, a score's text). Constants and
// pure functions; any thread.
#pragma once

#include <cstdlib>
#include <string>

#include "vel/redis/redis.h"

namespace plemox {
namespace redis_cache {

// Every cache command goes to the default Redis server.
inline const std::string kServerTag;

// Whether a read (HGET, HMGET, ZSCORE, ...) reached Redis: "no value" is an
// answer too, only a failed command is not.
inline bool ReadSucceeded(vel::Redis::Result result) {
  return result == vel::Redis::kSuccess || result == vel::Redis::kNoValue;
}

// A score text of Redis or of a script's answer ("1.5", "1e+308", "inf",
// "-inf") as the double it stands for into *out; false (and *out unchanged)
// unless the whole text is a number.
inline bool ParseScoreText(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return false;
  *out = value;
  return true;
}

}  // namespace redis_cache
}  // namespace plemox
