# Cross build for 64-bit ARM boards with Debian's cross compiler and the
# libraries' arm64 packages (multiarch, under /usr/lib/aarch64-linux-gnu).
# Tests run under qemu-user.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(KORVAN_CROSS_TRIPLET aarch64-linux-gnu)
set(KORVAN_CROSS_QEMU qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
