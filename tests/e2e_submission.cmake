plemox_add_test(NAME submission_e2e_test LABEL e2e
  SOURCES e2e/submission_test.cc
  LIBS leaderboard_client leaderboard_proto)
add_dependencies(submission_e2e_test vel_host_main plemox-leaderboard)

plemox_add_test(NAME query_e2e_test LABEL e2e
  SOURCES e2e/query_test.cc
  LIBS leaderboard_client leaderboard_proto Boost::date_time)
add_dependencies(query_e2e_test vel_host_main plemox-leaderboard)

plemox_add_test(NAME deletion_e2e_test LABEL e2e
  SOURCES e2e/deletion_test.cc
  LIBS leaderboard_client leaderboard_proto)
add_dependencies(deletion_e2e_test vel_host_main plemox-leaderboard)

plemox_add_test(NAME db_writes_e2e_test LABEL e2e
  SOURCES e2e/db_writes_test.cc integration/tcp_fault_proxy.cc
  LIBS leaderboard_client leaderboard_proto)
add_dependencies(db_writes_e2e_test vel_host_main plemox-leaderboard)
