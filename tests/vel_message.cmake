plemox_add_test(NAME leaderboard_message_writer_test LABEL unit
  SOURCES unit/leaderboard_message_writer_test.cc
  LIBS vel_message)
