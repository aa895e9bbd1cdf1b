// RedisCache: the scripted social query, the path with
// --redis_cache_use_scripts: the reads of a social ranking query as one
// server-side Lua script (src/database/cache/lua/social_query.lua), one Redis
// round trip instead of the command chain's four (redis_cache_social_chain.cc:
// index read, score pipeline, the player's index entry and score). The script
// only reads; the sorting, numbering and answer are shared with the chain
// (RankSocialList), so both paths answer alike.
#include <glog/logging.h>

#include <sstream>
#include <utility>

#include "database/cache/internal/lua_sources.h"
#include "database/cache/internal/redis_cache_script.h"
#include "database/cache/internal/redis_cache_social_query.h"
#include "database/cache/internal/redis_commands.h"
#include "vel/redis/redis_script.h"

namespace plemox {

namespace {

using redis_cache::ParseScoreText;
using vel::Redis;
using vel::RedisValue;

// One (ranking member, score, profile) triple of the script's answer; false
// when malformed. A nil score is a member the ranking lacks: score 0; a nil
// profile, a member without name and metadata.
bool ReadSocialTriple(const RedisValue* triple, std::string* ranking_key,
                      double* score, std::string* display_name,
                      std::string* metadata) {
  const RedisValue& name = triple[0];
  const RedisValue& score_text = triple[1];
  const RedisValue& profile = triple[2];
  if (name.type != RedisValue::kString) return false;
  *ranking_key = name.text;
  *score = 0.0;
  if (!score_text.is_nil() && (score_text.type != RedisValue::kString ||
                               !ParseScoreText(score_text.text, score))) {
    return false;
  }
  if (profile.is_nil()) return true;
  return profile.type == RedisValue::kString &&
         UnpackProfile(profile.text, display_name, metadata);
}

}  // namespace

const vel::RedisScript& RedisCache::Script::SocialQueryScript() {
  static const vel::RedisScript script("social_query",
                                       lua_sources::kSocialQuery);
  return script;
}

void RedisCache::Script::GetSocialLeaderboard(
    const std::shared_ptr<SocialQuery>& query) {
  const bool with_player = !query->account.id().empty();
  std::vector<std::string> keys = {
      query->key, query->timestamp_key,
      MakeLeaderboardProfileKey(query->leaderboard_id)};
  if (query->league) keys.push_back(MakeLeagueTiersKey(query->leaderboard_id));
  std::vector<std::string> args;
  args.reserve(query->competitors.size() + 1);
  args.push_back(with_player ? MakeMemberKey(query->account) : std::string());
  for (const auto& competitor : query->competitors) {
    args.push_back(MakeMemberKey(competitor));
  }

  // Non-blocking, on a pipelined connection; the answer is ranked on the
  // cache I/O thread that receives it (no Redis command after the script).
  SocialQueryScript().RunAsync(
      *the_pipeline, NextQueryLane(), keys, args,
      [query, with_player](Redis::Result result, RedisValue answer, bool) {
        const auto fail = [&](const std::string& why) {
          LOG(ERROR) << "Failed to query social leaderboard, " << why
                     << ": key=" << query->key
                     << ", ts_key=" << query->timestamp_key
                     << ", account_id=" << query->account.id()
                     << ", requested_friends=" << query->competitors.size();
          PostQueryCompletion(query->callback, query->result);
        };
        if (result != Redis::kSuccess) {
          std::ostringstream why;
          why << "the query script failed: " << Redis::ResultName(result);
          if (answer.type == RedisValue::kError) why << ": " << answer.text;
          fail(why.str());
          return;
        }
        const std::size_t members =
            query->competitors.size() + (with_player ? 1 : 0);
        // Per member: ranking key, score, profile and, on a league, tier.
        const std::size_t width = query->league ? 4 : 3;
        if (!answer.is_array() || answer.elements.size() != width * members) {
          fail("malformed answer of the query script");
          return;
        }

        // The player's triple comes first in the answer and last in the list,
        // as the command chain reads it.
        const std::size_t first_competitor = with_player ? 1 : 0;
        std::vector<SocialEntry>& social_list = query->social_list;
        social_list.reserve(members);
        for (std::size_t i = 0; i < members; ++i) {
          const std::size_t member = (first_competitor + i) % members;
          SocialEntry entry;
          entry.account = member < first_competitor
                              ? query->account
                              : query->competitors[member - first_competitor];
          const RedisValue* fields = &answer.elements[width * member];
          if (!ReadSocialTriple(fields, &entry.ranking_key, &entry.score,
                                &entry.display_name, &entry.metadata)) {
            fail("malformed answer of the query script");
            return;
          }
          if (query->league) {
            entry.tier = redis_cache::TierName(*query->league, fields[3]);
          }
          social_list.push_back(std::move(entry));
        }
        RankSocialList(query);
      });
}

}  // namespace plemox
