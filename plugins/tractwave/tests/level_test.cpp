// Level and envelopes as a host meets them: one note and a chord at every
// rate, the loudest settings there are, random automation, long releases.
#include "analysis.h"
#include "instrument.h"
#include "lilv_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace {

using namespace tw_lv2;

World &world() {
  static World loaded;
  return loaded;
}

double dbfs(double amplitude) { return 20.0 * std::log10(amplitude); }

// Peaks after the attack: a held middle C, and C-E-G struck together.
TEST(Level, OneNoteNearMinus6AndAChordBelowMinus1AtEveryRate) {
  std::printf(
      "rate      one note  chord (peak dBFS, defaults, velocity 127)\n");
  for (double rate :
       {22050.0, 32000.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0}) {
    Instance one(world(), rate);
    ASSERT_TRUE(one.ok());
    one.note_on(0, 60);
    const std::vector<float> a = one.run(one.seconds(1.0));
    Instance chord(world(), rate);
    for (int note : {60, 64, 67})
      chord.note_on(0, note);
    const std::vector<float> b = chord.run(chord.seconds(1.0));
    const double single = dbfs(peak(a, 0, a.size()));
    const double three = dbfs(peak(b, 0, b.size()));
    std::printf("%6.0f   %6.1f  %6.1f\n", rate, single, three);
    EXPECT_NEAR(single, -6.0, 2.0) << rate;
    EXPECT_LE(three, -1.0) << rate;
  }
}

// The loudest shapes the controls allow, all voices at once, full gain.
TEST(Level, NothingTheControlsAllowExceedsFullScale) {
  const std::vector<std::map<std::string, float>> settings = {
      {{"lips", 0.0f}},
      {{"velum", 1.0f}, {"lips", 0.0f}},
      {{"gain", 48.0f}},
      {{"gain", 48.0f}, {"lips", 0.0f}, {"voicing", 1.0f}},
      {{"gain", 48.0f}, {"breathiness", 1.0f}, {"tongue_tip", 0.0f}},
  };
  for (double rate : {22050.0, 48000.0, 192000.0}) {
    for (const auto &s : settings) {
      Instance inst(world(), rate);
      inst.set_all(s);
      const int64_t off = inst.seconds(0.5);
      for (int note = 36; note < 36 + 16 * 5; note += 5) {
        inst.note_on(0, note);
        inst.note_off(off, note);
      }
      const std::vector<float> x = inst.run(off + inst.seconds(0.3));
      EXPECT_LE(peak(x, 0, x.size()), 1.0) << rate;
      // However hard the limiter worked, the default 0.2 s release still
      // ends in exact zeros.
      EXPECT_EQ(peak(x, off + inst.seconds(0.201), x.size()), 0.0) << rate;
    }
  }
}

// Every control moved at random every block (out of range too), notes,
// bends, pedal and controllers at random frames, blocks of random sizes.
TEST(Level, RandomAutomationStaysWithinFullScale) {
  const char *const symbols[] = {
      "voicing",   "pharynx", "tongue_body", "tongue_tip",  "larynx",
      "voice_mix", "velum",   "lips",        "breathiness", "polyphony",
      "attack",    "release", "glide",       "bend_range",  "gain"};
  std::mt19937 random(18);
  double worst = 0.0;
  for (double rate : {22050.0, 48000.0, 96000.0, 192000.0}) {
    Instance inst(world(), rate);
    const int64_t total = inst.seconds(4.0);
    double loudest = 0.0;
    while (inst.now() < total) {
      const int block = 1 + static_cast<int>(random() % 1024);
      for (const char *symbol : symbols)
        if (random() % 4 == 0)
          inst.set(symbol,
                   std::uniform_real_distribution<float>(-0.5f, 1.5f)(random) *
                       (std::string(symbol) == "gain"        ? 60.0f
                        : std::string(symbol) == "polyphony" ? 16.0f
                        : std::string(symbol) == "release"   ? 0.5f
                                                             : 1.0f));
      for (int e = random() % 6; e > 0; --e) {
        const int64_t at = inst.now() + random() % block;
        const int kind = random() % 5;
        if (kind < 2)
          inst.note_on(at, 24 + random() % 90, 1 + random() % 127);
        else if (kind == 2)
          inst.note_off(at, 24 + random() % 90);
        else if (kind == 3)
          inst.bend(at, random() % 16384);
        else
          inst.control(at, random() % 2 ? 64 : 1 + random() % 20,
                       random() % 128);
      }
      const std::vector<float> x = inst.run(block, block);
      for (float v : x)
        ASSERT_TRUE(std::isfinite(v));
      loudest = std::max(loudest, peak(x, 0, x.size()));
    }
    std::printf("random automation at %.0f Hz: peak %.4f (%.2f dBFS)\n", rate,
                loudest, dbfs(loudest));
    worst = std::max(worst, loudest);
  }
  EXPECT_LE(worst, 1.0);
}

// A long release falls to exact silence along its line: nothing is left to
// drop at its end (a level carried in steps of a float drifts, then snaps).
TEST(Envelope, LongReleasesLandWithoutASnap) {
  for (double rate : {96000.0, 192000.0}) {
    Instance inst(world(), rate);
    inst.set("release", 10.0f);
    inst.note_on(0, 57);
    const int64_t off = inst.seconds(0.5);
    inst.note_off(off, 57);
    const std::vector<float> x = inst.run(off + inst.seconds(10.2), 4096);
    const double held = peak(x, inst.seconds(0.2), off);
    const size_t end = end_of_sound(x);
    const double tail = peak(x, end - inst.seconds(0.01), end);
    std::printf("10 s release at %.0f Hz: exact zero %.4f s after note-off, "
                "last 10 ms at %.2g of the held level\n",
                rate, (static_cast<double>(end) - off) / rate, tail / held);
    EXPECT_NEAR((static_cast<double>(end) - off) / rate, 10.0, 1e-3);
    // The line is at 0.001 of the level in its last 10 ms.
    EXPECT_LT(tail / held, 0.003) << rate;
  }
}

// The ramp under every envelope and glide, on its own: the longest attack at
// the highest rate the plugin takes is on its line all the way.
TEST(Envelope, RampIsOnItsLineAtEverySample) {
  for (double rate : {192000.0, 768000.0}) {
    const int n = static_cast<int>(5.0 * rate);
    tractwave_lv2::Ramp ramp;
    ramp.jump(0.0f);
    ramp.go(1.0f, n);
    double error = 0.0;
    for (int i = 1; i <= n; ++i) {
      const double exact = static_cast<double>(i) / n;
      error = std::max(error, std::fabs(ramp.next() - exact));
    }
    std::printf("5 s ramp at %.0f Hz: largest error %.2g\n", rate, error);
    EXPECT_LT(error, 1e-5) << rate;
  }
}

} // namespace
