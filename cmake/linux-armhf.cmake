# Cross build for 32-bit ARM Linux with hardware floating point (armhf:
# Raspberry Pi OS 32-bit) with Debian's g++-arm-linux-gnueabihf.
# Use: cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(LOGGERDUMP_GNU_TRIPLET arm-linux-gnueabihf)
set(LOGGERDUMP_DEB_ARCH armhf)
set(LOGGERDUMP_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
