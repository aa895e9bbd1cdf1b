# Fault tests: the real host under load while its Redis is paused, killed and
# restarted, its database path is cut, or it is stopped with SIGTERM.
plemox_add_test(NAME fault_test LABEL fault
  SOURCES e2e/fault_test.cc integration/tcp_fault_proxy.cc
  LIBS leaderboard_client leaderboard_proto)
add_dependencies(fault_test vel_host_main plemox-leaderboard)
