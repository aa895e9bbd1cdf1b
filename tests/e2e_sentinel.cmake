# End-to-end failover of the host's Redis under Sentinel.
plemox_add_test(NAME sentinel_failover_e2e_test LABEL e2e
  SOURCES e2e/sentinel_failover_test.cc
  LIBS leaderboard_client leaderboard_proto PkgConfig::HIREDIS)
add_dependencies(sentinel_failover_e2e_test vel_host_main plemox-leaderboard)
