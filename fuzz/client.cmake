# The resource-tree client's reply decoding: frame headers, embedded replies,
# attribute blocks, notification datagrams and the engine's operations over
# an in-memory transport.
teliox_add_fuzzer(fuzz_client_reply SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_client_reply.cpp LIBS halvex_static)
