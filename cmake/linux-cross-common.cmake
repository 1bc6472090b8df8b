# Settings shared by the Linux cross toolchain files; LOGGERDUMP_GNU_TRIPLET
# names Debian's cross compiler (aarch64-linux-gnu or arm-linux-gnueabihf),
# LOGGERDUMP_DEB_ARCH the Debian architecture of the package and LOGGERDUMP_QEMU
# the qemu-user emulator that runs the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${LOGGERDUMP_GNU_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${LOGGERDUMP_GNU_TRIPLET}-gcc)
# Libraries of the target machine (GoogleTest) come from Debian's multiarch
# folders, /usr/lib/${LOGGERDUMP_GNU_TRIPLET}; build tools from the build machine.
set(CMAKE_LIBRARY_ARCHITECTURE ${LOGGERDUMP_GNU_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The test programs run under qemu-user with the target machine's own C and
# C++ libraries from Debian's multiarch packages (libc6:ARCH, libstdc++6:ARCH).
# Not the cross compiler's copy in /usr/${LOGGERDUMP_GNU_TRIPLET}: under
# qemu-user 7.2 its older C library hangs (arm64) or crashes (armhf) in the
# first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR ${LOGGERDUMP_QEMU})
