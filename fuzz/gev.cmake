# The DISCOVERY_ACK parser: the first code that reads what any host on the
# network sends to a scanning computer.
teliox_add_fuzzer(fuzz_gev_discovery_ack SOURCES ${PROJECT_SOURCE_DIR}/tests/discovery/fuzz_gev_discovery_ack.cpp LIBS teliox_discovery)
