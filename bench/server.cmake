# The resource server on loopback for the client and server benchmarks, and
# the IP change through the resource tree against the simulated camera's
# resource service. Included from bench/CMakeLists.txt.
if(TARGET teliox_actions AND TARGET halvex)
  add_executable(bench_server ${CMAKE_CURRENT_LIST_DIR}/server_bench.cpp
    ${PROJECT_SOURCE_DIR}/tools/camsim/resource_service.cpp)
  target_include_directories(bench_server PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(bench_server PRIVATE teliox_actions halvex)
endif()
