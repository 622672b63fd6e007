// libFuzzer target: the input is decoded into a sequence of calls of all four
// entry points on one voice, with any float bit patterns, block sizes from
// negative to a few thousand and sample rates of any sign. Besides what the
// sanitizers catch, it checks that
// - finite, sane input with a sane voice state gives samples that are finite
//   and within -0.95 ... 0.95, and diameters within their clamp;
// - n <= 0 writes nothing: not the output buffer, not the wave arrays, and
//   the phase keeps its exact bits;
// - a block that produced a non-finite sample left the thread's record as a
//   new thread has it: a new voice rendered next matches a fresh thread.
// Each input runs on a thread of its own, so that it starts from a fresh
// record and replays exactly.
#include "tractwave.h"

#include "fuzz_input.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace {

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr int kNasal = TRACTWAVE_NASAL_SECTIONS;
constexpr int kParams = TRACTWAVE_NUM_PARAMETERS;
template <size_t N> bool sane(const std::array<float, N> &a, float limit) {
  for (float x : a)
    if (!sane(x, limit))
      return false;
  return true;
}

struct Voice {
  std::array<float, kOral> R{}, L{};
  std::array<float, kNasal> nasal_R{}, nasal_L{};
  float phase = 0.0f;

  bool sane_state() const {
    return sane(R, kSaneWave) && sane(L, kSaneWave) &&
           sane(nasal_R, kSaneWave) && sane(nasal_L, kSaneWave) && sane(phase);
  }
  bool same_bits(const Voice &o) const {
    return std::memcmp(this, &o, sizeof *this) == 0;
  }
};

std::array<float, kParams> parameters(FuzzedDataProvider &in) {
  std::array<float, kParams> p;
  for (float &x : p)
    x = value(in, -0.5f, 1.5f);
  return p;
}

// What a new voice renders first on a thread whose record is at its initial
// values.
constexpr int kProbe = 64;
std::array<float, kProbe> fresh_probe;

std::array<float, kProbe> render_probe() {
  Voice v;
  std::array<float, kParams> p;
  p.fill(0.5f);
  std::array<float, kProbe> out;
  synthesize_waveguide_chunk(kProbe, p.data(), v.R.data(), v.L.data(),
                             v.nasal_R.data(), v.nasal_L.data(), &v.phase,
                             out.data());
  return out;
}

// Runs one block call through `call` and checks what the block promised.
template <class Call>
void block(Voice &v, int n, bool inputs_sane, const char *name, Call call) {
  const Voice before = v;
  const bool checked = inputs_sane && v.sane_state();
  if (n <= 0) {
    std::array<float, 16> canary;
    canary.fill(from_bits(0x7FC0BEEFu));
    call(canary.data());
    CHECK(v.same_bits(before), "%s n=%d changed the voice", name, n);
    for (float x : canary)
      CHECK(bits_of(x) == 0x7FC0BEEFu, "%s n=%d wrote output", name, n);
    return;
  }
  // Exactly n samples, so that a write past the end is a sanitizer report.
  std::vector<float> out(static_cast<size_t>(n));
  call(out.data());
  bool any_non_finite = false;
  for (int i = 0; i < n; ++i) {
    const float x = out[i];
    any_non_finite = any_non_finite || !std::isfinite(x);
    if (checked)
      CHECK(std::isfinite(x) && std::fabs(x) <= 0.95f,
            "%s n=%d: sample %d is %g for sane input", name, n, i, x);
  }
  if (any_non_finite) {
    const std::array<float, kProbe> probe = render_probe();
    CHECK(std::memcmp(probe.data(), fresh_probe.data(), sizeof probe) == 0,
          "%s n=%d: non-finite block left the thread's record changed", name,
          n);
  }
}

