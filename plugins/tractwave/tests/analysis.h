// Measurements on the plugin's audio, shared by the host tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "resonances.h"

namespace tw_lv2 {

// The fundamental frequency of x[begin, begin + window + lag range) in Hz, by
// the cumulative-mean-normalised difference function: the first lag whose
// dip goes below the threshold, refined to a fraction of a sample. 0 when no
// lag qualifies.
inline double fundamental(const std::vector<float> &x, size_t begin,
                          double rate, double lowest_hz = 40.0) {
  const size_t window = static_cast<size_t>(rate * 0.05);
  const size_t max_lag = static_cast<size_t>(rate / lowest_hz);
  if (begin + window + max_lag + 2 > x.size())
    return 0.0;
  std::vector<double> d(max_lag + 2, 0.0);
  for (size_t lag = 1; lag < d.size(); ++lag) {
    double sum = 0.0;
    for (size_t j = 0; j < window; ++j) {
      const double diff = x[begin + j] - x[begin + j + lag];
      sum += diff * diff;
    }
    d[lag] = sum;
  }
  // Normalised: d'(lag) = d(lag) * lag / sum of d(1 .. lag).
  std::vector<double> norm(d.size(), 1.0);
  double running = 0.0;
  for (size_t lag = 1; lag < d.size(); ++lag) {
    running += d[lag];
    norm[lag] = running > 0.0 ? d[lag] * lag / running : 1.0;
  }
  for (size_t lag = 2; lag + 1 < norm.size(); ++lag) {
    if (norm[lag] >= 0.15)
      continue;
    while (lag + 1 < norm.size() && norm[lag + 1] < norm[lag])
      ++lag;
    if (lag + 1 >= norm.size())
      return 0.0;
    const double a = norm[lag - 1], b = norm[lag], c = norm[lag + 1];
    const double denominator = a - 2.0 * b + c;
    const double shift = denominator > 0.0 ? 0.5 * (a - c) / denominator : 0.0;
    return rate / (static_cast<double>(lag) + shift);
  }
  return 0.0;
}

// Magnitude in dB of the Hann-windowed spectrum of x[begin, begin + n) at
// frequency hz, taking the largest within +-tolerance (relative) of it.
inline double level_db(const std::vector<float> &x, size_t begin, size_t n,
                       double rate, double hz, double tolerance = 0.005) {
  const double pi = 3.14159265358979323846;
  double best = 0.0;
  for (int k = -4; k <= 4; ++k) {
    const double f = hz * (1.0 + tolerance * k / 4.0);
    double re = 0.0, im = 0.0;
    for (size_t j = 0; j < n; ++j) {
      const double w = 0.5 - 0.5 * std::cos(2.0 * pi * j / (n - 1));
      const double phase = 2.0 * pi * f * j / rate;
      re += w * x[begin + j] * std::cos(phase);
      im -= w * x[begin + j] * std::sin(phase);
    }
    best = std::max(best, std::sqrt(re * re + im * im) * 4.0 / n);
  }
  return 20.0 * std::log10(best + 1e-30);
}

// Power spectrum of the Hann-windowed x[begin, begin + n), n a power of two:
// n / 2 + 1 bins, bin k at k * rate / n.
inline std::vector<double> power_spectrum(const std::vector<float> &x,
                                          size_t begin, size_t n) {
  const double pi = 3.14159265358979323846;
  std::vector<std::complex<double>> a(n);
  for (size_t j = 0; j < n; ++j)
    a[j] = x[begin + j] * (0.5 - 0.5 * std::cos(2.0 * pi * j / n));
  tw::fit::fft(a);
  std::vector<double> power(n / 2 + 1);
  for (size_t k = 0; k < power.size(); ++k)
    power[k] = std::norm(a[k]);
  return power;
}

// Energy in dB in third-octave bands from 150 Hz to 6 kHz: the spectral
// envelope that tells one vowel from another.
inline std::vector<double> band_levels(const std::vector<float> &x,
                                       size_t begin, size_t n, double rate) {
  const std::vector<double> power = power_spectrum(x, begin, n);
  std::vector<double> levels;
  for (double lo = 150.0; lo < 6000.0; lo *= std::pow(2.0, 1.0 / 3.0)) {
    const double hi = lo * std::pow(2.0, 1.0 / 3.0);
    double sum = 1e-30;
    for (size_t k = 0; k < power.size(); ++k) {
      const double f = k * rate / n;
      if (f >= lo && f < hi)
        sum += power[k];
    }
    levels.push_back(10.0 * std::log10(sum));
  }
  return levels;
}

// The largest step from one sample to the next in x[begin, end).
inline double max_jump(const std::vector<float> &x, size_t begin, size_t end) {
  double jump = 0.0;
  for (size_t i = std::max<size_t>(begin, 1); i < end && i < x.size(); ++i)
    jump = std::max(jump, std::fabs(static_cast<double>(x[i]) - x[i - 1]));
  return jump;
}

inline double peak(const std::vector<float> &x, size_t begin, size_t end) {
  double p = 0.0;
  for (size_t i = begin; i < end && i < x.size(); ++i)
    p = std::max(p, std::fabs(static_cast<double>(x[i])));
  return p;
}

// Index one past the last sample that is not exactly zero (0 for silence).
inline size_t end_of_sound(const std::vector<float> &x) {
  size_t end = x.size();
  while (end > 0 && x[end - 1] == 0.0f)
    --end;
  return end;
}

inline double note_hz(double note) {
  return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

} // namespace tw_lv2
