# The ranking cache: the key scheme (no server) and RedisCache against the
# private Redis (MONITOR through hiredis checks which commands it sends).
plemox_add_test(NAME redis_key_test LABEL unit
                SOURCES unit/redis_key_test.cc
                LIBS leaderboard_cache)
plemox_add_test(NAME redis_cache_test LABEL integration
                SOURCES integration/redis_cache_test.cc
                LIBS leaderboard_cache PkgConfig::HIREDIS)
plemox_add_test(NAME redis_cache_query_test LABEL integration
                SOURCES integration/redis_cache_query_test.cc
                LIBS leaderboard_cache PkgConfig::HIREDIS)
plemox_add_test(NAME redis_cache_maintenance_test LABEL integration
                SOURCES integration/redis_cache_maintenance_test.cc
                LIBS leaderboard_cache PkgConfig::HIREDIS)
plemox_add_test(NAME redis_cache_recovery_test LABEL integration
                SOURCES integration/redis_cache_recovery_test.cc
                LIBS leaderboard_cache PkgConfig::HIREDIS)
plemox_add_test(NAME redis_cache_readback_test LABEL integration
                SOURCES integration/redis_cache_readback_test.cc
                LIBS leaderboard_cache PkgConfig::HIREDIS)
plemox_add_test(NAME redis_cache_script_test LABEL integration
                SOURCES integration/redis_cache_script_test.cc
                        integration/tcp_fault_proxy.cc
                LIBS leaderboard_cache PkgConfig::HIREDIS)
plemox_add_test(NAME redis_cache_differential_test LABEL integration
                SOURCES integration/redis_cache_differential_test.cc
                LIBS leaderboard_cache PkgConfig::HIREDIS)
