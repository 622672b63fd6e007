// Helpers shared by the test programs. Everything goes through the public
// header, as a host would use the library.
#pragma once

#include "tractwave.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <thread>
#include <vector>

namespace tw {

using Params = std::array<float, TRACTWAVE_NUM_PARAMETERS>;

inline Params uniform_params(float value) {
  Params p;
  p.fill(value);
  return p;
}

// A voice: the caller-owned half of the engine state, zero for a new voice.
struct Voice {
  std::array<float, TRACTWAVE_ORAL_SECTIONS> R{}, L{};
  std::array<float, TRACTWAVE_NASAL_SECTIONS> nasal_R{}, nasal_L{};
  float phase = 0.0f;

  std::vector<float> render(const Params &p, int n, float rate = 48000.0f) {
    std::vector<float> out(n > 0 ? n : 0);
    synthesize_waveguide_chunk_ex(n, p.data(), R.data(), L.data(),
                                  nasal_R.data(), nasal_L.data(), &phase,
                                  out.data(), rate);
    return out;
  }

  bool operator==(const Voice &o) const {
    return R == o.R && L == o.L && nasal_R == o.nasal_R &&
           nasal_L == o.nasal_L && phase == o.phase;
  }
};

// Explicit engine controls for step_waveguide_block, defaulting to the ones
// the chunk functions use.
struct Controls {
  float f0 = 260.0f, amp = 0.0f, mix = 1.0f, breathiness = 0.0f;
  std::array<float, TRACTWAVE_ORAL_SECTIONS> oral;
  std::array<float, TRACTWAVE_NASAL_SECTIONS> nasal;
  float velum = 0.0f;
  float glottal = 0.75f, lip = -0.85f, nostril = -0.7f;
  float rate = 48000.0f;

  // A uniform tube has every reflection coefficient at zero.
  explicit Controls(float diameter = 1.0f) {
    oral.fill(diameter);
    nasal.fill(diameter);
  }

  std::vector<float> step(Voice &v, int n) const {
    std::vector<float> out(n > 0 ? n : 0);
    step_waveguide_block(n, f0, amp, mix, breathiness, oral.data(),
                         nasal.data(), velum, glottal, lip, nostril, v.R.data(),
                         v.L.data(), v.nasal_R.data(), v.nasal_L.data(),
                         &v.phase, out.data(), rate);
    return out;
  }
};

// Runs fn on a thread of its own, so that it starts from a fresh per-thread
// record whatever this thread has rendered before.
template <class Fn> void on_fresh_thread(Fn fn) {
  std::thread t(fn);
  t.join();
}

// Agreement to about five significant digits, with an absolute floor for
// values near zero.
inline ::testing::AssertionResult near_rel(double actual, double expected,
                                           double rel = 1e-4,
                                           double floor = 1e-12) {
  const double tol = std::fabs(expected) * rel + floor;
  if (std::fabs(actual - expected) <= tol)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << actual << " differs from " << expected << " by more than " << tol;
}

} // namespace tw
