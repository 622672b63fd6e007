#include "output_stage.h"

#include <math.h>

namespace tw::speech {

namespace {

constexpr float kPiF = 3.14159265f;

// Coefficients of a trapezoidal state-variable filter (Simper's form, which
// tolerates corners that move between sub-blocks) at `corner` (a fraction
// of the rate) with damping k = 1 / Q.
struct Svf {
  float a1, a2, a3, k;
  Svf(float corner, float k_) : k(k_) {
    const float g = tanf(kPiF * corner);
    a1 = 1.0f / (1.0f + g * (g + k));
    a2 = g * a1;
    a3 = g * a2;
  }
  // One step: the band-pass (v1) and low-pass (v2) outputs.
  void step(float v0, float &s1, float &s2, float &v1, float &v2) const {
    const float v3 = v0 - s2;
    v1 = a1 * s1 + a2 * v3;
    v2 = s2 + a2 * s1 + a3 * v3;
    s1 = 2.0f * v1 - s1;
    s2 = 2.0f * v2 - s2;
  }
};

} // namespace

void OutputStage::run(const Controls &c, float *x, int n) {
  cut_lows(x, n);
  sharpen(c, x, n);
  bring_out_murmur(c, x, n);
  colour(c, x, n);
  add_voice_bar(c, x, n);
  add_floor(c, x, n);
}

void OutputStage::cut_lows(float *x, int n) {

  const Svf f(kLowCutHz / 48000.0f, 1.41421356f); // Butterworth
  float s1 = low_cut[0], s2 = low_cut[1];
  for (int i = 0; i < n; ++i) {
    float v1, v2;
    f.step(x[i], s1, s2, v1, v2);
    x[i] = x[i] - f.k * v1 - v2;
  }
  low_cut[0] = s1;
  low_cut[1] = s2;
}

// Bells of constant bandwidth, side by side: each adds its band-pass of the
// input, scaled by k (A^2 - 1) for a bell of gain A^2, so the gain can ramp
// per sample while the filters' own coefficients change once a sub-block,
// and the three run in parallel rather than one after another.
void OutputStage::sharpen(const Controls &c, float *x, int n) {
  const float target = c.sounding ? c.sharpen : 0.0f;
  const float from = sharpen_gain;
  sharpen_gain = target;
  if (from == 0.0f && target == 0.0f) {
    for (int f = 0; f < 3; ++f)
      ic1[f] = ic2[f] = 0.0f;
    return;
  }
  const float k = 1.0f / kSharpenQ;
  float a1[3], a2[3], a3[3], m[3], step[3];
  for (int f = 0; f < 3; ++f) {
    const float corner = c.formant[f];
    const bool usable = corner > 0.0f && corner < 0.45f;
    const Svf svf(usable ? corner : 0.0f, k);
    a1[f] = svf.a1;
    a2[f] = svf.a2;
    a3[f] = svf.a3;
    const float gain_from = usable ? kSharpenDb[f] * from : 0.0f;
    const float gain_to = usable ? kSharpenDb[f] * target : 0.0f;
    m[f] = k * (powf(10.0f, gain_from / 20.0f) - 1.0f);
    step[f] = (k * (powf(10.0f, gain_to / 20.0f) - 1.0f) - m[f]) /
              static_cast<float>(n);
  }
  float s1[3] = {ic1[0], ic1[1], ic1[2]}, s2[3] = {ic2[0], ic2[1], ic2[2]};
  for (int i = 0; i < n; ++i) {
    const float v0 = x[i];
    float out = v0;
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
    for (int f = 0; f < 3; ++f) {
      m[f] += step[f];
      const float v3 = v0 - s2[f];
      const float v1 = a1[f] * s1[f] + a2[f] * v3;
      const float v2 = s2[f] + a2[f] * s1[f] + a3[f] * v3;
      s1[f] = 2.0f * v1 - s1[f];
      s2[f] = 2.0f * v2 - s2[f];
      out += m[f] * v1;
    }
    x[i] = out;
  }
  for (int f = 0; f < 3; ++f) {
    ic1[f] = s1[f];
    ic2[f] = s2[f];
  }
}

// The engine's turbulence is low-passed before it enters the tube, so a
// fricative or a burst comes out with most of its energy low, whatever its
// place. While one sounds, the output blends towards a filtered copy whose
// kind and corner the place names (a sibilant's high-pass, a velar burst's
// compact band, a labial burst's falling low-pass), the blend ramping
// across each sub-block so that it never steps.
void OutputStage::colour(const Controls &c, float *x, int n) {
  const float target = c.sounding ? c.colour_amount : 0.0f;
  const float from = colour_amount;
  colour_amount = target;
  if (from == 0.0f && target == 0.0f) {
    colour_ic1 = colour_ic2 = 0.0f;
    return;
  }
  const Svf f(c.colour_corner, 1.0f / c.colour_q);
  const float w_step = (target - from) / static_cast<float>(n);
  float w = from, s1 = colour_ic1, s2 = colour_ic2;
  for (int i = 0; i < n; ++i) {
    const float in = x[i];
    float v1, v2;
    f.step(in, s1, s2, v1, v2);
    float y = 0.0f;
    switch (c.colour) {
    case Colour::flat:
      y = in;
      break;
    case Colour::high_pass:
      y = in - f.k * v1 - v2;
      break;
    case Colour::band_pass:
      y = f.k * v1; // unity at the centre
      break;
    case Colour::low_pass:
      y = v2;
      break;
    }
    w += w_step;
    x[i] = in + (y - in) * w;
  }
  colour_ic1 = s1;
  colour_ic2 = s2;
}

// One bell on the murmur's resonance, its gain ramping across the
// sub-block as the sharpening's does.
void OutputStage::bring_out_murmur(const Controls &c, float *x, int n) {
  const float target = c.sounding ? c.murmur : 0.0f;
  const float from = murmur_gain;
  murmur_gain = target;
  if (from == 0.0f && target == 0.0f) {
    murmur_ic1 = murmur_ic2 = 0.0f;
    return;
  }
  const Svf f(kMurmurHz / 48000.0f, 1.0f / kMurmurQ);
  const float m_from = f.k * (powf(10.0f, kMurmurDb * from / 20.0f) - 1.0f);
  const float m_to = f.k * (powf(10.0f, kMurmurDb * target / 20.0f) - 1.0f);
  const float step = (m_to - m_from) / static_cast<float>(n);
  float m = m_from, s1 = murmur_ic1, s2 = murmur_ic2;
  for (int i = 0; i < n; ++i) {
    float v1, v2;
    f.step(x[i], s1, s2, v1, v2);
    m += step;
    x[i] += m * v1;
  }
  murmur_ic1 = s1;
  murmur_ic2 = s2;
}

// The voice bar: the first two harmonics of the voice (a closed tract
// passes little above them, Stevens 1998, ch. 7), at the level asked for,
// ramping across the sub-block.
void OutputStage::add_voice_bar(const Controls &c, float *x, int n) {
  const float target = c.sounding ? c.voice_bar : 0.0f;
  const float from = bar_level;
  bar_level = target;
  if (from == 0.0f && target == 0.0f)
    return;
  // sin + 0.4 sin 2x has an RMS of 0.762.
  constexpr float kScale = kVowelRms / 0.762f;
  const float step = (target - from) / static_cast<float>(n);
  const float dphase =
      c.bar_step > 0.0f && c.bar_step < 0.25f ? c.bar_step : 0.0f;
  float level = from, phase = bar_phase;
  for (int i = 0; i < n; ++i) {
    level += step;
    const float a = 2.0f * kPiF * phase;
    x[i] += kScale * level * (sinf(a) + 0.4f * sinf(2.0f * a));
    phase += dphase;
    if (phase >= 1.0f)
      phase -= 1.0f;
  }
  bar_phase = phase;
}

// Triangular noise from two draws of a 32-bit linear congruential
// generator (Numerical Recipes' constants): deterministic, so that the same
// text renders the same samples.
void OutputStage::add_floor(const Controls &c, float *x, int n) {
  if (!c.sounding)
    return;
  // A triangular variate of unit width has an RMS of 1 / sqrt(6).
  const float scale =
      kVowelRms * powf(10.0f, kFloorDb / 20.0f) * 2.44949f / 4294967296.0f;
  uint32_t seed = floor_seed;
  for (int i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float a = static_cast<float>(seed);
    seed = seed * 1664525u + 1013904223u;
    const float b = static_cast<float>(seed);
    x[i] += scale * (a - b);
  }
  floor_seed = seed;
}

} // namespace tw::speech
