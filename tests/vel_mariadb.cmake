# The MariaDB client: conversions and escaping need no server; the rest runs
# against the private mariadbd, with a fault-injecting proxy for failures.
plemox_add_test(NAME vel_mariadb_unit_test LABEL unit
  SOURCES unit/mariadb_unit_test.cc
  LIBS vel_mariadb)
plemox_add_test(NAME vel_mariadb_test LABEL integration
  SOURCES integration/mariadb_test.cc integration/tcp_fault_proxy.cc
  LIBS vel_mariadb)
plemox_add_test(NAME vel_mariadb_write_retention_test LABEL integration
  SOURCES integration/mariadb_write_retention_test.cc integration/tcp_fault_proxy.cc
  LIBS vel_mariadb)
