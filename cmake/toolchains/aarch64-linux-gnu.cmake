# Linux arm64 from Debian's cross compiler; tests run under qemu-aarch64.
#
#   cmake -S . -B build-arm64 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
#
# Debian packages: g++-aarch64-linux-gnu qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TRACTWAVE_CROSS_TRIPLE aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${TRACTWAVE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TRACTWAVE_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TRACTWAVE_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L makes qemu load the arm64 dynamic loader and C library from the cross
# sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${TRACTWAVE_CROSS_TRIPLE})
