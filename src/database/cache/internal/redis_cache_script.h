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
#include <utility>
#include <vector>

#include "common/period_ranking.h"
#include "database/cache/redis_cache.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_pipeline.h"
#include "vel/redis/redis_value.h"

namespace vel {
class RedisScript;
}  // namespace vel

namespace plemox {

namespace redis_cache {

// The name of the tier that a tier hash value of a query script's answer
// names: the lowest tier for nil or a value that is no tier index, the
// highest for an index above it, as the placement reads the hash
// (redis_cache_league.cc). Any thread.
std::string TierName(const LeagueRules& league, const vel::RedisValue& value);

}  // namespace redis_cache

struct RedisCache::Script {
  // --- Connections and submission (redis_cache_script.cc). ----------------
  // Creates the_pipeline (Initialize). Host thread.
  static void CreatePipeline(std::size_t connections);
  // The pipelined connection of the next query: queries take them in turn.
  // Any thread.
  static std::size_t NextQueryLane();
  // The whole submission, with its extras, as one script call on the
  // pipelined connection of `lane`, which every submission of the player in
  // flight uses: Redis decides them in the order of these calls. Any
  // thread; `callback` runs on a cache I/O thread.
  static void SubmitScore(const std::string& leaderboard_id,
                          const vel::PlayerAccount& account, double score,
                          std::int32_t submission_type,
                          std::int64_t timestamp_in_msec,
                          const ResetScheduleInfo& schedule,
                          const RankingOption& option,
                          const SubmissionExtras& extras, std::size_t lane,
                          SubmitOutcomeCallback callback);
  // One ranking's outcome as the submission script reports it: the code
  // (0 not a new record, 1 over the stored score, 2 the first score, 3 the
  // first score over a dangling index entry) and the score now stored.
  using ScriptOutcome = std::pair<std::int64_t, double>;
  // The outcome list of `outcomes` (the period rankings of `periods` in
  // order, then maybe all-time) appended to *new_records; false when their
  // number or a code is not one the script gives. Any thread.
  static bool ToNewRecords(const std::vector<ScriptOutcome>& outcomes,
                           const std::vector<PeriodRanking>& periods,
                           NewRecords* new_records);
  // The record of a submission id as submit_score.lua writes it: the token
  // of the copy that applied it, whether it changed the profile, and its
  // outcomes. False when `text` is not such a record. Any thread.
  struct SubmissionRecord {
    std::string token;
    bool profile_changed = false;
    std::vector<ScriptOutcome> outcomes;
  };
  static bool ParseSubmissionRecord(const std::string& text,
                                    SubmissionRecord* record);

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
