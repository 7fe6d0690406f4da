# Command protocol harnesses: request-line processing and reply formatting.
vbd_add_fuzzer(fuzz_v232cmd ${CMAKE_CURRENT_SOURCE_DIR}/v232cmd_parse.cpp vbd_v232cmd)
vbd_add_fuzzer(fuzz_v232cmd_reply ${CMAKE_CURRENT_SOURCE_DIR}/v232cmd_reply.cpp vbd_v232cmd)
