# Recovery mode end to end: the real host rebuilding Redis from MariaDB.
plemox_add_test(NAME recovery_e2e_test LABEL e2e
  SOURCES e2e/recovery_test.cc
  LIBS leaderboard_client leaderboard_proto)
add_dependencies(recovery_e2e_test vel_host_main plemox-leaderboard)
