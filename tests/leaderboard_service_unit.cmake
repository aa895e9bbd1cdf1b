# Unit tests of the service's own pieces (no server needed).
plemox_add_test(NAME leaderboard_service_unit_test LABEL unit
  SOURCES unit/profiling_counters_test.cc unit/reset_check_test.cc
          unit/session_test.cc unit/request_limits_test.cc
  LIBS leaderboard_service)
