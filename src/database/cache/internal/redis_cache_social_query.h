// The context of one social ranking query of the ranking cache, shared by
// its command-chain and scripted paths (database library only): both read
// the members' ranking keys and scores into `social_list`, then
// RedisCache::RankSocialList sorts, numbers and answers. Owned by the query;
// one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "database/cache/internal/redis_cache_query_context.h"
#include "database/cache/redis_cache.h"

namespace plemox {

// One member of a social list: the account as the query named it, the
// ranking member its index entry names ("0:" and its member key when it has
// none), its score (0 when the ranking lacks that member) and its profile
// (empty on the command chain), and on a league its tier.
struct RedisCache::SocialEntry {
  vel::PlayerAccount account;
  std::string ranking_key;
  double score = 0.0;
  std::string display_name;
  std::string metadata;
  std::string tier;
};

struct RedisCache::SocialQuery : RedisCache::QueryContext {
  std::vector<vel::PlayerAccount> competitors;
  std::string timestamp_key;
  std::vector<std::string> friend_ranking_keys;
  // The competitors in query order, then the player unless its local id is
  // empty.
  std::vector<SocialEntry> social_list;
  std::shared_ptr<QueryResult> result;
};

}  // namespace plemox
