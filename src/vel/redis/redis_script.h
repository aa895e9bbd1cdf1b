// A server-side Lua script run with EVALSHA on one of vel::Redis's servers.
// The script's source lives with the caller; this class loads it (SCRIPT
// LOAD), remembers its digest and runs it, reloading once when the server
// answers NOSCRIPT (after a restart or a SCRIPT FLUSH), so that a lost
// script cache never fails a call. Uses the client's connections and
// failure handling: the results are those of vel::Redis (redis.h).
// Thread-safe: one instance may be shared by every thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "vel/redis/redis.h"
#include "vel/redis/redis_pipeline.h"
#include "vel/redis/redis_value.h"

namespace vel {

class RedisScript {
 public:
  // `name` is for log lines; `source` is the Lua text.
  RedisScript(std::string name, std::string source);
  RedisScript(const RedisScript&) = delete;
  RedisScript& operator=(const RedisScript&) = delete;

  // SCRIPT LOAD on the server of `tag`; kSuccess once the server holds the
  // script. Failures are logged. Blocks for one round trip.
  Redis::Result Load(const std::string& tag = "") const;

  // EVALSHA with `keys` and `args` (binary-safe); loads the script first
  // when it was never loaded, and loads it again and retries once on
  // NOSCRIPT. On kSuccess *out holds the script's answer. A Redis error
  // (the script raised one, a key of the wrong type, out of memory) gives
  // kError with *out of type kError and the message; the script stopped at
  // that point. kConnectionFailure: the server could not be reached or did
  // not answer in time. *maybe_ran (when given) tells the two apart: true
  // only when EVALSHA was sent without an answer, so that the script may or
  // may not have run; false when nothing was sent (no connection, or the
  // load failed). Blocks the caller. REQUIRES: out != nullptr.
  Redis::Result Run(const std::vector<std::string>& keys,
                    const std::vector<std::string>& args, RedisValue* out,
                    const std::string& tag = "",
                    bool* maybe_ran = nullptr) const;

  // Run without blocking, on the connection of `lane` of `pipeline`: EVALSHA
  // with the digest of the source, and on NOSCRIPT (a restart, a SCRIPT
  // FLUSH) EVAL with the source, which also loads it again, on the same
  // lane; the callback as RedisPipeline's. Scripts of one lane run in the
  // order of their calls, except that a call answered NOSCRIPT runs after
  // the calls sent behind it, were the script loaded again in between by
  // another connection. REQUIRES: `pipeline` and this script outlive the
  // callback.
  void RunAsync(RedisPipeline& pipeline, std::size_t lane,
                const std::vector<std::string>& keys,
                const std::vector<std::string>& args,
                RedisPipeline::Callback callback) const;

  // SCRIPT LOAD of the source, for RedisPipeline's on_connect.
  std::vector<std::string> LoadCommand() const {
    return {"SCRIPT", "LOAD", source_};
  }

  const std::string& name() const { return name_; }
  const std::string& source() const { return source_; }
  // The digest the server gave at the last load; "" before.
  std::string sha() const;

 private:
  // One EVALSHA; `*noscript` tells a NOSCRIPT answer apart, *maybe_ran is
  // set as Run describes.
  Redis::Result EvalSha(const std::string& sha,
                        const std::vector<std::string>& keys,
                        const std::vector<std::string>& args, RedisValue* out,
                        bool* noscript, bool* maybe_ran,
                        const std::string& tag) const;

  const std::string name_;
  const std::string source_;
  // The SHA1 of the source in hex: the name Redis gives the script.
  const std::string digest_;
  mutable std::mutex mutex_;
  mutable std::string sha_;  // GUARDED_BY(mutex_)
};

}  // namespace vel
