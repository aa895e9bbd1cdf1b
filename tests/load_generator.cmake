plemox_add_test(NAME load_generator_test LABEL unit
  SOURCES unit/load_generator_test.cc
  LIBS leaderboard_load_generator)

plemox_add_test(NAME load_generator_fixed_rate_test LABEL unit
  SOURCES unit/load_generator_fixed_rate_test.cc
  LIBS leaderboard_load_generator)

plemox_add_test(NAME load_generator_fixed_rate_e2e_test LABEL e2e
  SOURCES e2e/load_generator_fixed_rate_e2e_test.cc
  LIBS leaderboard_load_generator)
add_dependencies(load_generator_fixed_rate_e2e_test vel_host_main
                 plemox-leaderboard)
