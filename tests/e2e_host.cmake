# The host executable with a small component of its own.
add_library(host_test_component MODULE e2e/test_component.cc)
target_link_libraries(host_test_component PRIVATE vel_core vel_net vel_api)

plemox_add_test(NAME host_e2e_test LABEL e2e
  SOURCES e2e/host_test.cc
  LIBS Boost::system)
add_dependencies(host_e2e_test vel_host_main host_test_component)
