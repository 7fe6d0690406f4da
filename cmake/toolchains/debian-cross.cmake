# Shared part of the Debian cross toolchains: the cross compilers of
# crossbuild-essential-<arch>, the target's multiarch libraries (GoogleTest
# from libgtest-dev:<arch>), and qemu-user to run the target's test programs.
# The including file sets VBD_CROSS_TRIPLE, VBD_CROSS_PROCESSOR,
# VBD_CROSS_QEMU and VBD_DEB_ARCHITECTURE.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VBD_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${VBD_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VBD_CROSS_TRIPLE}-g++)

# Debian multiarch: the target's libraries and CMake packages live in
# /usr/lib/<triple>, the C library of the cross compiler in /usr/<triple>.
set(CMAKE_LIBRARY_ARCHITECTURE ${VBD_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${VBD_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config must report the target's libraries, never the build machine's:
# without the target's libedit, vbdctl is built without line editing.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VBD_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# ctest and gtest_discover_tests run the target's programs through qemu-user,
# which finds the target's dynamic loader and libraries under -L.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VBD_CROSS_QEMU} -L /usr/${VBD_CROSS_TRIPLE})
