# Windows x86-64 (tractwave.dll) from Debian's packages: clang targeting
# MinGW-w64, which gives native thread-local storage (GCC's MinGW target only
# emulates it), the mingw-w64 headers and import libraries, lld as the linker,
# and the MinGW GCC's libstdc++ for the test programs. Tests run under wine.
#
#   cmake -S . -B build-windows \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
#
# Debian packages: clang-14 lld-14 g++-mingw-w64-x86-64-posix wine wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TRACTWAVE_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(TRACTWAVE_CLANG NAMES clang-14 clang REQUIRED)
find_program(TRACTWAVE_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER ${TRACTWAVE_CLANG})
set(CMAKE_CXX_COMPILER ${TRACTWAVE_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${TRACTWAVE_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TRACTWAVE_MINGW_TRIPLE})
set(CMAKE_AR ${TRACTWAVE_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TRACTWAVE_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_RC_COMPILER ${TRACTWAVE_MINGW_TRIPLE}-windres CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TRACTWAVE_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_NM ${TRACTWAVE_MINGW_TRIPLE}-nm CACHE FILEPATH "")

# clang does not recognise Debian's versioned GCC folder (".../12-posix"), so
# the C++ headers and runtime libraries are named here. The posix thread
# model is the one whose libstdc++ has std::thread.
file(GLOB _tw_gcc_dirs LIST_DIRECTORIES true
     /usr/lib/gcc/${TRACTWAVE_MINGW_TRIPLE}/*-posix)
list(SORT _tw_gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _tw_gcc_dirs 0 TRACTWAVE_MINGW_GCC_DIR)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${TRACTWAVE_MINGW_GCC_DIR}/include/c++ -isystem ${TRACTWAVE_MINGW_GCC_DIR}/include/c++/${TRACTWAVE_MINGW_TRIPLE}")
# Programs link their runtime statically, so that they run with tractwave.dll
# and system DLLs only; libstdc++ needs winpthread for its own TLS.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fuse-ld=lld -L${TRACTWAVE_MINGW_GCC_DIR} -static -lpthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${TRACTWAVE_MINGW_GCC_DIR}")
# Plugin DLLs (CMake MODULE libraries) link like any other DLL.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT}")

set(CMAKE_FIND_ROOT_PATH /usr/${TRACTWAVE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Headless wine with a prefix of the build's own, created on first use.
# mscoree and mshtml are disabled so that wine does not offer to install its
# .NET and browser add-ons.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env -u DISPLAY WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml= wine)
