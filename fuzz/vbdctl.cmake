# vbdctl: what devices on the LAN and the control server send it.
vbd_add_fuzzer(fuzz_vbdctl_input ${CMAKE_CURRENT_SOURCE_DIR}/vbdctl_input.cpp vbd_ctl_discover vbd_ctl_core)
target_include_directories(fuzz_vbdctl_input PRIVATE ${CMAKE_SOURCE_DIR})
