# Shared part of the Debian cross toolchain files: KORVAN_CROSS_TRIPLET and
# KORVAN_CROSS_QEMU are set by the including file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KORVAN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KORVAN_CROSS_TRIPLET}-g++)
# Multiarch: the target's libraries and package files live under
# /usr/lib/<triplet>; the headers are shared with the build machine.
set(CMAKE_LIBRARY_ARCHITECTURE ${KORVAN_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${KORVAN_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# ctest and gtest_discover_tests run the target's programs through qemu-user.
# The programs find the target's dynamic loader and C library where the
# multiarch packages put them (libc6:<arch>, pulled in by the library
# packages). No -L /usr/<triplet>: that loader comes from the cross
# toolchain's own build of the C library, and paired with the multiarch one
# it hangs every thread start.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVAN_CROSS_QEMU})
# The tools that inspect the target's binaries (nm for the export check).
set(CMAKE_NM ${KORVAN_CROSS_TRIPLET}-nm)
# pkg-config reads the target's package files, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KORVAN_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
