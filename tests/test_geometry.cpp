// The tract shape a parameter vector produces.
#include "tw_test.h"

#include <limits>

namespace {

const float kRestingOral[25] = {0.6f, 0.7f, 0.8f, 1.0f, 1.2f, 1.4f, 1.6f,
                                1.8f, 2.0f, 2.1f, 2.1f, 2.0f, 1.9f, 1.9f,
                                2.0f, 2.1f, 2.2f, 2.1f, 1.9f, 1.7f, 1.6f,
                                1.6f, 1.8f, 2.0f, 2.0f};
const float kRestingNasal[16] = {1.2f, 1.4f, 1.6f, 1.8f, 1.9f, 2.0f,
                                 2.0f, 1.9f, 1.8f, 1.7f, 1.5f, 1.3f,
                                 1.1f, 0.9f, 0.7f, 0.5f};

struct Geometry {
  float oral[25];
  float nasal[16];
  float velum;
};

// The outputs start as NaN so that a section the function forgets to write
// shows up.
Geometry shape(const tw::Params &p) {
  Geometry g;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float &x : g.oral)
    x = nan;
  for (float &x : g.nasal)
    x = nan;
  g.velum = nan;
  compute_diameters_from_dofs(p.data(), g.oral, g.nasal, &g.velum);
  return g;
}

void expect_oral(const Geometry &g, const float (&expected)[25]) {
  for (int k = 0; k < 25; ++k)
    EXPECT_TRUE(tw::near_rel(g.oral[k], expected[k], 1e-5)) << "section " << k;
}

TEST(TractGeometry, NeutralShapeIsTheRestingTractWithLipBlend) {
  const Geometry g = shape(tw::uniform_params(0.5f));
  float expected[25];
  for (int k = 0; k < 25; ++k)
    expected[k] = kRestingOral[k];
  expected[21] = 1.475f;
  expected[22] = 1.45f;
  expected[23] = 1.325f;
  expected[24] = 1.1f;
  expect_oral(g, expected);
  // Sections 0 to 20 get offsets of exactly zero, so they are bit-exact.
  for (int k = 0; k <= 20; ++k)
    EXPECT_EQ(g.oral[k], kRestingOral[k]) << "section " << k;
  EXPECT_TRUE(tw::near_rel(g.velum, 0.275, 1e-6));
}

TEST(TractGeometry, AllZeroAndAllOneKnownShapes) {
  const float zeros[25] = {0.4f,   0.9f,  1.0f,  1.2f,  1.4f,  1.8f,  2.0f,
                           2.2f,   2.4f,  2.15f, 1.75f, 1.65f, 1.55f, 2.35f,
                           2.45f,  2.55f, 2.65f, 2.55f, 0.85f, 0.2f,  0.1f,
                           0.075f, 0.9f,  0.5f,  0.05f};
  const float ones[25] = {0.8f,    0.5f,  0.6f,  0.8f,  1.0f,  1.0f,  1.2f,
                          1.4f,    1.6f,  2.05f, 2.45f, 2.35f, 2.25f, 1.45f,
                          1.55f,   1.65f, 1.75f, 1.65f, 1.7f,  1.95f, 1.85f,
                          1.9375f, 2.0f,  2.15f, 2.2f};
  const Geometry g0 = shape(tw::uniform_params(0.0f));
  expect_oral(g0, zeros);
  EXPECT_EQ(g0.oral[24], 0.05f) << "a closed lip is clamped up to 0.05";
  EXPECT_EQ(g0.velum, 0.0f);

  const Geometry g1 = shape(tw::uniform_params(1.0f));
  expect_oral(g1, ones);
  EXPECT_TRUE(tw::near_rel(g1.velum, 0.55, 1e-6));
}

TEST(TractGeometry, NasalProfileIsFixedWhateverTheParameters) {
  for (float v : {-3.0f, 0.0f, 0.5f, 1.0f, 7.0f}) {
    const Geometry g = shape(tw::uniform_params(v));
    for (int k = 0; k < 16; ++k)
      EXPECT_EQ(g.nasal[k], kRestingNasal[k])
          << "value " << v << " section " << k;
  }
}

TEST(TractGeometry, TongueTipStepsAtThreshold) {
  tw::Params p = tw::uniform_params(0.5f);
  p[TRACTWAVE_TONGUE_TIP] = 0.35f;
  const Geometry at = shape(p);
  p[TRACTWAVE_TONGUE_TIP] = std::nextafter(0.35f, 0.0f);
  const Geometry below = shape(p);
  for (int k = 18; k <= 20; ++k) {
    // At 0.35 the gentle branch gives -0.075; just below, the closure branch
    // starts from an offset of almost zero.
    EXPECT_TRUE(tw::near_rel(at.oral[k], kRestingOral[k] - 0.075, 1e-5)) << k;
    EXPECT_TRUE(tw::near_rel(below.oral[k], kRestingOral[k], 1e-5)) << k;
  }
  p[TRACTWAVE_TONGUE_TIP] = 0.0f;
  const Geometry closed = shape(p);
  EXPECT_TRUE(tw::near_rel(closed.oral[18], 1.9 - 1.5, 1e-5));
  EXPECT_TRUE(tw::near_rel(closed.oral[20], 1.6 - 1.5, 1e-5));
}

TEST(TractGeometry, ExtremeValuesExtrapolateThenClamp) {
  tw::Params p = tw::uniform_params(0.5f);
  p[TRACTWAVE_LIPS] = 2.1f;    // 4.62 at the lips, above the ceiling
  p[TRACTWAVE_PHARYNX] = 2.0f; // -1.2 on sections 1 to 9
  p[TRACTWAVE_VELUM] = -1.0f;  // the velum opening is not clamped
  const Geometry g = shape(p);
  EXPECT_EQ(g.oral[24], 4.5f);
  EXPECT_TRUE(tw::near_rel(g.oral[23], 0.25 * 2.0 + 0.75 * 4.62, 1e-5));
  EXPECT_EQ(g.oral[1], 0.05f); // 0.7 - 1.2, clamped
  EXPECT_TRUE(tw::near_rel(g.oral[8], 2.0 - 1.2, 1e-5));
  EXPECT_TRUE(tw::near_rel(g.velum, -0.55, 1e-6));
}

TEST(TractGeometry, NotANumberPassesTheClampUnchanged) {
  tw::Params p = tw::uniform_params(0.5f);
  p[TRACTWAVE_LARYNX] = std::numeric_limits<float>::quiet_NaN();
  const Geometry g = shape(p);
  for (int k = 0; k <= 4; ++k)
    EXPECT_TRUE(std::isnan(g.oral[k])) << k;
  for (int k = 5; k <= 20; ++k)
    EXPECT_EQ(g.oral[k], kRestingOral[k]) << k;
}

} // namespace
