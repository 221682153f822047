# Cross build for 32-bit ARM (armhf) with Debian's multiarch cross compiler and the armhf
# libraries installed beside the native ones (scripts/install-deps.sh --arch armhf).
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Multiarch keeps the armhf headers and libraries in the normal root (/usr/include,
# /usr/lib/arm-linux-gnueabihf): there is no sysroot. Programs built here run on this machine
# through qemu-arm (user mode; binfmt_misc is not needed): CTest and gtest_discover_tests use
# CMAKE_CROSSCOMPILING_EMULATOR. "-L /" lets qemu use the armhf loader and libraries of the
# root itself; "-L /usr/arm-linux-gnueabihf" would mix two C library builds and crashes as soon
# as a thread starts.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# g++ notes ABI changes of GCC 7 for ARM on every std::vector of pairs etc.: only noise here,
# everything is built with the same compiler.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)

# Libraries and headers come from the root, programs (pkg-config, python3, mosquitto) are the
# build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must see only the armhf .pc files: with the default search path the x86_64 flags
# leak in and the build fails (gnu/stubs-32.h).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_EXECUTABLE pkg-config CACHE FILEPATH "pkg-config of the build machine")

