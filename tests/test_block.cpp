// The block driver: what a block touches, how blocks join, the output bounds,
// and how a bad value is kept from outliving its block.
#include "tw_test.h"

#include <limits>

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

tw::Voice ringing_voice() {
  tw::Voice v;
  for (int k = 0; k < 25; ++k) {
    v.R[k] = 0.01f * k;
    v.L[k] = -0.02f * k;
  }
  v.nasal_R.fill(0.05f);
  v.nasal_L.fill(-0.03f);
  v.phase = 0.25f;
  return v;
}

TEST(BlockDriver, EmptyBlockTouchesNothing) {
  std::vector<float> after_empty, fresh;
  tw::on_fresh_thread([&] {
    tw::Controls c;
    c.amp = 1.0f;
    c.breathiness = 0.7f;
    for (int n : {0, -1, -100000}) {
      tw::Voice v = ringing_voice();
      const tw::Voice before = v;
      float sentinel[4] = {7.0f, 7.0f, 7.0f, 7.0f};
      step_waveguide_block(n, c.f0, c.amp, c.mix, c.breathiness, c.oral.data(),
                           c.nasal.data(), c.velum, c.glottal, c.lip, c.nostril,
                           v.R.data(), v.L.data(), v.nasal_R.data(),
                           v.nasal_L.data(), &v.phase, sentinel, c.rate);
      EXPECT_TRUE(v == before) << "n = " << n;
      for (float x : sentinel)
        EXPECT_EQ(x, 7.0f) << "n = " << n;
    }
    // The thread's record was not touched either: the next real block is
    // what a fresh thread renders.
    tw::Voice v;
    after_empty = v.render(tw::uniform_params(0.5f), 256);
  });
  tw::on_fresh_thread([&] {
    tw::Voice v;
    fresh = v.render(tw::uniform_params(0.5f), 256);
  });
  EXPECT_EQ(after_empty, fresh);
}

TEST(BlockDriver, SilenceInGivesExactSilenceOut) {
  tw::on_fresh_thread([] {
    tw::Controls c(0.3f); // narrow enough for turbulence, were there any
    c.amp = 0.0f;
    c.breathiness = 0.0f;
    c.velum = 0.4f;
    tw::Voice v;
    for (float x : c.step(v, 4800))
      ASSERT_EQ(x, 0.0f);
    for (float x : v.R)
      EXPECT_EQ(x, 0.0f);
    for (float x : v.nasal_L)
      EXPECT_EQ(x, 0.0f);
  });
}

TEST(BlockDriver, TurbulenceReachesTheLipsFiveSamplesLater) {
  tw::on_fresh_thread([] {
    tw::Params p = tw::uniform_params(0.5f);
    p[TRACTWAVE_VOICING] = 0.0f;
    p[TRACTWAVE_TONGUE_TIP] = 0.1f; // a constriction at section 20
    tw::Voice v;
    const std::vector<float> out = v.render(p, 32);
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(out[i], 0.0f) << i;
    EXPECT_NE(out[5], 0.0f);
  });
}

TEST(BlockDriver, SplittingABlockChangesNothing) {
  const tw::Params p = tw::uniform_params(0.5f);
  std::vector<float> whole;
  tw::Voice whole_voice;
  tw::on_fresh_thread([&] { whole = whole_voice.render(p, 1000); });
  for (int first : {1, 25, 480, 999}) {
    std::vector<float> joined;
    tw::Voice v;
    tw::on_fresh_thread([&] {
      joined = v.render(p, first);
      const std::vector<float> rest = v.render(p, 1000 - first);
      joined.insert(joined.end(), rest.begin(), rest.end());
    });
    EXPECT_EQ(joined, whole) << "split after " << first;
    EXPECT_TRUE(v == whole_voice) << "split after " << first;
  }
}

TEST(BlockDriver, OutputStaysWithinBoundsAndSaturatesAtThem) {
  tw::on_fresh_thread([] {
    tw::Controls c;
    c.amp = 1e30f;
    c.breathiness = 1e30f;
    tw::Voice v;
    float peak = 0.0f;
    for (float x : c.step(v, 4000)) {
      ASSERT_TRUE(std::isfinite(x));
      ASSERT_LE(std::fabs(x), 0.95f);
      peak = std::fmax(peak, std::fabs(x));
    }
    EXPECT_EQ(peak, 0.95f);
  });
}

// A block with a non-finite input spoils its own output and the caller's
// arrays, but the thread's record is restored, so a voice started afresh on
// the same thread renders exactly what it would on a new thread.
TEST(BlockDriver, BadValueDoesNotOutliveItsBlock) {
  std::vector<float> fresh;
  tw::on_fresh_thread([&] {
    tw::Voice v;
    fresh = v.render(tw::uniform_params(0.5f), 512);
  });

  struct Bad {
    const char *what;
    int index;
    float value;
  };
  const Bad cases[] = {{"NaN pitch", TRACTWAVE_PITCH, kNaN},
                       {"NaN pharynx", TRACTWAVE_PHARYNX, kNaN},
                       {"infinite voicing", TRACTWAVE_VOICING, kInf},
                       {"infinite breathiness", TRACTWAVE_BREATHINESS, kInf},
                       {"NaN velum", TRACTWAVE_VELUM, kNaN}};
  for (const Bad &bad : cases) {
    tw::on_fresh_thread([&] {
      tw::Params p = tw::uniform_params(0.5f);
      tw::Voice spoiled;
      spoiled.render(p, 100);
      p[bad.index] = bad.value;
      const std::vector<float> out = spoiled.render(p, 100);
      bool any_bad = false;
      for (float x : out)
        any_bad = any_bad || !std::isfinite(x);
      EXPECT_TRUE(any_bad) << bad.what << " should show in its own block";

      tw::Voice next;
      EXPECT_EQ(next.render(tw::uniform_params(0.5f), 512), fresh) << bad.what;
    });
  }
}

} // namespace

namespace {

// A voice that falls silent must decay to exact zero, not linger in
// subnormal numbers that slow some processors many times over and never
// reach zero.
TEST(BlockDriver, SilenceAfterSpeechReachesExactZeroWithinASecond) {
  tw::on_fresh_thread([] {
    tw::Params p = tw::uniform_params(0.5f);
    p[TRACTWAVE_VELUM] = 0.8f;      // ring the nasal tube too
    p[TRACTWAVE_TONGUE_TIP] = 0.2f; // and the turbulence path
    tw::Voice v;
    v.render(p, 24000);
    p[TRACTWAVE_VOICING] = 0.0f;
    p[TRACTWAVE_BREATHINESS] = 0.0f;
    std::vector<float> out;
    for (int block = 0; block < 100; ++block)
      out = v.render(p, 480);
    for (float x : out)
      ASSERT_EQ(x, 0.0f);
    for (int k = 0; k < 25; ++k) {
      EXPECT_EQ(v.R[k], 0.0f) << k;
      EXPECT_EQ(v.L[k], 0.0f) << k;
    }
    for (int k = 0; k < 16; ++k) {
      EXPECT_EQ(v.nasal_R[k], 0.0f) << k;
      EXPECT_EQ(v.nasal_L[k], 0.0f) << k;
    }
    // The thread's smoother history and end filters are empty too: a new
    // silent voice on this thread hears nothing of the old one.
    tw::Voice fresh;
    for (float x : fresh.render(p, 480))
      ASSERT_EQ(x, 0.0f);
  });
}

} // namespace
