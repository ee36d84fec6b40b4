# The resource server's request handling: whole request frames from the
# network, through the connection task, against an in-memory tree.
teliox_add_fuzzer(fuzz_server_request SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_server_request.cpp LIBS halvex_static)
