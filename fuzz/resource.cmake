# The decoders of resource values, limits blocks and transparent preambles:
# they read what the other end of a resource-protocol connection sends.
teliox_add_fuzzer(fuzz_value_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_value_decode.cpp LIBS halvex_static)
# The path walker over a small in-memory tree.
teliox_add_fuzzer(fuzz_res_path_parse SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_res_path_parse.cpp
  ${PROJECT_SOURCE_DIR}/tests/halvex_resource/mem_tree.cpp LIBS halvex_static)
# Typed-in values for every value type, checked against what the text names.
teliox_add_fuzzer(fuzz_res_handle_set SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_res_handle_set.cpp
  ${PROJECT_SOURCE_DIR}/tests/halvex_resource/mem_tree.cpp LIBS halvex_static)
# CText's conversions between its 8-bit and UTF-16 copies, its editing and Format.
teliox_add_fuzzer(fuzz_text SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_text.cpp LIBS halvex_static)
# CResourceValue's public calls in random order, with ownership of every byte watched.
teliox_add_fuzzer(fuzz_value_sequence SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_value_sequence.cpp LIBS halvex_static)
