plemox_add_test(NAME frame_codec_test LABEL unit
  SOURCES unit/frame_codec_test.cc
  LIBS leaderboard_client)
plemox_add_test(NAME leaderboard_client_test LABEL unit
  SOURCES unit/leaderboard_client_test.cc
  LIBS leaderboard_client)
