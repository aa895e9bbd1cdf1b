plemox_add_test(NAME mysql_schema_test LABEL unit
  SOURCES unit/mysql_schema_test.cc
  LIBS leaderboard_store)
plemox_add_test(NAME db_connection_test LABEL integration
  SOURCES integration/db_connection_test.cc
  LIBS leaderboard_store)
plemox_add_test(NAME bulk_insert_queue_test LABEL integration
  SOURCES integration/bulk_insert_queue_test.cc
  LIBS leaderboard_store)
