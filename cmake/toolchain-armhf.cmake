# The appliance's CPU: 32-bit ARM, hard-float, with Debian's cross compiler
# (packages g++-arm-linux-gnueabihf and binutils-arm-linux-gnueabihf).
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#         -DCMAKE_BUILD_TYPE=Release
#
# Programs built here run on this host under qemu-user (package qemu-user),
# which is how ctest runs the unit tests of this build.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ORVO_TARGET_TRIPLE arm-linux-gnueabihf)
set(ORVO_TARGET_SYSROOT /usr/${ORVO_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${ORVO_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVO_TARGET_TRIPLE}-g++)
set(CMAKE_STRIP ${ORVO_TARGET_TRIPLE}-strip CACHE FILEPATH "strip for the target")

# Libraries, headers and CMake packages of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH ${ORVO_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery and ctest start the target's programs through the emulator.
# -L serves the target's files from the sysroot; LD_LIBRARY_PATH=/lib (the
# sysroot's, under -L) keeps the loader there too: where the host also has
# armhf libraries (multiarch, /usr/lib/arm-linux-gnueabihf), the loader's own
# search would find that C library, of another build than the loader, and the
# program would crash at its first thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${ORVO_TARGET_SYSROOT} -E LD_LIBRARY_PATH=/lib)

# One compiler builds everything here: GCC's note that the passing of some
# arguments changed in GCC 7.1 concerns objects of older compilers only.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
