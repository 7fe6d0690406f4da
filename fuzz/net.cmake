# Network layer: interface table lines and address texts.
vbd_add_fuzzer(fuzz_net ${CMAKE_CURRENT_SOURCE_DIR}/net_addresses.cpp vbd_net)
