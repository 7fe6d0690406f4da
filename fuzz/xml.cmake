vbd_add_fuzzer(fuzz_xml_parse ${CMAKE_CURRENT_SOURCE_DIR}/xml_parse.cpp vbd_xml vbd_runtime)
