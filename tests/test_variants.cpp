// The vector engine against the plain scalar reference build of the same
// source (C library math, one section at a time), and the vector widths
// against each other. Each build is loaded as a host would load a plugin.
#include "tractwave.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

typedef void (*chunk_fn)(int, const float *, float *, float *, float *,
                         float *, float *, float *, float);

struct Library {
  void *handle = nullptr;
  chunk_fn chunk = nullptr;

  explicit Library(const char *path) {
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle)
      chunk = reinterpret_cast<chunk_fn>(
          dlsym(handle, "synthesize_waveguide_chunk_ex"));
  }
  ~Library() {
    if (handle)
      dlclose(handle);
  }
};

// A long render with parameters jumping to random values (out-of-range ones
// included) every 10 ms, in blocks of random sizes, on a fresh thread.
std::vector<float> random_render(chunk_fn chunk, unsigned seed, float rate) {
  std::vector<float> all;
  std::thread t([&] {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-0.3f, 1.3f);
    std::uniform_int_distribution<int> size(1, 700);
    float R[25] = {}, L[25] = {}, NR[16] = {}, NL[16] = {}, phase = 0.0f;
    float p[10];
    std::vector<float> out(700);
    const int total = static_cast<int>(rate) * 6;
    int next_change = 0;
    while (static_cast<int>(all.size()) < total) {
      const int done = static_cast<int>(all.size());
      if (done >= next_change) {
        for (float &x : p)
          x = value(rng);
        next_change = done + static_cast<int>(rate / 100);
      }
      const int n = size(rng);
      chunk(n, p, R, L, NR, NL, &phase, out.data(), rate);
      all.insert(all.end(), out.begin(), out.begin() + n);
    }
  });
  t.join();
  return all;
}

TEST(Variants, VectorEngineStaysWithinOneHundredThousandthOfThePlainBuild) {
  Library fast(TRACTWAVE_LIBRARY_PATH), plain(TRACTWAVE_PLAIN_PATH);
  ASSERT_TRUE(fast.chunk) << dlerror();
  ASSERT_TRUE(plain.chunk) << dlerror();
  for (unsigned seed : {1u, 2u, 3u}) {
    for (float rate : {48000.0f, 44100.0f}) {
      const std::vector<float> a = random_render(fast.chunk, seed, rate);
      const std::vector<float> b = random_render(plain.chunk, seed, rate);
      ASSERT_EQ(a.size(), b.size());
      double worst = 0.0, peak = 0.0;
      for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_TRUE(std::isfinite(a[i])) << i;
        worst = std::fmax(worst, std::fabs(double(a[i]) - b[i]));
        peak = std::fmax(peak, std::fabs(double(b[i])));
      }
      EXPECT_LE(worst, 1e-5) << "seed " << seed << " rate " << rate;
      EXPECT_GT(peak, 0.01) << "the render should not be silent";
      std::printf("seed %u at %.0f Hz: largest difference %.3g, peak %.3f\n",
                  seed, rate, worst, peak);
    }
  }
}

// Every lane does the scalar arithmetic of every other width, so the
// instruction set a processor offers must not change a single bit.
TEST(Variants, VectorWidthsAgreeBitForBit) {
  Library widest(TRACTWAVE_LIBRARY_PATH), four(TRACTWAVE_LANES4_PATH),
      eight(TRACTWAVE_LANES8_PATH);
  ASSERT_TRUE(widest.chunk && four.chunk && eight.chunk) << dlerror();
  const std::vector<float> reference = random_render(four.chunk, 7, 48000.0f);
  EXPECT_EQ(random_render(eight.chunk, 7, 48000.0f), reference);
  EXPECT_EQ(random_render(widest.chunk, 7, 48000.0f), reference);
}

} // namespace
