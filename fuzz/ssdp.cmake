# Device discovery: received SSDP datagrams and the search handling.
vbd_add_fuzzer(fuzz_ssdp_datagram ${CMAKE_CURRENT_SOURCE_DIR}/ssdp_datagram.cpp vbd_ssdp_server)
