vbd_add_fuzzer(fuzz_xml_parse ${CMAKE_CURRENT_SOURCE_DIR}/xml_parse.cpp vbd_xml vbd_runtime)
# The library is instrumented too, so coverage guides the search through the
# parser and ASan sees its reads.
target_compile_options(vbd_xml PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
target_link_options(vbd_xml INTERFACE -fsanitize=address,undefined)
