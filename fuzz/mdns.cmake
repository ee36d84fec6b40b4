# The mDNS response parser and the announcement splitter: both read whatever
# any host on the network sends to the program's ports.
teliox_add_fuzzer(fuzz_mdns_response SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_mdns_response.cpp LIBS teliox_discovery)
teliox_add_fuzzer(fuzz_announcement SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_announcement.cpp LIBS teliox_discovery)
