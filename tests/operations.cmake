# Metrics and health checks: the registry and readiness rounds in-process,
# and the running server's /metrics, /healthz and /readyz.
plemox_add_test(NAME operations_unit_test LABEL unit
  SOURCES unit/operations_test.cc
  LIBS vel_api vel_metrics leaderboard_service)

plemox_add_test(NAME metrics_e2e_test LABEL e2e
  SOURCES e2e/metrics_test.cc integration/tcp_fault_proxy.cc
  LIBS leaderboard_client leaderboard_proto Boost::date_time)
add_dependencies(metrics_e2e_test vel_host_main plemox-leaderboard)
