# camsim's services: whatever a peer in the lab sends to the simulated cameras.
teliox_add_fuzzer(fuzz_camsim_services SOURCES ${PROJECT_SOURCE_DIR}/tests/camsim/fuzz_camsim_services.cpp LIBS camsim_core)
