plemox_add_test(NAME load_generator_test LABEL unit
  SOURCES unit/load_generator_test.cc
  LIBS leaderboard_load_generator)
