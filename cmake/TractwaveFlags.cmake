# Compiler and linker settings shared by every target, and the ones that make
# the library what it promises to be: single precision in written order, no
# runtime beyond libc and libm, nothing exported but the four entry points,
# no code run at load or unload.

# Checking builds: TRACTWAVE_SANITIZE=address,undefined or =thread instruments
# every target (clang or gcc), and TRACTWAVE_FUZZ=ON (clang only) adds
# coverage feedback to the library for the libFuzzer target in tests/fuzz.
# Both are for test builds only; a release library is built with neither.
set(TRACTWAVE_SANITIZE "" CACHE STRING
    "Sanitizers for a checking build, e.g. address,undefined or thread")
option(TRACTWAVE_FUZZ "Build the libFuzzer target (clang, checking builds)" OFF)
if(TRACTWAVE_SANITIZE)
  add_compile_options(-fsanitize=${TRACTWAVE_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TRACTWAVE_SANITIZE})
endif()

function(tractwave_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(TRACTWAVE_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(TRACTWAVE_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# Fused multiply-adds change the last bits. arm64 builds fuse them (as the
# shipped arm64 library does); every other target keeps the written rounding.
function(tractwave_fp_flags target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /fp:precise)
    return()
  endif()
  set(arch "${CMAKE_SYSTEM_PROCESSOR}")
  if(CMAKE_OSX_ARCHITECTURES)
    set(arch "${CMAKE_OSX_ARCHITECTURES}")
  endif()
  if(arch MATCHES "^(aarch64|arm64|ARM64)$")
    target_compile_options(${target} PRIVATE -ffp-contract=fast)
  elseif(arch MATCHES "aarch64|arm64")
    # A universal macOS build: each slice gets its own setting.
    target_compile_options(${target} PRIVATE
      -Xarch_arm64 -ffp-contract=fast -Xarch_x86_64 -ffp-contract=off)
  else()
    target_compile_options(${target} PRIVATE -ffp-contract=off)
  endif()
endfunction()

# SYMBOLS names the export list (src/<name>.map and src/<name>.exports);
# tractwave's by default.
function(tractwave_library_flags target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SYMBOLS" "")
  if(NOT arg_SYMBOLS)
    set(arg_SYMBOLS tractwave)
  endif()
  tractwave_warnings(${target})
  tractwave_fp_flags(${target})
  if(MSVC)
    return()
  endif()
  # No exceptions, RTTI or guarded statics: nothing in the library needs the
  # C++ runtime, so it is linked as plain C. Loop-to-memset rewriting is off
  # so that the only library calls are the four math functions.
  # (GCC and clang spell that differently.)
  # The wide vector paths are only ever inlined into code compiled for their
  # instruction set, so GCC's note on how such vectors would be passed
  # between functions does not apply.
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    $<$<CXX_COMPILER_ID:GNU>:-Wno-psabi>
    $<$<CXX_COMPILER_ID:GNU>:-fno-tree-loop-distribute-patterns>
    $<$<CXX_COMPILER_ID:Clang,AppleClang>:-fno-builtin-memset -fno-builtin-memcpy>)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  if(TRACTWAVE_FUZZ)
    # Edge coverage only: tracing the integer compares of the per-sample
    # loops would cost most of the fuzzer's time and tell it nothing.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link
                           -fno-sanitize-coverage=trace-cmp)
  endif()
  if(NOT WIN32)
    target_link_libraries(${target} PRIVATE m)
  endif()
  if(APPLE)
    target_link_options(${target} PRIVATE
      "LINKER:-exported_symbols_list,${PROJECT_SOURCE_DIR}/src/${arg_SYMBOLS}.exports")
  elseif(MINGW)
    # GCC's MinGW target emulates thread_local with a runtime that allocates
    # each thread's copy on first use; clang gives native TLS, which the
    # loader fills from the image's template.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      message(FATAL_ERROR
        "tractwave for Windows needs native thread-local storage, which GCC's "
        "MinGW target lacks: build with clang "
        "(cmake/toolchains/x86_64-w64-mingw32.cmake)")
    endif()
    # Without the runtime's startup files the DLL has no entry point (the
    # entry is the image base, RVA 0) and the library supplies its own TLS
    # directory, without callbacks. Only lld is known to accept this.
    target_link_options(${target} PRIVATE
      -nostartfiles "LINKER:-e,__ImageBase" -static-libgcc)
  else()
    # The version script pins the export table; -nostartfiles leaves out the
    # toolchain's init/fini stubs, so loading and unloading run no code of the
    # library's; --as-needed drops any runtime the code does not call.
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${PROJECT_SOURCE_DIR}/src/${arg_SYMBOLS}.map"
      "LINKER:--as-needed" -nostartfiles -static-libgcc)
    # An instrumented library refers to the sanitizer runtime, which lives in
    # the executable, so only the release library can insist on no undefined
    # references.
    if(NOT (TRACTWAVE_SANITIZE OR TRACTWAVE_FUZZ))
      target_link_options(${target} PRIVATE "LINKER:-z,defs")
    endif()
    set_property(TARGET ${target} APPEND PROPERTY
      LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/${arg_SYMBOLS}.map)
  endif()
endfunction()

# A library built from the engine source: the shipped tractwave and
# tractwave_voices, and the test-only variant builds. BUILDING is the macro
# that turns the header's import declarations into exports.
function(tractwave_engine_library target type source)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "SYMBOLS;BUILDING" "")
  add_library(${target} ${type} ${source})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:include>)
  target_compile_definitions(${target} PRIVATE ${arg_BUILDING})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  tractwave_library_flags(${target} SYMBOLS ${arg_SYMBOLS})
endfunction()
