# The host's process logic and the host executable.
add_library(vel_host SHARED host.cc host_operations.cc)
target_link_libraries(vel_host PUBLIC vel_core vel_redis vel_api vel_net
                      ${CMAKE_DL_LIBS})

add_executable(vel_host_main host_main.cc)
set_target_properties(vel_host_main PROPERTIES OUTPUT_NAME plemox_host)
target_link_libraries(vel_host_main PRIVATE vel_host)
if(PLEMOX_JEMALLOC)
  # Kept even where the linker drops libraries no symbol asks for: jemalloc
  # works by replacing malloc and free for the whole process.
  target_link_libraries(vel_host_main PRIVATE PkgConfig::JEMALLOC)
  target_link_options(vel_host_main PRIVATE "LINKER:--no-as-needed")
endif()
