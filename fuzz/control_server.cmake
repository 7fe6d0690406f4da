# Control server: request framing and connection-level answers, bytes in.
vbd_add_fuzzer(fuzz_control_framing ${CMAKE_CURRENT_SOURCE_DIR}/control_framing.cpp
               vbd_control_server)
