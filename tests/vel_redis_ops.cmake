# The Redis client in production settings: Sentinel failover and the check
# of how the server keeps its data.
plemox_add_test(NAME vel_redis_sentinel_test LABEL integration
  SOURCES integration/redis_sentinel_test.cc
  LIBS vel_redis)
plemox_add_test(NAME vel_redis_persistence_test LABEL integration
  SOURCES integration/redis_persistence_test.cc
  LIBS vel_redis)
