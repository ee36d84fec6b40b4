# The decoders of resource values, limits blocks and transparent preambles:
# they read what the other end of a resource-protocol connection sends.
teliox_add_fuzzer(fuzz_value_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_value_decode.cpp LIBS halvex_static)
