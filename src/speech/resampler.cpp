#include "resampler.h"

#include <math.h>
#include <stdlib.h>

namespace tw::speech {

namespace {
// M_PI is not standard C++ (MinGW leaves it out in strict mode).
constexpr double kPi = 3.14159265358979323846;
} // namespace

bool Resampler::init(double in_rate, double out_rate, int max_push) {
  step = in_rate / out_rate;
  const double shrink = step > 1.0 ? 1.0 / step : 1.0;
  const double cutoff = kCutoff * shrink; // cycles per input sample
  half_width = static_cast<int>(ceil(kHalfWidthZeros / shrink));
  taps = 2 * half_width;
  rows = static_cast<float *>(
      malloc(sizeof(float) * static_cast<size_t>(kPhases + 1) * taps));
  history_size = 1;
  while (history_size < taps + 2 * max_push + 4)
    history_size <<= 1;
  history = static_cast<float *>(calloc(2 * history_size, sizeof(float)));
  if (!rows || !history)
    return false;
  for (int p = 0; p <= kPhases; ++p)
    for (int t = 0; t < taps; ++t) {
      // Tap t of an output at fraction p / kPhases past input sample c
      // weighs input c - half_width + 1 + t.
      const double x = static_cast<double>(p) / kPhases - (t - half_width + 1);
      const double arg = 2.0 * cutoff * x;
      const double sinc = x == 0.0 ? 1.0 : sin(kPi * arg) / (kPi * arg);
      const double u = (x + half_width) / (2.0 * half_width); // Blackman
      const double window =
          u <= 0.0 || u >= 1.0
              ? 0.0
              : 0.42 - 0.5 * cos(2.0 * kPi * u) + 0.08 * cos(4.0 * kPi * u);
      rows[p * taps + t] = static_cast<float>(2.0 * cutoff * sinc * window);
    }
  // The first output is centred half_width samples in, so that it only
  // needs input that exists.
  position = half_width;
  return true;
}

void Resampler::release() {
  free(rows);
  free(history);
  rows = nullptr;
  history = nullptr;
}

void Resampler::push(const float *x, int n) {
  for (int i = 0; i < n; ++i) {
    const int at = static_cast<int>((written + i) & (history_size - 1));
    history[at] = history[at + history_size] = x[i];
  }
  written += n;
}

float Resampler::next() {
  const int64_t centre = static_cast<int64_t>(position);
  const double phase = (position - static_cast<double>(centre)) * kPhases;
  const int p = static_cast<int>(phase);
  const float w = static_cast<float>(phase - p);
  const float *x = history + ((centre - half_width + 1) & (history_size - 1));
  const float *r0 = rows + p * taps, *r1 = r0 + taps;
  float d0 = 0.0f, d1 = 0.0f;
  for (int t = 0; t < taps; ++t) {
    d0 += x[t] * r0[t];
    d1 += x[t] * r1[t];
  }
  position += step;
  return d0 + (d1 - d0) * w;
}

} // namespace tw::speech
