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

// Vowel formants as bench/speech/vowels.py measures them: x resampled to
// 10 kHz, 30 ms frames pre-emphasised (0.97) and Hamming-windowed, a
// 14-pole autocorrelation LPC, its roots' resonances above 90 Hz with
// bandwidths below 500 Hz; the median F1-F3 over five frames 10 ms apart
// around `centre` (seconds). Empty when no frame gave three.
constexpr double kLpcRate = 10000.0;
constexpr int kLpcOrder = 14;

// x at rate, low-passed at 4.5 kHz and resampled to 10 kHz by a
// Kaiser-windowed sinc, over [from, to) seconds.
inline std::vector<double> resample_to_lpc_rate(const std::vector<float> &x,
                                                double rate, double from,
                                                double to) {
  const double pi = 3.14159265358979323846;
  const double cutoff = 4500.0 / rate; // cycles per input sample
  const int half = static_cast<int>(std::ceil(16.0 * rate / kLpcRate));
  std::vector<double> y;
  for (double t = from; t < to; t += 1.0 / kLpcRate) {
    const double centre = t * rate;
    const long first = static_cast<long>(std::floor(centre)) - half;
    double sum = 0.0;
    for (long k = first; k <= first + 2 * half; ++k) {
      if (k < 0 || k >= static_cast<long>(x.size()))
        continue;
      const double d = static_cast<double>(k) - centre;
      const double arg = 2.0 * pi * cutoff * d;
      const double sinc = d == 0.0 ? 1.0 : std::sin(arg) / arg;
      const double r = d / (half + 1);
      const double window =
          r * r < 1.0 ? std::cyl_bessel_i(0.0, 8.0 * std::sqrt(1.0 - r * r)) /
                            std::cyl_bessel_i(0.0, 8.0)
                      : 0.0;
      sum += x[static_cast<size_t>(k)] * 2.0 * cutoff * sinc * window;
    }
    y.push_back(sum);
  }
  return y;
}

// The predictor polynomial a[0 .. order] (a[0] = 1) by Levinson-Durbin.
inline std::vector<double> lpc(const std::vector<double> &frame, int order) {
  std::vector<double> r(order + 1, 0.0);
  for (int lag = 0; lag <= order; ++lag)
    for (size_t j = lag; j < frame.size(); ++j)
      r[lag] += frame[j] * frame[j - lag];
  std::vector<double> a(order + 1, 0.0);
  a[0] = 1.0;
  double error = r[0];
  for (int i = 1; i <= order && error > 0.0; ++i) {
    double acc = r[i];
    for (int j = 1; j < i; ++j)
      acc += a[j] * r[i - j];
    const double k = -acc / error;
    std::vector<double> next = a;
    for (int j = 1; j < i; ++j)
      next[j] = a[j] + k * a[i - j];
    next[i] = k;
    a = next;
    error *= 1.0 - k * k;
  }
  return a;
}

// The roots of a[0] z^n + a[1] z^(n-1) + ... + a[n] (Durand-Kerner).
inline std::vector<std::complex<double>> roots(const std::vector<double> &a) {
  const int n = static_cast<int>(a.size()) - 1;
  std::vector<std::complex<double>> z(n);
  for (int k = 0; k < n; ++k)
    z[k] = std::pow(std::complex<double>(0.4, 0.9), k);
  for (int iteration = 0; iteration < 2000; ++iteration) {
    double moved = 0.0;
    for (int k = 0; k < n; ++k) {
      std::complex<double> p = a[0];
      for (int j = 1; j <= n; ++j)
        p = p * z[k] + a[j];
      std::complex<double> q = a[0];
      for (int j = 0; j < n; ++j)
        if (j != k)
          q *= z[k] - z[j];
      const std::complex<double> step = p / q;
      z[k] -= step;
      moved = std::max(moved, std::abs(step));
    }
    if (moved < 1e-12)
      break;
  }
  return z;
}

inline std::vector<double> lpc_formants(const std::vector<double> &y,
                                        size_t begin, size_t n) {
  const double pi = 3.14159265358979323846;
  std::vector<double> frame(n);
  for (size_t j = 0; j < n; ++j) {
    const double emphasised =
        j == 0 ? y[begin] : y[begin + j] - 0.97 * y[begin + j - 1];
    frame[j] = emphasised * (0.54 - 0.46 * std::cos(2.0 * pi * j / (n - 1)));
  }
  std::vector<double> found;
  for (const std::complex<double> &z : roots(lpc(frame, kLpcOrder))) {
    if (z.imag() <= 0.0)
      continue;
    const double f = std::arg(z) * kLpcRate / (2.0 * pi);
    const double bandwidth = -std::log(std::abs(z)) * kLpcRate / pi;
    if (f > 90.0 && bandwidth < 500.0)
      found.push_back(f);
  }
  std::sort(found.begin(), found.end());
  if (found.size() < 3)
    return {};
  found.resize(3);
  return found;
}

inline std::vector<double> vowel_formants(const std::vector<float> &x,
                                          double rate, double centre) {
  const std::vector<double> y =
      resample_to_lpc_rate(x, rate, centre - 0.05, centre + 0.05);
  const size_t half = static_cast<size_t>(0.015 * kLpcRate);
  std::vector<std::vector<double>> found;
  for (int offset = -2; offset <= 2; ++offset) {
    const size_t middle =
        static_cast<size_t>((0.05 + 0.01 * offset) * kLpcRate);
    std::vector<double> f = lpc_formants(y, middle - half, 2 * half);
    if (!f.empty())
      found.push_back(f);
  }
  if (found.empty())
    return {};
  std::vector<double> median(3);
  for (int k = 0; k < 3; ++k) {
    std::vector<double> column;
    for (const auto &f : found)
      column.push_back(f[k]);
    std::sort(column.begin(), column.end());
    median[k] = column[column.size() / 2];
  }
  return median;
}

// Traunmueller's (1990) Hz-to-Bark formula.
inline double bark(double hz) { return 26.81 * hz / (1960.0 + hz) - 0.53; }

// The Euclidean distance in Bark between two F1-F3 triples.
inline double bark_distance(const std::vector<double> &a,
                            const std::vector<double> &b) {
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double d = bark(a[k]) - bark(b[k]);
    sum += d * d;
  }
  return std::sqrt(sum);
}

} // namespace tw_lv2
