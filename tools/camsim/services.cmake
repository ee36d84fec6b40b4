# The camera simulator's TCP services: the HTTP server (web page, setup
# wizard, certificate upload) and the TLS front of the resource server.
# Included from tools/camsim/CMakeLists.txt (and by their tests when the
# simulator's own CMakeLists does not include it yet).
find_package(PkgConfig REQUIRED)
pkg_check_modules(CAMSIM_MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
find_package(OpenSSL 3 REQUIRED)
find_package(tinyxml2 CONFIG REQUIRED)
find_package(Threads REQUIRED)
add_library(camsim_services STATIC
  ${PROJECT_SOURCE_DIR}/tools/camsim/http_service.cpp
  ${PROJECT_SOURCE_DIR}/tools/camsim/service_files.cpp
  ${PROJECT_SOURCE_DIR}/tools/camsim/tls_service.cpp)
target_include_directories(camsim_services PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(camsim_services
  PUBLIC OpenSSL::SSL OpenSSL::Crypto Threads::Threads
  PRIVATE PkgConfig::CAMSIM_MHD tinyxml2::tinyxml2)
