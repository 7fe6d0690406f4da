# Cross toolchain for 32-bit ARM players (Debian armhf): needs
# crossbuild-essential-armhf, libgtest-dev:armhf and qemu-user.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(VBD_CROSS_TRIPLE arm-linux-gnueabihf)
set(VBD_CROSS_PROCESSOR arm)
set(VBD_CROSS_QEMU qemu-arm)
set(VBD_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
