# Installation of halvex: the shared library, its public headers under
# include/halvex/<room>/, a CMake package (find_package(halvex) ->
# halvex::halvex) and a pkg-config file. Everything is in the component
# "halvex" (cmake --install <build> --component halvex).
include(CMakePackageConfigHelpers)

set(HALVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/halvex)

install(TARGETS halvex EXPORT halvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT halvex
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT halvex
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT halvex
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Public headers keep their room folders. Headers that only the library's own
# sources use stay out of the installed tree.
set(HALVEX_PRIVATE_HEADER_REGEX "(_internal\\.h|/namedlock\\.h|/namedevent\\.h|/fmq_wire\\.h)$")
file(GLOB HALVEX_TOP_HEADERS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
install(FILES ${HALVEX_TOP_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/halvex COMPONENT halvex)
foreach(room text resource client server supervisor platform)
  file(GLOB _headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${room}/*.h)
  list(FILTER _headers EXCLUDE REGEX "${HALVEX_PRIVATE_HEADER_REGEX}")
  if(_headers)
    install(FILES ${_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/halvex/${room} COMPONENT halvex)
  endif()
endforeach()

install(EXPORT halvexTargets NAMESPACE halvex:: DESTINATION ${HALVEX_CMAKE_DIR} COMPONENT halvex)
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/halvexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/halvexConfig.cmake INSTALL_DESTINATION ${HALVEX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/halvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/halvexConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/halvexConfigVersion.cmake
  DESTINATION ${HALVEX_CMAKE_DIR} COMPONENT halvex)

# The prefix is only known at install time (cmake --install --prefix): the
# .pc file is written then.
install(CODE "
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/halvex.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/halvex.pc\" @ONLY)
" COMPONENT halvex)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/halvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT halvex)
