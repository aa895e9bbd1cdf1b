# End-to-end tests of resets, the master election and the schedule routes.
plemox_add_test(NAME scheduled_reset_e2e_test LABEL e2e
  SOURCES e2e/scheduled_reset_test.cc
  LIBS leaderboard_client leaderboard_proto Boost::date_time)
add_dependencies(scheduled_reset_e2e_test vel_host_main plemox-leaderboard)

plemox_add_test(NAME reset_request_e2e_test LABEL e2e
  SOURCES e2e/reset_request_test.cc
  LIBS leaderboard_client leaderboard_proto Boost::date_time)
add_dependencies(reset_request_e2e_test vel_host_main plemox-leaderboard)

plemox_add_test(NAME schedule_api_e2e_test LABEL e2e
  SOURCES e2e/schedule_api_test.cc
  LIBS leaderboard_client leaderboard_proto Boost::date_time)
add_dependencies(schedule_api_e2e_test vel_host_main plemox-leaderboard)
