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

// One (ranking member, score) pair of the script's answer; false when
// malformed. A nil score is a member the ranking lacks: score 0.
bool ReadSocialPair(const RedisValue& name, const RedisValue& score_text,
                    std::string* ranking_key, double* score) {
  if (name.type != RedisValue::kString) return false;
  *ranking_key = name.text;
  *score = 0.0;
  if (score_text.is_nil()) return true;
  return score_text.type == RedisValue::kString &&
         ParseScoreText(score_text.text, score);
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
  const std::vector<std::string> keys = {query->key, query->timestamp_key};
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
        const std::size_t pairs =
            query->competitors.size() + (with_player ? 1 : 0);
        if (!answer.is_array() || answer.elements.size() != 2 * pairs) {
          fail("malformed answer of the query script");
          return;
        }

        // The player's pair comes first in the answer and last in the list, as
        // the command chain reads it.
        const std::size_t first_competitor = with_player ? 1 : 0;
        std::vector<SocialEntry>& social_list = query->social_list;
        social_list.reserve(pairs);
        for (std::size_t i = 0; i < pairs; ++i) {
          const std::size_t pair = (first_competitor + i) % pairs;
          SocialEntry entry;
          entry.account = pair < first_competitor
                              ? query->account
                              : query->competitors[pair - first_competitor];
          if (!ReadSocialPair(answer.elements[2 * pair],
                              answer.elements[2 * pair + 1], &entry.ranking_key,
                              &entry.score)) {
            fail("malformed answer of the query script");
            return;
          }
          social_list.push_back(std::move(entry));
        }
        RankSocialList(query);
      });
}

}  // namespace plemox
