// Input decoding and checks shared by the fuzz targets: floats that are
// mostly meaningful and sometimes any bit pattern, block sizes from negative
// to long, and what "sane" input is.
#pragma once

#include "fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int kMaxBlock = 4100;

// Inputs up to this size, and wave arrays up to kSaneWave, are far from where
// single-precision products overflow; the bounds promise is checked there.
// The two go together: the velum junction multiplies a nasal wave by the
// squared velum opening, so waves of 1e27 with a velum parameter of 1e6
// overflow (an input the fuzzer once found).
constexpr float kSane = 1e6f;
constexpr float kSaneWave = 1e20f;

float from_bits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

[[maybe_unused]] uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

const float kSpecial[] = {std::numeric_limits<float>::quiet_NaN(),
                          -std::numeric_limits<float>::quiet_NaN(),
                          from_bits(0x7F800001u), // signalling NaN
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::max(),
                          -std::numeric_limits<float>::max(),
                          std::numeric_limits<float>::min(),
                          std::numeric_limits<float>::denorm_min(),
                          -std::numeric_limits<float>::denorm_min(),
                          0.0f,
                          -0.0f,
                          1e20f,
                          -1e20f,
                          kSane,
                          -kSane,
                          8000.0f,
                          0.001f,
                          0.35f,
                          0.75f};

// A float for an argument whose meaningful values lie in lo ... hi: mostly
// from that range, sometimes a special value, sometimes any bit pattern.
float value(FuzzedDataProvider &in, float lo, float hi) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
  case 0:
    return from_bits(in.ConsumeIntegral<uint32_t>());
  case 1:
    return in.PickValueInArray(kSpecial);
  default:
    return lo + (hi - lo) * in.ConsumeProbability<float>();
  }
}

int block_size(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
  case 0: { // any negative value, or a long block
    const int n = in.ConsumeIntegral<int>();
    return n < 0 ? n : kMaxBlock - n % 64;
  }
  case 1:
    return in.ConsumeIntegralInRange<int>(-100, 0);
  default:
    return in.ConsumeIntegralInRange<int>(1, 600);
  }
}

[[maybe_unused]] bool sane(float x, float limit = kSane) {
  return std::isfinite(x) && std::fabs(x) <= limit;
}

} // namespace
