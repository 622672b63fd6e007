// Long-run stability: one voice rendered in 10 ms blocks at 48 kHz with every
// parameter jumping to a new random value at each block, out-of-range values
// included. Every sample must stay finite and within -0.95 ... 0.95, and the
// caller's wave arrays must stay finite and below kWaveBound.
//
// Why the tube cannot ring up without limit: every junction's reflection
// coefficient is clamped to +-0.92, so the scattering passes energy on
// without gain; the glottis, lip and nostril ends reflect with magnitude
// below 1; and the write-back smoother scales every wave by 0.994 per sample.
// The waves are therefore a decaying response to a bounded excitation, and
// the run ends with a second of silence in which they must die away.
//
//   tractwave_soak SECONDS [SEED]
#include "tractwave.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Parameters are drawn from -5 ... 5 at the widest, so voicing reaches 5 and
// the voiced share 4.5; the largest waves seen in an hour are about 540 (see
// the README). The bound leaves room for unlucky draws, not for growth.
constexpr float kWaveBound = 2000.0f;
constexpr int kRate = 48000;
constexpr int kBlock = kRate / 100;

struct Rng {
  uint64_t s;
  uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
  float uniform(float lo, float hi) {
    return lo + (hi - lo) * static_cast<float>(next() >> 7) * 0x1p-24f;
  }
};

// Mostly the nominal range with a margin; one draw in six goes well outside.
float random_parameter(Rng &rng) {
  return rng.next() % 6 == 0 ? rng.uniform(-5.0f, 5.0f)
                             : rng.uniform(-0.2f, 1.2f);
}

template <size_t N> float peak(const std::array<float, N> &a, bool &finite) {
  float m = 0.0f;
  for (float x : a) {
    finite = finite && std::isfinite(x);
    m = std::fmax(m, std::fabs(x));
  }
  return m;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2 || std::atof(argv[1]) <= 0.0) {
    std::fprintf(stderr, "usage: tractwave_soak SECONDS [SEED]\n");
    return 2;
  }
  const long blocks = std::lround(std::atof(argv[1]) * 100.0);
  Rng rng{argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1};

  std::array<float, TRACTWAVE_ORAL_SECTIONS> R{}, L{};
  std::array<float, TRACTWAVE_NASAL_SECTIONS> nasal_R{}, nasal_L{};
  float phase = 0.0f;
  std::array<float, TRACTWAVE_NUM_PARAMETERS> params;
  std::array<float, kBlock> out;
  float max_out = 0.0f, max_wave = 0.0f;

  const auto start = std::chrono::steady_clock::now();
  for (long b = 0; b < blocks; ++b) {
    for (float &p : params)
      p = random_parameter(rng);
    synthesize_waveguide_chunk(kBlock, params.data(), R.data(), L.data(),
                               nasal_R.data(), nasal_L.data(), &phase,
                               out.data());
    bool finite = std::isfinite(phase);
    const float block_out = peak(out, finite);
    const float block_wave =
        std::fmax(std::fmax(peak(R, finite), peak(L, finite)),
                  std::fmax(peak(nasal_R, finite), peak(nasal_L, finite)));
    max_out = std::fmax(max_out, block_out);
    max_wave = std::fmax(max_wave, block_wave);
    if (!finite || block_out > 0.95f || block_wave > kWaveBound) {
      std::fprintf(stderr,
                   "block %ld (%.2f s): %s, max |out| %g, max |wave| %g\n", b,
                   b / 100.0, finite ? "out of bounds" : "not finite",
                   block_out, block_wave);
      return 1;
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();

  // With no excitation the tube must come to rest.
  params.fill(0.5f);
  params[TRACTWAVE_VOICING] = 0.0f;
  params[TRACTWAVE_BREATHINESS] = 0.0f;
  float rest_out = 0.0f, rest_wave = 0.0f;
  for (int b = 0; b < 100; ++b) {
    synthesize_waveguide_chunk(kBlock, params.data(), R.data(), L.data(),
                               nasal_R.data(), nasal_L.data(), &phase,
                               out.data());
    bool finite = true;
    rest_out = peak(out, finite);
    rest_wave =
        std::fmax(std::fmax(peak(R, finite), peak(L, finite)),
                  std::fmax(peak(nasal_R, finite), peak(nasal_L, finite)));
  }
  std::printf("%.0f s of audio in %.1f s: max |out| %.6f, max |wave| %.4f; "
              "after 1 s of silence %g, %g\n",
              blocks / 100.0, wall, max_out, max_wave, rest_out, rest_wave);
  if (!(rest_wave < 1e-4f && rest_out < 1e-4f)) {
    std::fprintf(stderr, "the tube did not come to rest\n");
    return 1;
  }
  return 0;
}
