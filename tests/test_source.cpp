// The excitation: glottal pulse, phase, noise generator and its filters, and
// turbulence at the constriction. Each case watches the first sections of a
// tube with no reflections, where the excitation enters.
#include "tw_test.h"

#include <cstdint>
#include <limits>

namespace {

constexpr double kPass = 0.82 * 0.994;
constexpr double kPi = 3.14159265358979;

// Aspiration noise value of one generator state.
double noise_of(uint32_t state) {
  return (double(state & 0x7FFFFFFFu) / 1073741824.0 - 1.0) * 0.25;
}

TEST(Source, NoiseGeneratorStartsFromTheFixedSeed) {
  const uint32_t states[3] = {0x87985AA5u, 0x155B24A3u, 0x4820F4C4u};
  EXPECT_TRUE(tw::near_rel(noise_of(states[0]), -0.2203315, 1e-6));
  EXPECT_TRUE(tw::near_rel(noise_of(states[1]), -0.1665780, 1e-6));
  EXPECT_TRUE(tw::near_rel(noise_of(states[2]), 0.0317529, 1e-5));

  tw::on_fresh_thread([&] {
    // Unvoiced (mix 0), aspiration gain 1, wide tube: the glottis end carries
    // exactly the twice low-passed noise.
    tw::Controls c;
    c.f0 = 0.0f;
    c.amp = 1.0f;
    c.mix = 0.0f;
    c.breathiness = 1.0f;
    c.glottal = 0.0f;
    tw::Voice v;
    double lp1 = 0.0, lp2 = 0.0, prev_lp2 = 0.0;
    for (uint32_t s : states) {
      lp1 += (noise_of(s) - lp1) * 0.35;
      lp2 += (lp1 - lp2) * 0.35;
      c.step(v, 1);
      EXPECT_TRUE(
          tw::near_rel(v.R[0], (lp2 * 0.82 + prev_lp2 * 0.18) * 0.994, 1e-5));
      prev_lp2 = lp2;
    }
  });
}

TEST(Source, GlottalPulseOpensWithRaisedCosineAndClosesWithDecay) {
  struct Case {
    float phase;
    double pulse;
  };
  const double t = (0.85 - 0.7) / 0.3;
  const Case cases[] = {
      {0.0f, 0.0},
      {0.35f, 0.5},
      {0.7f, 1.0}, // the closing branch, at its start
      {0.85f, std::exp(-3.0 * t) * std::cos(t * kPi * 0.5)},
      {0.999f, std::exp(-3.0 * 0.9966667) * std::cos(0.9966667 * kPi * 0.5)}};
  for (const Case &k : cases) {
    tw::on_fresh_thread([&] {
      // f0 = 0 holds the phase; fully voiced, so the glottis end carries the
      // DC-blocked flow, which on the first sample is 0.85 x the pulse.
      tw::Controls c;
      c.f0 = 0.0f;
      c.amp = 1.0f;
      c.glottal = 0.0f;
      tw::Voice v;
      v.phase = k.phase;
      c.step(v, 1);
      EXPECT_EQ(v.phase, k.phase);
      EXPECT_TRUE(tw::near_rel(v.R[0], k.pulse * 0.85 * kPass, 1e-4, 1e-9))
          << "phase " << k.phase;
    });
  }
}

TEST(Source, SilentGlottisOnlyReflects) {
  tw::on_fresh_thread([] {
    tw::Controls c;
    c.amp = 0.0f;
    c.breathiness = 0.0f; // aspiration gain 0.2, but scaled by amp
    tw::Voice v;
    v.L[0] = 1.0f;
    c.step(v, 1);
    EXPECT_TRUE(tw::near_rel(v.R[0], 0.75 * kPass, 1e-6));
  });
}

TEST(Source, NegativePitchRunsThePhaseBackwards) {
  tw::on_fresh_thread([] {
    tw::Controls c;
    c.f0 = -300.0f;
    c.amp = 1.0f;
    tw::Voice v;
    for (int block = 0; block < 400; ++block) {
      const std::vector<float> out = c.step(v, 7);
      ASSERT_LE(v.phase, 0.0f);
      ASSERT_GT(v.phase, -1.0f);
      for (float x : out)
        ASSERT_TRUE(std::isfinite(x));
    }
  });
}

TEST(Source, SampleRatesAtOrBelow8000MeanTheDefault) {
  const tw::Params p = tw::uniform_params(0.5f);
  auto render = [&](float rate) {
    tw::Voice v;
    std::vector<float> out;
    tw::on_fresh_thread([&] { out = v.render(p, 300, rate); });
    return std::make_pair(out, v);
  };
  const auto reference = render(48000.0f);
  for (float rate :
       {8000.0f, 0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN()}) {
    const auto r = render(rate);
    EXPECT_EQ(r.first, reference.first) << "rate " << rate;
    EXPECT_TRUE(r.second == reference.second) << "rate " << rate;
  }
  // Just above the threshold the given rate is used: 300 samples of 260 Hz.
  const auto above = render(8001.0f);
  EXPECT_NEAR(above.second.phase, std::fmod(300.0 * 260.0 / 8001.0, 1.0), 1e-4);
  EXPECT_NE(above.first, reference.first);
}

// Where turbulence enters: the one oral section that is non-zero after a
// single noisy sample with a silent glottis, or -1 if none is.
int turbulence_section(const tw::Controls &shape, float *value = nullptr) {
  int found = -1;
  tw::on_fresh_thread([&] {
    tw::Controls c = shape;
    c.amp = 0.0f;
    c.breathiness = 1.0f;
    tw::Voice v;
    c.step(v, 1);
    for (int k = 0; k < 25; ++k) {
      if (v.R[k] != 0.0f) {
        EXPECT_EQ(found, -1) << "turbulence in more than one section";
        EXPECT_EQ(v.L[k], v.R[k]);
        found = k;
        if (value)
          *value = v.R[k];
      }
    }
  });
  return found;
}

TEST(Source, TurbulenceEntersAtTheNarrowestSectionPreferringTheTip) {
  const double lp2 = noise_of(0x87985AA5u) * 0.35 * 0.35;
  float value = 0.0f;

  tw::Controls uniform(0.5f); // every section ties: the tip wins
  EXPECT_EQ(turbulence_section(uniform, &value), 20);
  EXPECT_TRUE(tw::near_rel(value, lp2 * (1.0 - 0.5 / 0.75) * kPass, 1e-5));

  tw::Controls two(1.0f);
  two.oral[12] = 0.5f;
  two.oral[15] = 0.5f;
  two.oral[2] = 0.1f; // sections below 4 are never searched
  EXPECT_EQ(turbulence_section(two), 12);

  two.oral[20] = 0.5f;
  EXPECT_EQ(turbulence_section(two), 20);

  tw::Controls narrowest(1.0f);
  narrowest.oral[7] = 0.05f;
  narrowest.oral[20] = 0.5f;
  EXPECT_EQ(turbulence_section(narrowest, &value), 7);
  EXPECT_TRUE(tw::near_rel(value, lp2 * (1.0 - 0.05 / 0.75) * kPass, 1e-5));

  tw::Controls open(0.75f); // not strictly narrower than 0.75
  EXPECT_EQ(turbulence_section(open), -1);
}

TEST(Source, NegativeBreathinessInjectsInvertedTurbulence) {
  std::vector<float> pos, neg;
  tw::Voice vp, vn;
  tw::Controls c(0.4f);
  c.amp = 0.0f; // only turbulence excites the tube
  tw::on_fresh_thread([&] {
    c.breathiness = 1.0f;
    pos = c.step(vp, 400);
  });
  tw::on_fresh_thread([&] {
    c.breathiness = -1.0f;
    neg = c.step(vn, 400);
  });
  bool any = false;
  for (int i = 0; i < 400; ++i) {
    EXPECT_EQ(neg[i], -pos[i]) << i;
    any = any || pos[i] != 0.0f;
  }
  EXPECT_TRUE(any);
  for (int k = 0; k < 25; ++k)
    EXPECT_EQ(vn.R[k], -vp.R[k]);
}

} // namespace
