# The persistent store: SQL statement builders, the schema, and the database
# connection over the host's MariaDB client.
add_library(leaderboard_store STATIC
  mysql_schema.cc
  db_connection_mariadb.cc
  db_connection_mariadb_recovery.cc
  bulk_insert_queue.cc
)
set_target_properties(leaderboard_store PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(leaderboard_store PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(leaderboard_store PUBLIC
  leaderboard_common vel_core vel_mariadb leaderboard_proto Boost::regex)
