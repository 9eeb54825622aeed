# Cross build for 32-bit ARM boards (hard float) with Debian's cross compiler
# and the libraries' armhf packages. Tests run under qemu-user.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(KORVAN_CROSS_TRIPLET arm-linux-gnueabihf)
set(KORVAN_CROSS_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
