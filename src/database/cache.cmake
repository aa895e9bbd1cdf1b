# The ranking cache: the Redis key scheme and RedisCache, linked into the
# component library and into the tests.

# The Lua scripts are kept as .lua files and embedded into the library; a
# change to one of them configures again.
set(PLEMOX_LUA_DIR ${CMAKE_CURRENT_SOURCE_DIR}/lua)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PLEMOX_LUA_DIR}/submit_score.lua
  ${PLEMOX_LUA_DIR}/public_query.lua
  ${PLEMOX_LUA_DIR}/social_query.lua
  ${PLEMOX_LUA_DIR}/lua_sources.cc.in)
file(READ ${PLEMOX_LUA_DIR}/submit_score.lua PLEMOX_LUA_SUBMIT_SCORE)
file(READ ${PLEMOX_LUA_DIR}/public_query.lua PLEMOX_LUA_PUBLIC_QUERY)
file(READ ${PLEMOX_LUA_DIR}/social_query.lua PLEMOX_LUA_SOCIAL_QUERY)
configure_file(${PLEMOX_LUA_DIR}/lua_sources.cc.in
  ${CMAKE_CURRENT_BINARY_DIR}/lua_sources.cc @ONLY)

add_library(leaderboard_cache STATIC
  redis_key.cc
  redis_cache.cc
  redis_cache_numbering.cc
  redis_cache_query.cc
  redis_cache_maintenance.cc
  redis_cache_recovery.cc
  redis_cache_readback.cc
  redis_cache_script.cc
  redis_cache_social_script.cc
  ${CMAKE_CURRENT_BINARY_DIR}/lua_sources.cc
)
set_target_properties(leaderboard_cache PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(leaderboard_cache PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(leaderboard_cache PUBLIC
  leaderboard_common vel_core vel_redis leaderboard_proto)
