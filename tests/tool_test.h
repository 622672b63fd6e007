// What the tests that run the tools as a user runs them share: what a run
// gave back, and the files it wrote, read back (WAV files with libsndfile).
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tw::tool_test {

namespace fs = std::filesystem;

struct Result {
  int status = -1; // the exit status, or what the test makes of a signal
  std::string out, err;
  long max_rss_kb = 0;      // where the test measures the run
  double cpu_seconds = 0.0; // likewise
};

inline std::string slurp(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_text(const fs::path &p, const std::string &text) {
  std::ofstream(p, std::ios::binary) << text;
}

struct Wav {
  SF_INFO info{};
  std::vector<float> samples;
};

inline Wav read_wav(const fs::path &p) {
  Wav w;
  SNDFILE *f = sf_open(p.c_str(), SFM_READ, &w.info);
  if (!f) {
    ADD_FAILURE() << "cannot read " << p << ": " << sf_strerror(nullptr);
    return w;
  }
  w.samples.resize(static_cast<std::size_t>(w.info.frames * w.info.channels));
  EXPECT_EQ(sf_read_float(f, w.samples.data(), w.info.frames), w.info.frames);
  sf_close(f);
  return w;
}

inline std::vector<short> read_pcm16(const fs::path &p) {
  SF_INFO info{};
  SNDFILE *f = sf_open(p.c_str(), SFM_READ, &info);
  std::vector<short> s(f ? static_cast<std::size_t>(info.frames) : 0);
  if (f) {
    sf_read_short(f, s.data(), info.frames);
    sf_close(f);
  }
  return s;
}

} // namespace tw::tool_test
