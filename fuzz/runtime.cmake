vbd_add_fuzzer(fuzz_runtime_strings ${CMAKE_CURRENT_SOURCE_DIR}/runtime_strings.cpp vbd_runtime)
