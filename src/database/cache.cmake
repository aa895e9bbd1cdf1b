# The ranking cache: the Redis key scheme and RedisCache, linked into the
# component library and into the tests.
add_library(leaderboard_cache STATIC
  redis_key.cc
  redis_cache.cc
  redis_cache_query.cc
  redis_cache_maintenance.cc
  redis_cache_recovery.cc
  redis_cache_readback.cc
)
set_target_properties(leaderboard_cache PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(leaderboard_cache PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(leaderboard_cache PUBLIC
  leaderboard_common vel_core vel_redis leaderboard_proto)
