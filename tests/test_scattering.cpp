// Wave propagation through the tube: junctions, the velum, the two ends and
// the smoothed write-back. Each case runs on a fresh thread so that the
// smoother's history starts at zero, and with no excitation (amp and
// breathiness zero) so that only the placed wave moves.
#include "tw_test.h"

namespace {

constexpr double kPass = 0.82 * 0.994; // one sample through the smoother
constexpr double kLag = 0.18 * 0.994;  // what the smoother carries over

TEST(Scattering, UniformTubePassesAWaveOneSectionPerSample) {
  for (int k = 1; k <= 23; ++k) {
    tw::on_fresh_thread([k] {
      tw::Controls c; // every coefficient is zero
      tw::Voice v;
      v.R[k - 1] = 1.0f;
      c.step(v, 1);
      EXPECT_TRUE(tw::near_rel(v.R[k], kPass, 1e-6)) << "section " << k;
      EXPECT_EQ(v.R[k - 1], 0.0f) << "section " << k;
      c.step(v, 1);
      EXPECT_TRUE(tw::near_rel(v.R[k], kLag, 1e-6)) << "section " << k;
      EXPECT_TRUE(tw::near_rel(v.R[k + 1], kPass * kPass, 1e-6)) << k;
      for (float x : v.L)
        EXPECT_EQ(x, 0.0f);
    });
  }
}

TEST(Scattering, JunctionCoefficientIsClampedToPoint92) {
  tw::on_fresh_thread([] {
    tw::Controls c;
    c.oral[5] = 0.05f; // unclamped the coefficient would be -0.99975
    c.oral[6] = 4.5f;
    tw::Voice v;
    v.R[5] = 1.0f;
    c.step(v, 1);
    EXPECT_TRUE(tw::near_rel(v.R[6], 0.08 * kPass, 1e-5));
    EXPECT_TRUE(tw::near_rel(v.L[5], -0.92 * kPass, 1e-5));
  });
}

TEST(Scattering, ClosedTubeSectionsGiveZeroCoefficientNotNaN) {
  tw::on_fresh_thread([] {
    tw::Controls c(0.0f); // every area zero, the velum denominator too
    tw::Voice v;
    v.R[2] = 1.0f;
    v.R[9] = 1.0f;
    const std::vector<float> out = c.step(v, 30);
    for (float x : out)
      EXPECT_TRUE(std::isfinite(x));
    for (float x : v.R)
      EXPECT_TRUE(std::isfinite(x));
  });
}

TEST(Scattering, VelumJunctionSplitsPressureThreeWays) {
  tw::on_fresh_thread([] {
    tw::Controls c; // A9 = A10 = 1
    c.velum = 1.0f; // An = 1
    tw::Voice v;
    v.R[9] = 3.0f; // junction pressure 2 x 3 / 3 = 2
    c.step(v, 1);
    EXPECT_TRUE(tw::near_rel(v.R[10], 2.0 * kPass, 1e-6));
    EXPECT_TRUE(tw::near_rel(v.L[9], -1.0 * kPass, 1e-6));
    EXPECT_TRUE(tw::near_rel(v.nasal_R[0], 2.0 * kPass, 1e-6));
  });
}

TEST(Scattering, ClosedVelumReflectsTheNasalWaveAndIsolatesTheNose) {
  tw::on_fresh_thread([] {
    tw::Controls c;
    c.velum = 0.001f; // at the threshold the velum still counts as closed
    tw::Voice v;
    v.nasal_L[0] = 1.0f;
    c.step(v, 1);
    EXPECT_TRUE(tw::near_rel(v.nasal_R[0], kPass, 1e-6));
    // An area of 1e-6 lets almost nothing into the mouth.
    EXPECT_NEAR(v.R[10], 0.0f, 1e-5f);
    EXPECT_NEAR(v.L[9], 0.0f, 1e-5f);
  });
  // With the velum at zero the nasal tube adds nothing to the sound, however
  // much is ringing in it.
  std::vector<float> plain, nasal_ringing;
  tw::on_fresh_thread([&] {
    tw::Controls c;
    c.amp = 0.5f;
    tw::Voice v;
    plain = c.step(v, 200);
  });
  tw::on_fresh_thread([&] {
    tw::Controls c;
    c.amp = 0.5f;
    tw::Voice v;
    v.nasal_R.fill(0.3f);
    v.nasal_L.fill(-0.2f);
    nasal_ringing = c.step(v, 200);
  });
  EXPECT_EQ(plain, nasal_ringing);
}

// The lips and nostrils reflect through one-pole filters: a wave arriving at
// the end comes back scaled by coefficient x weight at once, and the filter's
// memory brings back a further share one sample later.
TEST(Scattering, EndReflectionsAreOnePoleFilters) {
  struct End {
    const char *name;
    bool nasal;
    double coefficient, weight, memory;
  };
  const End ends[] = {{"lips", false, -0.85, 0.55, 0.45},
                      {"nostrils", true, -0.7, 0.6, 0.4}};
  for (const End &end : ends) {
    tw::on_fresh_thread([&] {
      tw::Controls c;
      tw::Voice v;
      float &arriving = end.nasal ? v.nasal_R[15] : v.R[24];
      const float &returning = end.nasal ? v.nasal_L[15] : v.L[24];
      arriving = 1.0f;
      c.step(v, 1);
      const double first = end.coefficient * end.weight;
      EXPECT_TRUE(tw::near_rel(returning, first * kPass, 1e-5)) << end.name;
      // The arriving wave has moved on, so the next reflection comes from the
      // filter's memory alone, mixed with the smoother's memory of the first.
      c.step(v, 1);
      EXPECT_TRUE(tw::near_rel(
          returning, (first * end.memory * 0.82 + first * 0.18) * 0.994, 1e-5))
          << end.name;
    });
  }
}

} // namespace
