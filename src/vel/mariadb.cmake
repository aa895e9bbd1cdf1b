# The MariaDB client: a pool of connections over MariaDB Connector/C.
add_library(vel_mariadb SHARED
  mariadb.cc
  mariadb_connection.cc
  mariadb_probe.cc
  result_sets.cc
)
target_link_libraries(vel_mariadb PUBLIC vel_core PkgConfig::MARIADB)
