# The host's HTTP API service (Boost.Beast) and the callable counters it serves.
add_library(vel_api SHARED
  api_connection.cc
  api_router.cc
  api_service.cc
  counter.cc
  health_checks.cc
  operations_routes.cc
)
target_link_libraries(vel_api PUBLIC vel_core vel_metrics Boost::regex)
