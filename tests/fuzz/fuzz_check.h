// The fuzz targets' check: on failure, says what and aborts, so that
// libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond, ...)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "check failed: %s: ", #cond);                       \
      std::fprintf(stderr, __VA_ARGS__);                                       \
      std::fprintf(stderr, "\n");                                              \
      std::abort();                                                            \
    }                                                                          \
  } while (0)
