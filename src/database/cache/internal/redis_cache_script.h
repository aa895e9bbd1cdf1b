// The scripted path of the ranking cache (database library only): a score
// submission, a public query and the reads of a social query as one
// server-side Lua script call each (sources in src/database/cache/lua/),
// written from the caller's thread to pipelined connections without blocking
// it. It is the path taken with --redis_cache_use_scripts (the default); its
// effects and answers are those of the command chain (redis_cache_chain.h),
// and it never calls into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "database/cache/redis_cache.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_pipeline.h"
#include "vel/redis/redis_value.h"

namespace vel {
class RedisScript;
}  // namespace vel

namespace plemox {

struct RedisCache::Script {
  // --- Connections and submission (redis_cache_script.cc). ----------------
  // Creates the_pipeline (Initialize). Host thread.
  static void CreatePipeline(std::size_t connections);
  // The pipelined connection of the next query: queries take them in turn.
  // Any thread.
  static std::size_t NextQueryLane();
  // The whole submission as one script call on the pipelined connection of
  // `lane`, which every submission of the player in flight uses: Redis
  // decides them in the order of these calls. Any thread; `callback` runs
  // on a cache I/O thread.
  static void SubmitScore(const std::string& leaderboard_id,
                          const vel::PlayerAccount& account, double score,
                          std::int32_t submission_type,
                          std::int64_t timestamp_in_msec,
                          const ResetScheduleInfo& schedule,
                          const RankingOption& option, std::size_t lane,
                          SubmitScoreCallback callback);

  // --- Public query (redis_cache_script.cc). ------------------------------
  // A checked public query (keys built) as one script call; posts the
  // completion. Any thread.
  static void GetPublicLeaderboard(const std::shared_ptr<PublicQuery>& query);
  // The script's answer to a public query; posts the completion. Cache I/O
  // thread (a dense rank the dense set lacks is counted with blocking
  // commands).
  static void OnPublicQueryAnswered(const std::shared_ptr<PublicQuery>& query,
                                    vel::Redis::Result run_result,
                                    vel::RedisValue answer);

  // --- Social query (redis_cache_social_script.cc). -----------------------
  // The social query script, loaded with the others (LoadScripts and each
  // new pipelined connection). Any thread.
  static const vel::RedisScript& SocialQueryScript();
  // A checked social query (result created, keys built) read by one script
  // call; ranks the list (RankSocialList) or posts the error result. Any
  // thread; the ranking runs on a cache I/O thread.
  static void GetSocialLeaderboard(const std::shared_ptr<SocialQuery>& query);

  // The connections the scripts run on; set once by Initialize
  // (CreatePipeline), read-only afterwards.
  static std::unique_ptr<vel::RedisPipeline> the_pipeline;
};

}  // namespace plemox
