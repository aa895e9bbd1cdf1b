# The leaderboard service and the component library the host loads.
add_library(leaderboard_service STATIC
  leaderboard_service.cc
  database_write_counter.cc
  leaderboard_service_answer_size.cc
  leaderboard_service_api.cc
  leaderboard_service_deletion.cc
  leaderboard_service_dispatch.cc
  leaderboard_service_master.cc
  leaderboard_service_query.cc
  leaderboard_service_recovery.cc
  leaderboard_service_reset.cc
  leaderboard_service_reset_request.cc
  leaderboard_service_schedule_status.cc
  leaderboard_service_schema.cc
  leaderboard_service_session.cc
  leaderboard_service_submission.cc
  leaderboard_service_uncertain.cc
  leaderboard_metrics.cc
  leaderboard_metrics_collector.cc
  profiling_counters.cc
  request_ledger.cc
  session.cc
  session_registry.cc
)
set_target_properties(leaderboard_service PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(leaderboard_service PUBLIC
  leaderboard_core leaderboard_cache leaderboard_store vel_core vel_net
  vel_message vel_api vel_metrics vel_mariadb leaderboard_proto
  Boost::filesystem)

# Loaded by the host with dlopen; exports the component's entry points.
add_library(plemox-leaderboard MODULE plemox-leaderboard_installer.cc)
target_link_libraries(plemox-leaderboard PRIVATE leaderboard_service)
# A symbol missing from the component must fail the build, not the dlopen.
if(NOT PLEMOX_SANITIZE AND NOT PLEMOX_FUZZ)
  target_link_options(plemox-leaderboard PRIVATE -Wl,--no-undefined)
endif()
