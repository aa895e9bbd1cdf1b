plemox_add_test(NAME vel_core_test LABEL unit
  SOURCES unit/vel_core_test.cc unit/manifest_test.cc
  LIBS vel_core)

plemox_add_test(NAME io_service_shutdown_test LABEL unit
  SOURCES unit/io_service_shutdown_test.cc
  LIBS vel_core)