void run(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  Voice v;
  int calls = 0;
  while (in.remaining_bytes() > 0 && ++calls <= 24) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: { // geometry
      const auto p = parameters(in);
      std::array<float, kOral> oral;
      std::array<float, kNasal> nasal;
      float velum = 0.0f;
      compute_diameters_from_dofs(p.data(), oral.data(), nasal.data(), &velum);
      if (sane(p, kSane)) {
        for (float d : oral)
          CHECK(d >= 0.05f && d <= 4.5f, "diameter %g", d);
        CHECK(std::isfinite(velum), "velum %g", velum);
      }
      for (float d : nasal)
        CHECK(std::isfinite(d), "nasal diameter %g", d);
      break;
    }
    case 1: { // explicit engine block
      const int n = block_size(in);
      std::array<float, kOral> oral;
      std::array<float, kNasal> nasal;
      float velum = 0.0f;
      if (in.ConsumeBool()) {
        const auto p = parameters(in);
        compute_diameters_from_dofs(p.data(), oral.data(), nasal.data(),
                                    &velum);
      } else {
        for (float &d : oral)
          d = value(in, 0.0f, 5.0f);
        for (float &d : nasal)
          d = value(in, 0.0f, 5.0f);
        velum = value(in, -0.1f, 1.0f);
      }
      const float f0 = value(in, -1000.0f, 4000.0f);
      const float amp = value(in, -1.0f, 4.0f);
      const float mix = value(in, -1.0f, 2.0f);
      const float breathiness = value(in, -1.0f, 3.0f);
      const float glottal = value(in, -1.0f, 1.0f);
      const float lip = value(in, -1.0f, 1.0f);
      const float nostril = value(in, -1.0f, 1.0f);
      const float rate = value(in, -96000.0f, 192000.0f);
      // Reflection coefficients beyond +-1 make the ends amplify, so the
      // bounds promise covers only passive ends.
      const bool ok = sane(oral, kSane) && sane(nasal, kSane) && sane(velum) &&
                      sane(f0) && sane(amp) && sane(mix) && sane(breathiness) &&
                      sane(glottal, 1.0f) && sane(lip, 1.0f) &&
                      sane(nostril, 1.0f) &&
                      (std::isnan(rate) || std::isfinite(rate));
      block(v, n, ok, "step_waveguide_block", [&](float *out) {
        step_waveguide_block(n, f0, amp, mix, breathiness, oral.data(),
                             nasal.data(), velum, glottal, lip, nostril,
                             v.R.data(), v.L.data(), v.nasal_R.data(),
                             v.nasal_L.data(), &v.phase, out, rate);
      });
      break;
    }
    case 2: { // chunk at 48 kHz
      const int n = block_size(in);
      const auto p = parameters(in);
      block(v, n, sane(p, kSane), "synthesize_waveguide_chunk",
            [&](float *out) {
              synthesize_waveguide_chunk(n, p.data(), v.R.data(), v.L.data(),
                                         v.nasal_R.data(), v.nasal_L.data(),
                                         &v.phase, out);
            });
      break;
    }
    case 3: { // chunk at any rate
      const int n = block_size(in);
      const auto p = parameters(in);
      const float rate = value(in, -96000.0f, 192000.0f);
      block(v, n, sane(p, kSane) && (std::isnan(rate) || std::isfinite(rate)),
            "synthesize_waveguide_chunk_ex", [&](float *out) {
              synthesize_waveguide_chunk_ex(n, p.data(), v.R.data(), v.L.data(),
                                            v.nasal_R.data(), v.nasal_L.data(),
                                            &v.phase, out, rate);
            });
      break;
    }
    default: // the host hands in a voice state of its own
      for (float &x : v.R)
        x = value(in, -1.0f, 1.0f);
      for (float &x : v.L)
        x = value(in, -1.0f, 1.0f);
      for (float &x : v.nasal_R)
        x = value(in, -1.0f, 1.0f);
      for (float &x : v.nasal_L)
        x = value(in, -1.0f, 1.0f);
      v.phase = value(in, -1.0f, 1.0f);
      break;
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::thread([] { fresh_probe = render_probe(); }).join();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::thread([=] { run(data, size); }).join();
  return 0;
}
