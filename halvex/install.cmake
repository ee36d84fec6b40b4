# Installation of halvex: the shared library, its public headers under
# include/halvex/<room>/, a CMake package (find_package(halvex) ->
# halvex::halvex) and a pkg-config file. The run-time library is the
# component "halvex", everything a program needs to build against it the
# component "halvex-dev" (cmake --install <build> --component halvex-dev), as
# the Debian packages libhalvex3 and libhalvex-dev split them.
include(CMakePackageConfigHelpers)

set(HALVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/halvex)

install(TARGETS halvex EXPORT halvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT halvex NAMELINK_COMPONENT halvex-dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT halvex-dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT halvex
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Public headers keep their room folders. Headers that only the library's own
# sources use stay out of the installed tree.
set(HALVEX_PRIVATE_HEADER_REGEX "(_internal\\.h|/namedlock\\.h|/namedevent\\.h|/fmq_wire\\.h)$")
file(GLOB HALVEX_TOP_HEADERS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
install(FILES ${HALVEX_TOP_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/halvex COMPONENT halvex-dev)
foreach(room text resource client server supervisor platform)
  file(GLOB _headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${room}/*.h)
  list(FILTER _headers EXCLUDE REGEX "${HALVEX_PRIVATE_HEADER_REGEX}")
  if(_headers)
    install(FILES ${_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/halvex/${room} COMPONENT halvex-dev)
  endif()
endforeach()

install(EXPORT halvexTargets NAMESPACE halvex:: DESTINATION ${HALVEX_CMAKE_DIR} COMPONENT halvex-dev)
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/halvexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/halvexConfig.cmake INSTALL_DESTINATION ${HALVEX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/halvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/halvexConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/halvexConfigVersion.cmake
  DESTINATION ${HALVEX_CMAKE_DIR} COMPONENT halvex-dev)

# The prefix is only known at install time (cmake --install --prefix): the
# .pc file is written then, into a folder of its own per destination, so
# that installs into different prefixes at the same time (cpack beside a
# test's install) never hand each other their file.
install(CODE "
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  string(MD5 _pc_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(_pc_dir \"${CMAKE_CURRENT_BINARY_DIR}/pc/\${_pc_key}\")
  set(_pc_file \"\${_pc_dir}/halvex.pc\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/halvex.pc.in\" \"\${_pc_file}\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\" TYPE FILE FILES \"\${_pc_file}\")
  file(REMOVE_RECURSE \"\${_pc_dir}\")
" COMPONENT halvex-dev)
