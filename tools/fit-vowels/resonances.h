// The engine's own resonances of a tract shape, from its impulse response.
// Shared by the vowel fitter and the test that re-checks the shipped table.
#pragma once

#include <complex>
#include <string>
#include <vector>

namespace tw::fit {

// One CSV record of the data files: fields separated by commas, double
// quotes around a field that holds commas or spaces.
std::vector<std::string> split_csv(const std::string &line);

// In-place radix-2 discrete Fourier transform; x.size() must be a power of
// two. Also the plugin tests' spectra.
void fft(std::vector<std::complex<double>> &x);

// The output of the engine after a small pressure impulse enters the oral
// tube at the glottis, with the source silent: the transfer function from the
// glottis to the radiated sound. nasal and velum as in
// step_waveguide_block; nullptr means the parameter path's resting nose.
// Renders on the calling thread, first flushing the thread's smoother
// history, so that earlier calls do not leak into the response.
std::vector<float> impulse_response(const float *oral, float sample_rate,
                                    int length = 8192,
                                    const float *nasal = nullptr,
                                    float velum = 0.0f);

// Frequencies (Hz) of the local maxima of |H(f)| between 90 Hz and max_hz,
// ascending, each refined by a parabola through the dB magnitude of three
// neighbouring bins of a zero-padded transform.
std::vector<double> spectral_peaks(const std::vector<float> &response,
                                   float sample_rate, double max_hz);

// The first `count` resonances of a shape (fewer if the response has fewer
// peaks below 5 kHz).
std::vector<double> formants(const float *oral, float sample_rate,
                             int count = 3);

} // namespace tw::fit
