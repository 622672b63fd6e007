// The chunk entry points: parameter mapping and the known answer.
#include "known_answer.h"
#include "tw_test.h"

#include <limits>

namespace {

TEST(EntryPoints, KnownAnswerForTheNeutralVoice) {
  namespace ka = tw::known_answer;
  static_assert(ka::kSampleRate == 48000.0f, "the 48 kHz entry point's answer");
  tw::on_fresh_thread([] {
    tw::Voice v;
    std::vector<float> out(ka::kSamples);
    const tw::Params p = tw::uniform_params(ka::kParameter);
    synthesize_waveguide_chunk(ka::kSamples, p.data(), v.R.data(), v.L.data(),
                               v.nasal_R.data(), v.nasal_L.data(), &v.phase,
                               out.data());
    EXPECT_TRUE(tw::near_rel(v.phase, ka::kPhase, ka::kPhaseTolerance));
    for (int i = 0; i < ka::kSilent; ++i)
      EXPECT_EQ(out[i], 0.0f) << "sample " << i;
    int k = ka::kSilent;
    for (double expected : ka::kAfterSilence) {
      EXPECT_TRUE(tw::near_rel(out[k], expected, ka::kSampleTolerance))
          << "sample " << k;
      ++k;
    }
    for (float x : out)
      EXPECT_LE(std::fabs(x), 0.95f);
  });
}

TEST(EntryPoints, FixedRateEntryIsTheGeneralOneAt48k) {
  tw::Params p = tw::uniform_params(0.5f);
  p[TRACTWAVE_TONGUE_TIP] = 0.2f;
  p[TRACTWAVE_VELUM] = 0.8f;
  std::vector<float> fixed, general;
  tw::Voice vf, vg;
  tw::on_fresh_thread([&] {
    fixed.resize(700);
    synthesize_waveguide_chunk(700, p.data(), vf.R.data(), vf.L.data(),
                               vf.nasal_R.data(), vf.nasal_L.data(), &vf.phase,
                               fixed.data());
  });
  tw::on_fresh_thread([&] { general = vg.render(p, 700, 48000.0f); });
  EXPECT_EQ(fixed, general);
  EXPECT_TRUE(vf == vg);
}

// The chunk functions must drive the engine exactly as an explicit call with
// the documented mapping would.
void expect_mapping(const tw::Params &p, float f0, float amp, float mix) {
  std::vector<float> chunk, explicit_call;
  tw::Voice vc, ve;
  tw::on_fresh_thread([&] { chunk = vc.render(p, 300, 44100.0f); });
  tw::on_fresh_thread([&] {
    tw::Controls c;
    compute_diameters_from_dofs(p.data(), c.oral.data(), c.nasal.data(),
                                &c.velum);
    c.f0 = f0;
    c.amp = amp;
    c.mix = mix;
    c.breathiness = p[TRACTWAVE_BREATHINESS];
    c.rate = 44100.0f;
    explicit_call = c.step(ve, 300);
  });
  EXPECT_EQ(chunk, explicit_call)
      << "f0 " << f0 << " amp " << amp << " mix " << mix;
  EXPECT_TRUE(vc == ve);
}

TEST(EntryPoints, ParametersMapToEngineControls) {
  tw::Params p = tw::uniform_params(0.5f);
  p[TRACTWAVE_PITCH] = 0.0f;
  expect_mapping(p, 70.0f, 0.5f, 0.325f);
  p[TRACTWAVE_PITCH] = 1.0f;
  expect_mapping(p, 450.0f, 0.5f, 0.325f);

  p[TRACTWAVE_VOICING] = 0.009f;
  expect_mapping(p, 450.0f, 0.0f, 0.325f);
  p[TRACTWAVE_VOICING] = 0.01f;
  expect_mapping(p, 450.0f, 0.01f, 0.325f);

  p[TRACTWAVE_BREATHINESS] = 1.0f;
  p[TRACTWAVE_VOICE_MIX] = 1.0f;
  expect_mapping(p, 450.0f, 0.01f, -0.7f * 1.0f + 1.0f);
  p[TRACTWAVE_BREATHINESS] = 2.0f; // the share goes negative, unclamped
  expect_mapping(p, 450.0f, 0.01f, -0.7f * 2.0f + 1.0f);
}

TEST(EntryPoints, OutOfRangeVoiceMixMeansFullyVoiced) {
  auto render = [](float voice_mix) {
    tw::Params p = tw::uniform_params(0.5f);
    p[TRACTWAVE_VOICE_MIX] = voice_mix;
    std::vector<float> out;
    tw::on_fresh_thread([&] {
      tw::Voice v;
      out = v.render(p, 400);
    });
    return out;
  };
  const std::vector<float> voiced = render(1.0f);
  EXPECT_EQ(render(1.1f), voiced);
  EXPECT_EQ(render(-0.1f), voiced);
  EXPECT_EQ(render(std::numeric_limits<float>::quiet_NaN()), voiced);
  EXPECT_NE(render(0.0f), voiced);
}

TEST(EntryPoints, PitchSetsThePhaseIncrement) {
  for (float pitch : {0.0f, 1.0f}) {
    tw::Params p = tw::uniform_params(0.5f);
    p[TRACTWAVE_PITCH] = pitch;
    tw::Voice v;
    tw::on_fresh_thread([&] { v.render(p, 100); });
    const double f0 = pitch == 0.0f ? 70.0 : 450.0;
    EXPECT_NEAR(v.phase, std::fmod(100.0 * f0 / 48000.0, 1.0), 1e-5) << pitch;
  }
}

} // namespace
