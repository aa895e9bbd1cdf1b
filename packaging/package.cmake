# Install rules and the Debian package (cpack -G DEB in the build tree):
# the host, the component, the CLI, every shared library they load, the
# schema script, an example manifest and flags file under /etc, and a
# systemd unit.
set(PLEMOX_PRIVATE_LIB_DIR lib/plemox-leaderboard)

# Every shared library and module built under `dir` and its subdirectories,
# so that a library added later is packaged without touching this file.
function(plemox_collect_libraries dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  set(found)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    plemox_collect_libraries(${subdir} sub)
    list(APPEND found ${sub})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

plemox_collect_libraries(${PROJECT_SOURCE_DIR}/src PLEMOX_SRC_LIBRARIES)
plemox_collect_libraries(${PROJECT_SOURCE_DIR}/proto PLEMOX_PROTO_LIBRARIES)
set(PLEMOX_LIBRARIES ${PLEMOX_SRC_LIBRARIES} ${PLEMOX_PROTO_LIBRARIES})
# The load generator is a benchmark tool, not part of a server install.
list(FILTER PLEMOX_LIBRARIES EXCLUDE REGEX "load_generator")
set(PLEMOX_PROGRAMS vel_host_main leaderboard_cli)

# Installed programs find the private libraries next to each other; the
# host's dlopen of the component searches the run path of libvel_host too.
set_target_properties(${PLEMOX_PROGRAMS} PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${PLEMOX_PRIVATE_LIB_DIR}")
set_target_properties(${PLEMOX_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS ${PLEMOX_PROGRAMS} RUNTIME DESTINATION bin)
install(TARGETS ${PLEMOX_LIBRARIES}
  LIBRARY DESTINATION ${PLEMOX_PRIVATE_LIB_DIR}
  RUNTIME DESTINATION ${PLEMOX_PRIVATE_LIB_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/sql/database_schema.sql
  DESTINATION share/plemox-leaderboard/sql)
install(FILES ${PROJECT_SOURCE_DIR}/proto/leaderboard.proto
  DESTINATION share/plemox-leaderboard/proto)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION share/doc/plemox-leaderboard)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
  DESTINATION share/doc/plemox-leaderboard/docs
  FILES_MATCHING PATTERN "*.md")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/leaderboard.manifest.json
              ${CMAKE_CURRENT_LIST_DIR}/plemox_host.flags
  DESTINATION /etc/plemox-leaderboard)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/plemox-leaderboard.service
  DESTINATION lib/systemd/system)

# cpack installs what is built; it does not rebuild the whole tree (tests and
# benchmarks included) first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plemox-leaderboard)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "Plemox leaderboard team <leaderboard@plemox.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Leaderboard server for online games (rankings in Redis, durable in MariaDB)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "redis-server, redis-sentinel, mariadb-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
  ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
