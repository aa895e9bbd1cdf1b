# The host's Redis client (vel::Redis) over hiredis.
add_library(vel_redis SHARED
  redis.cc
  redis_async.cc
  redis_commands.cc
  redis_script.cc
  redis_ping.cc
  redis_runtime.cc
  redis_persistence_check.cc
  redis_sentinel.cc
  redis_server_pool.cc
  redis_text.cc
  redis_connection.cc
  redis_pipeline.cc
)
target_link_libraries(vel_redis PUBLIC vel_core PRIVATE vel_metrics PkgConfig::HIREDIS)
