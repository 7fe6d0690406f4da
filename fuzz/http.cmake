vbd_add_fuzzer(fuzz_http_url ${CMAKE_CURRENT_SOURCE_DIR}/http_url.cpp vbd_http)
vbd_add_fuzzer(fuzz_http_request ${CMAKE_CURRENT_SOURCE_DIR}/http_request.cpp vbd_http)
