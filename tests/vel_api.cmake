plemox_add_test(NAME api_service_test LABEL unit
  SOURCES unit/api_service_test.cc
  LIBS vel_api)
