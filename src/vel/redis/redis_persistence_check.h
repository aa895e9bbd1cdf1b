// The start-up check of how the Redis in use keeps its data.
#pragma once

#include <string>

namespace vel {

// Rankings live in Redis first; a Redis that evicts keys under memory
// pressure or writes nothing to disk loses them silently. This check asks
// the server once and says so in the log, so that an operator finds out at
// start-up rather than after a restart.
class RedisPersistenceCheck {
 public:
  enum Outcome {
    kKeepsData,  // persists (append-only file or save points), no eviction
    kAtRisk,     // evicts keys or persists nothing: one warning was logged
    kUnknown,    // CONFIG GET refused or Redis unreachable: logged, no verdict
  };

  // Asks the server of `tag` (CONFIG GET maxmemory-policy, maxmemory,
  // appendonly, save) and logs one warning naming every risk found. A server
  // that refuses CONFIG GET (renamed command, ACL) or cannot be reached is
  // logged and not held against it. Blocks for at most one Redis call.
  // REQUIRES: Redis::Initialize succeeded. Any thread.
  static Outcome Run(const std::string& tag = "");

  RedisPersistenceCheck() = delete;
};

}  // namespace vel
