# Cross toolchain for 64-bit ARM players (Debian arm64): needs
# crossbuild-essential-arm64, libgtest-dev:arm64 and qemu-user.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64.cmake
set(VBD_CROSS_TRIPLE aarch64-linux-gnu)
set(VBD_CROSS_PROCESSOR aarch64)
set(VBD_CROSS_QEMU qemu-aarch64)
set(VBD_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
