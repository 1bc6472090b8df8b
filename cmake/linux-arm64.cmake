# Cross build for 64-bit ARM Linux (arm64: Raspberry Pi OS 64-bit, ARM servers)
# with Debian's g++-aarch64-linux-gnu.
# Use: cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LOGGERDUMP_GNU_TRIPLET aarch64-linux-gnu)
set(LOGGERDUMP_DEB_ARCH arm64)
set(LOGGERDUMP_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
