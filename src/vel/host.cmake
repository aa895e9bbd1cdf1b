# The host's process logic and the host executable.
add_library(vel_host SHARED host.cc host_operations.cc)
target_link_libraries(vel_host PUBLIC vel_core vel_redis vel_api vel_net
                      ${CMAKE_DL_LIBS})

add_executable(vel_host_main host_main.cc)
set_target_properties(vel_host_main PROPERTIES OUTPUT_NAME plemox_host)
target_link_libraries(vel_host_main PRIVATE vel_host)
