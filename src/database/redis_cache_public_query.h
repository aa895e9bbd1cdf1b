// The context of one public ranking query of the ranking cache, shared by
// its command-chain and scripted paths (database library only). Owned by the
// query; one thread at a time.
#pragma once

#include <string>

#include "database/redis_cache.h"
#include "database/redis_cache_query_context.h"

namespace plemox {

struct RedisCache::PublicQuery : RedisCache::QueryContext {
  std::string dense_key;
};

}  // namespace plemox
