# Reset schedule calendar and the manifest arguments of the component.
plemox_add_test(NAME reset_schedule_test LABEL unit
  SOURCES unit/reset_schedule_test.cc LIBS leaderboard_core)
plemox_add_test(NAME manifest_arguments_test LABEL unit
  SOURCES unit/manifest_arguments_test.cc LIBS leaderboard_core)
