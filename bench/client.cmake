# Resource-tree client benchmark (loopback only; bounded request counts).
# Included from bench/CMakeLists.txt.
if(TARGET halvex_static)
  add_executable(bench_client ${CMAKE_CURRENT_LIST_DIR}/client_bench.cpp)
  target_link_libraries(bench_client PRIVATE halvex_static)
endif()
