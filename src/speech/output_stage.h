// What the speaker does to the engine's output before it leaves, at the
// engine's rate (so that every corner scales with the voice's tract length,
// as the formants do). Runs in the render call: no allocation.
#pragma once

#include "articulate.h"

namespace tw::speech {

struct OutputStage {
  // A fixed low cut: the engine's glottal pulse leaves the first harmonic
  // about 10 dB above the second, where talkers have it a few dB below
  // (H1-H2 of modal voice, Hanson 1997). A second-order high-pass at
  // kLowCutHz (adult male, 48 kHz) takes 2 dB off a 110 Hz first harmonic
  // and almost nothing off its second. At 180 Hz (8 dB off) H1-H2 came to
  // +4 dB but the recogniser lost "who'd" to "hood" and "two" to "eight";
  // 100 Hz kept them.
  static constexpr float kLowCutHz = 100.0f;
  float low_cut[2] = {};

  // Three peaking filters at the formants the articulation names.
  float ic1[3] = {}, ic2[3] = {};
  float sharpen_gain = 0.0f; // 0 ... 1, as at the end of the last sub-block

  // The colouring filter (frication and bursts): its state and the blend it
  // had at the end of the last sub-block.
  float colour_ic1 = 0.0f, colour_ic2 = 0.0f;
  float colour_amount = 0.0f;

  // The murmur's bell, the voice bar's phase and level, and the noise
  // floor's generator.
  float murmur_ic1 = 0.0f, murmur_ic2 = 0.0f, murmur_gain = 0.0f;
  float bar_phase = 0.0f, bar_level = 0.0f;
  uint32_t floor_seed = 0x9e3779b9u;

  void run(const Controls &c, float *x, int n);

  // Once the speaker falls silent its output is exact zeros, so whatever
  // the filters still ring with is dropped rather than left to fade.
  void reset() { *this = OutputStage{}; }

  void cut_lows(float *x, int n);
  void sharpen(const Controls &c, float *x, int n);
  void colour(const Controls &c, float *x, int n);
  void bring_out_murmur(const Controls &c, float *x, int n);
  void add_voice_bar(const Controls &c, float *x, int n);
  void add_floor(const Controls &c, float *x, int n);
};

// The peaking filters' gains at full sharpening (dB, at F1-F3) and their Q.
constexpr float kSharpenDb[3] = {4.0f, 8.0f, 8.0f};
constexpr float kSharpenQ = 6.0f;

// A nasal murmur's first resonance, where the pharynx and the nose ring
// together: 250-300 Hz for an adult male (Fujimura 1962; Stevens 1998,
// ch. 6). The tube put it on the first harmonic (about 140 Hz, where the
// peers' murmurs measured 231-371 Hz), so a bell there brings it out.
constexpr float kMurmurHz = 270.0f, kMurmurDb = 9.0f, kMurmurQ = 1.5f;

// The floor of low noise under the speech while it sounds, against a
// vowel's level: a talker is never digitally silent between phones, and
// the recogniser lost words (no answer at all) over stretches of exact
// zeros in closures and pauses; -46 dB at the engine's rate (about -52 dB
// within the recogniser's 8 kHz) gave every such word an answer.
constexpr float kFloorDb = -46.0f;

} // namespace tw::speech
