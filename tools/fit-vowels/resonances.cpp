#include "resonances.h"

#include "tractwave.h"

#include <cmath>
#include <complex>

namespace tw::fit {

std::vector<std::string> split_csv(const std::string &line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"')
      quoted = !quoted;
    else if (c == ',' && !quoted)
      fields.emplace_back();
    else if (c != '\r')
      fields.back() += c;
  }
  return fields;
}

namespace {

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr int kNasal = TRACTWAVE_NASAL_SECTIONS;
// M_PI is not standard C++ (MinGW leaves it out in strict mode).
constexpr double kPi = 3.14159265358979323846;

// The nose of the parameter path (compute_diameters_from_dofs), closed off.
const float kRestingNasal[kNasal] = {1.2f, 1.4f, 1.6f, 1.8f, 1.9f, 2.0f,
                                     2.0f, 1.9f, 1.8f, 1.7f, 1.5f, 1.3f,
                                     1.1f, 0.9f, 0.7f, 0.5f};

} // namespace

void fft(std::vector<std::complex<double>> &x) {
  const size_t n = x.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1)
      j ^= bit;
    j ^= bit;
    if (i < j)
      std::swap(x[i], x[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const double angle = -2.0 * kPi / static_cast<double>(len);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w(1.0, 0.0);
      for (size_t k = 0; k < len / 2; ++k) {
        const std::complex<double> u = x[i + k], v = x[i + k + len / 2] * w;
        x[i + k] = u + v;
        x[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
}

std::vector<float> impulse_response(const float *oral, float sample_rate,
                                    int length, const float *nasal,
                                    float velum) {
  if (!nasal)
    nasal = kRestingNasal;
  float R[kOral] = {}, L[kOral] = {}, NR[kNasal] = {}, NL[kNasal] = {};
  float phase = 0.0f;
  std::vector<float> out(static_cast<size_t>(length > 256 ? length : 256));
  // With zero waves and no excitation, a block leaves the thread's smoother
  // history at zero too, whatever the thread rendered before.
  const auto run = [&](int n) {
    step_waveguide_block(n, 100.0f, 0.0f, 1.0f, 0.0f, oral, nasal, velum, 0.75f,
                         -0.85f, -0.7f, R, L, NR, NL, &phase, out.data(),
                         sample_rate);
  };
  run(256);
  // Small enough that the output saturation stays linear.
  R[0] = 1e-3f;
  run(static_cast<int>(out.size()));
  return out;
}

std::vector<double> spectral_peaks(const std::vector<float> &response,
                                   float sample_rate, double max_hz) {
  size_t n = 1;
  while (n < 4 * response.size() || n < 32768)
    n <<= 1;
  std::vector<std::complex<double>> x(n);
  for (size_t i = 0; i < response.size(); ++i)
    x[i] = response[i];
  fft(x);
  std::vector<double> db(n / 2 + 1);
  for (size_t i = 0; i < db.size(); ++i)
    db[i] = 10.0 * std::log10(std::norm(x[i]) + 1e-300);
  const double bin = sample_rate / static_cast<double>(n);
  std::vector<double> peaks;
  for (size_t i = 1; i + 1 < db.size() && i * bin < max_hz; ++i) {
    if (i * bin < 90.0 || !(db[i] > db[i - 1] && db[i] >= db[i + 1]))
      continue;
    const double a = db[i - 1], b = db[i], c = db[i + 1];
    const double offset = 0.5 * (a - c) / (a - 2.0 * b + c);
    peaks.push_back((static_cast<double>(i) + offset) * bin);
  }
  return peaks;
}

std::vector<double> formants(const float *oral, float sample_rate, int count) {
  std::vector<double> peaks =
      spectral_peaks(impulse_response(oral, sample_rate), sample_rate, 5000.0);
  if (peaks.size() > static_cast<size_t>(count))
    peaks.resize(static_cast<size_t>(count));
  return peaks;
}

} // namespace tw::fit
