# End-to-end tests of the leaderboard service through the real host.
plemox_add_test(NAME service_e2e_test LABEL e2e
  SOURCES e2e/service_startup_test.cc e2e/session_test.cc
  LIBS leaderboard_client leaderboard_proto)
add_dependencies(service_e2e_test vel_host_main plemox-leaderboard)

plemox_add_test(NAME request_limits_e2e_test LABEL e2e
  SOURCES e2e/request_limits_test.cc
  LIBS leaderboard_client leaderboard_proto)
add_dependencies(request_limits_e2e_test vel_host_main plemox-leaderboard)

plemox_add_test(NAME attack_e2e_test LABEL e2e
  SOURCES e2e/attack_test.cc
  LIBS leaderboard_attack_runner leaderboard_proto)
add_dependencies(attack_e2e_test vel_host_main plemox-leaderboard)
