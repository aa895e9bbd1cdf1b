// The context of one public ranking query of the ranking cache, shared by
// its command-chain and scripted paths (database library only). Owned by the
// query; one thread at a time.
#pragma once

#include <string>

#include "database/cache/internal/redis_cache_query_context.h"
#include "database/cache/redis_cache.h"

namespace plemox {

struct RedisCache::PublicQuery : RedisCache::QueryContext {
  std::string dense_key;
};

}  // namespace plemox
