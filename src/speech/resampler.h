// Windowed-sinc resampling from a voice's engine rate to the output rate.
// Set up when a speaker is made (it allocates there); pushing and pulling
// samples allocate nothing.
#pragma once

#include <stdint.h>

namespace tw::speech {

// The kernel is tabulated at kPhases + 1 fractional positions, one row of
// taps each, and interpolated linearly between the two rows around an
// output sample's position; the input history is kept twice over, so that
// every window of it is one contiguous run.
struct Resampler {
  static constexpr int kPhases = 256;
  // Zero crossings of the sinc on each side of a position (at the lower of
  // the two rates): a Blackman window over 16 of them leaves the stopband
  // below -70 dB, and the cut-off at 0.9 of the lower Nyquist frequency a
  // passband flat to 0.02 dB up to 0.4 of it and 0.3 dB down at 0.8
  // (tests/test_speech_dsp.cpp).
  static constexpr double kHalfWidthZeros = 16.0;
  static constexpr double kCutoff = 0.45; // cycles per sample at the lower rate

  double step = 1.0; // input samples per output sample
  double position = 0.0;
  int half_width = 0; // input samples on each side of a position
  int taps = 0;
  float *rows = nullptr;    // (kPhases + 1) x taps
  float *history = nullptr; // 2 x history_size
  int history_size = 0;     // a power of two
  int64_t written = 0;      // input samples pushed so far

  // max_push: the most samples one push() may bring. False when out of
  // memory (release() is still needed).
  bool init(double in_rate, double out_rate, int max_push);
  void release();

  void push(const float *x, int n);

  // Whether the next output sample has all its input.
  bool ready() const {
    return static_cast<int64_t>(position) + half_width < written;
  }
  float next();
};

} // namespace tw::speech
