// The speaker's two DSP parts on their own: the resampler (passband,
// stopband, signal-to-noise) and the output stage's filters (the low cut,
// the formant bells, the noise colouring), with sines through each.
#include "output_stage.h"
#include "resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using tw::speech::Colour;
using tw::speech::Controls;
using tw::speech::OutputStage;
using tw::speech::Resampler;

constexpr double kPi = 3.14159265358979323846;

// Amplitude of the sine at `cycles` per sample that fits x best, and the
// RMS of what is left.
struct Fit {
  double amplitude, residual;
};
Fit fit_sine(const std::vector<float> &x, size_t from, double cycles) {
  double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
  for (size_t i = from; i < x.size(); ++i) {
    const double s = sin(2 * kPi * cycles * i), c = cos(2 * kPi * cycles * i);
    ss += s * s;
    cc += c * c;
    sc += s * c;
    xs += x[i] * s;
    xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double r = 0;
  for (size_t i = from; i < x.size(); ++i) {
    const double e =
        x[i] - a * sin(2 * kPi * cycles * i) - b * cos(2 * kPi * cycles * i);
    r += e * e;
  }
  return {std::hypot(a, b),
          std::sqrt(r / static_cast<double>(x.size() - from))};
}

// A unit sine at hz through a resampler from in_rate to out_rate.
std::vector<float> resample_sine(double in_rate, double out_rate, double hz,
                                 int outputs) {
  Resampler r;
  EXPECT_TRUE(r.init(in_rate, out_rate, 64));
  std::vector<float> out;
  int64_t pushed = 0;
  float block[64];
  while (static_cast<int>(out.size()) < outputs) {
    while (!r.ready()) {
      for (int i = 0; i < 64; ++i)
        block[i] =
            static_cast<float>(sin(2 * kPi * hz * (pushed + i) / in_rate));
      r.push(block, 64);
      pushed += 64;
    }
    out.push_back(r.next());
  }
  r.release();
  return out;
}

double db(double x) { return 20.0 * std::log10(x); }

TEST(Resampler, PassbandIsFlatAndClean) {
  // The female voice's engine rate to 48 kHz, the child's to 16 kHz, and up
  // to 96 kHz.
  struct Case {
    double in, out;
  };
  for (const Case c :
       {Case{56160, 48000}, Case{62400, 16000}, Case{56160, 96000}}) {
    const double lower = std::min(c.in, c.out);
    for (const double share : {0.02, 0.2, 0.4}) {
      const double hz = share * lower;
      const std::vector<float> y = resample_sine(c.in, c.out, hz, 20000);
      const Fit f = fit_sine(y, 2000, hz / c.out);
      // Flat to the middle of the band; at 0.8 of the Nyquist frequency the
      // transition towards the cut-off (0.9) has begun.
      EXPECT_NEAR(db(f.amplitude), share < 0.3 ? 0.0 : -0.33,
                  share < 0.3 ? 0.02 : 0.1)
          << c.in << " to " << c.out << " at " << hz << " Hz";
      // Single precision and a 256-phase table: better than 80 dB.
      EXPECT_LT(db(f.residual / f.amplitude), -80.0)
          << c.in << " to " << c.out << " at " << hz << " Hz";
    }
  }
}

TEST(Resampler, RejectsWhatWouldAlias) {
  // Above the output's Nyquist frequency, below the input's: nothing of it
  // may fold back into the output.
  for (const double hz : {26000.0, 27500.0}) {
    const std::vector<float> y = resample_sine(56160, 48000, hz, 20000);
    double sum = 0;
    for (size_t i = 2000; i < y.size(); ++i)
      sum += static_cast<double>(y[i]) * y[i];
    const double rms = std::sqrt(sum / (y.size() - 2000)) * std::sqrt(2.0);
    EXPECT_LT(db(rms), -70.0) << hz;
  }
}

// The gain (dB) of the output stage for a unit sine at hz (48 kHz, the
// adult male's engine rate), in sub-blocks of 48 as the speaker runs it.
double stage_gain(const Controls &c, double hz) {
  OutputStage stage;
  std::vector<float> y(48000);
  for (size_t i = 0; i < y.size(); ++i)
    y[i] = static_cast<float>(sin(2 * kPi * hz * i / 48000.0));
  for (size_t at = 0; at < y.size(); at += 48)
    stage.run(c, y.data() + at, 48);
  return db(fit_sine(y, 9600, hz / 48000.0).amplitude);
}

Controls plain() {
  Controls c{};
  c.sounding = true;
  c.colour = Colour::flat;
  c.colour_corner = 0.05f;
  c.colour_q = 0.707f;
  c.formant[0] = 500.0f / 48000;
  c.formant[1] = 1500.0f / 48000;
  c.formant[2] = 2500.0f / 48000;
  return c;
}

TEST(OutputStage, CutsTheLowsAndPassesSpeech) {
  const Controls c = plain();
  EXPECT_LT(stage_gain(c, 30.0), -18.0);
  EXPECT_NEAR(stage_gain(c, 110.0), -2.2, 0.5);
  EXPECT_NEAR(stage_gain(c, 1000.0), 0.0, 0.3);
  EXPECT_NEAR(stage_gain(c, 6000.0), 0.0, 0.1);
}

TEST(OutputStage, SharpensTheFormantsItIsGiven) {
  Controls c = plain();
  c.sharpen = 1.0f;
  // The bells add to one another a little where they overlap.
  EXPECT_NEAR(stage_gain(c, 1500.0), tw::speech::kSharpenDb[1], 1.0);
  EXPECT_NEAR(stage_gain(c, 2500.0), tw::speech::kSharpenDb[2], 1.0);
  EXPECT_LT(std::fabs(stage_gain(c, 6000.0)), 1.0);
  // Half the sharpening, half the gain in dB.
  c.sharpen = 0.5f;
  EXPECT_NEAR(stage_gain(c, 1500.0), 0.5 * tw::speech::kSharpenDb[1], 1.0);
}

TEST(OutputStage, ColoursNoiseByItsFilter) {
  Controls c = plain();
  c.colour_amount = 1.0f;
  c.colour = Colour::high_pass;
  c.colour_corner = 3500.0f / 48000;
  EXPECT_LT(stage_gain(c, 500.0), -30.0);
  EXPECT_NEAR(stage_gain(c, 9000.0), 0.0, 0.5);
  c.colour = Colour::band_pass;
  c.colour_q = 2.5f;
  EXPECT_NEAR(stage_gain(c, 3500.0), 0.0, 0.5);
  EXPECT_LT(stage_gain(c, 700.0), -15.0);
  EXPECT_LT(stage_gain(c, 12000.0), -10.0);
  c.colour = Colour::low_pass;
  c.colour_corner = 1800.0f / 48000;
  c.colour_q = 0.707f;
  EXPECT_NEAR(stage_gain(c, 400.0), 0.0, 0.5);
  EXPECT_LT(stage_gain(c, 9000.0), -25.0);
  // Half coloured: half way between the input and the filtered copy.
  c.colour_amount = 0.5f;
  EXPECT_NEAR(stage_gain(c, 9000.0), db(0.5), 0.5);
}

} // namespace
