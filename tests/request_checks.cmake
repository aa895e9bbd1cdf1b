# The request checks before the ranking cache (no server needed).
plemox_add_test(NAME request_checks_test LABEL unit
  SOURCES unit/request_checks_test.cc
  LIBS leaderboard_service)
