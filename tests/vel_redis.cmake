plemox_add_test(NAME vel_redis_client_test LABEL unit
  SOURCES unit/redis_client_test.cc
  LIBS vel_redis)
plemox_add_test(NAME vel_redis_test LABEL integration
  SOURCES integration/redis_test.cc
  LIBS vel_redis)
plemox_add_test(NAME vel_redis_script_test LABEL integration
  SOURCES integration/redis_script_test.cc
  LIBS vel_redis)
plemox_add_test(NAME vel_redis_pipeline_test LABEL integration
  SOURCES integration/redis_pipeline_test.cc
  LIBS vel_redis)
