# The Debian packages, built by CPack's DEB generator from the install rules:
#   teliox         the window program, teliox-cli, the manual, desktop entry,
#                  icon, AppStream metainfo, manual pages, bash completion;
#                  its postinst grants cap_net_bind_service and makes the
#                  machine-wide certificate folder for the group "teliox";
#   libhalvex3     the shared library alone, named after its SONAME, so that
#                  a later libhalvex4 installs beside it;
#   libhalvex-dev  headers, the libhalvex.so link, CMake package and .pc.
# Dependencies on other packages come from dpkg-shlibdeps; teliox depends on
# libhalvex3 of the same build through the component dependency, and on the
# tools its maintainer scripts call.
# Build them with scripts/package.sh, or: cd build && cpack -G DEB
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME teliox)
set(CPACK_PACKAGE_VENDOR ZYRK)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(TELIOX_PACKAGE_MAINTAINER "ZYRK Teliox team <teliox@zyrk.com>" CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${TELIOX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The install rules see the final prefix /usr and the staging folder as DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL halvex halvex-dev)
if(TARGET teliox)
  list(APPEND CPACK_COMPONENTS_ALL teliox)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libhalvex.so.3 here; the dependency on its package
# comes from the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/halvex)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_HALVEX_PACKAGE_NAME libhalvex3)
set(CPACK_DEBIAN_HALVEX_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_HALVEX_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/deb/libhalvex3/triggers)
set(CPACK_COMPONENT_HALVEX_DESCRIPTION
"ZYRK resource-tree library (shared library)
halvex is ZYRK's general-purpose library: the resource-tree client and
server of the network thermal cameras, tasks and the task registry,
inter-process message queues, and its debug log, post log and syslog
logging.

This package holds the shared library.")

set(CPACK_DEBIAN_HALVEX-DEV_PACKAGE_NAME libhalvex-dev)
set(CPACK_DEBIAN_HALVEX-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_HALVEX-DEV_DEPENDS halvex)
set(CPACK_DEBIAN_HALVEX-DEV_PACKAGE_DEPENDS "libssl-dev")
set(CPACK_COMPONENT_HALVEX-DEV_DESCRIPTION
"ZYRK resource-tree library (development files)
halvex is ZYRK's general-purpose library: the resource-tree client and
server of the network thermal cameras, tasks and the task registry,
inter-process message queues, and its debug log, post log and syslog
logging.

This package holds the headers, the CMake package (find_package(halvex))
and the pkg-config file.")

set(CPACK_DEBIAN_TELIOX_PACKAGE_NAME teliox)
set(CPACK_DEBIAN_TELIOX_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TELIOX_DEPENDS halvex)
# Called by the maintainer scripts (groupadd, setcap); no library names them.
set(CPACK_DEBIAN_TELIOX_PACKAGE_DEPENDS "passwd, libcap2-bin")
set(CPACK_DEBIAN_TELIOX_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_TELIOX_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/deb/teliox/postinst ${CMAKE_CURRENT_SOURCE_DIR}/deb/teliox/postrm)
set(CPACK_COMPONENT_TELIOX_DESCRIPTION
"find ZYRK network thermal cameras and set their addresses
Teliox finds ZYRK network thermal cameras on the local network by GigE
Vision discovery, by an mDNS/DNS-SD query and by the cameras' own
announcements, and changes their network settings (DHCP, or a fixed
address, mask and gateway). It also makes the client certificate that
the cameras' TLS service wants and uploads it to a camera.

The package holds the window program teliox and the command-line front
end teliox-cli. Both may receive camera announcements without root: the
package grants them cap_net_bind_service. Members of the group teliox
may keep the client certificate in /var/lib/ZYRK/SSL.")

include(CPack)
