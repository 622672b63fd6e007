// The vector engine against the plain scalar reference build of the same
// source (C library math, one section at a time), the vector widths against
// each other, and the voices library of each build against the four-function
// library of the same build. Each build is loaded as a host would load a
// plugin.
#include "tractwave.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

typedef void (*chunk_fn)(int, const float *, float *, float *, float *, float *,
                         float *, float *, float);

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
    float p[TRACTWAVE_NUM_PARAMETERS];
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

typedef int (*size_fn)(void);
typedef void (*init_fn)(void *);
typedef void (*voice_fn)(void *, int, const float *, float *, float);
typedef void (*batch_fn)(void *const *, int, int, const float *, float *,
                         float);

struct VoicesLibrary {
  void *handle = nullptr;
  size_fn size = nullptr;
  init_fn init = nullptr;
  voice_fn render = nullptr;
  batch_fn batch = nullptr;

  explicit VoicesLibrary(const char *path) {
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
      return;
    size = reinterpret_cast<size_fn>(dlsym(handle, "tractwave_voice_size"));
    init = reinterpret_cast<init_fn>(dlsym(handle, "tractwave_voice_init"));
    render =
        reinterpret_cast<voice_fn>(dlsym(handle, "tractwave_voice_render"));
    batch =
        reinterpret_cast<batch_fn>(dlsym(handle, "tractwave_voices_render"));
  }
  ~VoicesLibrary() {
    if (handle)
      dlclose(handle);
  }
};

// random_render's calls, voice by voice (16 voices, each with its own seed)
// through one batch call per block, all sharing voice 0's block sizes.
std::vector<std::vector<float>> batch_render(const VoicesLibrary &lib,
                                             int count, float rate) {
  std::vector<std::mt19937> rngs;
  for (int i = 0; i < count; ++i)
    rngs.emplace_back(100 + i);
  std::uniform_real_distribution<float> value(-0.3f, 1.3f);
  std::uniform_int_distribution<int> size(1, 700);
  std::vector<char> memory(static_cast<size_t>(lib.size()) * count + 64);
  char *base = memory.data() +
               (64 - reinterpret_cast<uintptr_t>(memory.data()) % 64) % 64;
  std::vector<void *> voices;
  for (int i = 0; i < count; ++i) {
    voices.push_back(base + static_cast<size_t>(i) * lib.size());
    lib.init(voices.back());
  }
  std::vector<std::vector<float>> all(count);
  std::vector<float> p(TRACTWAVE_NUM_PARAMETERS * count), out(700 * count);
  const int total = static_cast<int>(rate) * 2;
  int done = 0;
  while (done < total) {
    if (done % 480 < 240)
      for (int i = 0; i < count; ++i)
        for (int k = 0; k < TRACTWAVE_NUM_PARAMETERS; ++k)
          p[TRACTWAVE_NUM_PARAMETERS * i + k] = value(rngs[i]);
    const int n = size(rngs[0]);
    lib.batch(voices.data(), count, n, p.data(), out.data(), rate);
    for (int i = 0; i < count; ++i)
      all[i].insert(all[i].end(), out.begin() + n * i,
                    out.begin() + n * (i + 1));
    done += n;
  }
  return all;
}

// Each build's voices library against the same build's four-function library,
// so that every vector width (and the plain form) keeps the identity, and
// batches against single voices at every width.
TEST(Variants, VoicesMatchTheirOwnBuildAtEveryWidth) {
  const char *core_paths[] = {TRACTWAVE_LIBRARY_PATH, TRACTWAVE_LANES8_PATH,
                              TRACTWAVE_LANES4_PATH, TRACTWAVE_PLAIN_PATH};
  const char *voices_paths[] = {
      TRACTWAVE_VOICES_LIBRARY_PATH, TRACTWAVE_VOICES_LANES8_PATH,
      TRACTWAVE_VOICES_LANES4_PATH, TRACTWAVE_VOICES_PLAIN_PATH};
  std::vector<std::vector<float>> widest;
  for (int w = 0; w < 4; ++w) {
    Library core(core_paths[w]);
    VoicesLibrary voices(voices_paths[w]);
    ASSERT_TRUE(core.chunk && voices.batch && voices.render) << dlerror();
    const std::vector<std::vector<float>> batch =
        batch_render(voices, 11, 44100.0f);
    // Voice 3 alone on a fresh thread of the four-function library.
    std::vector<float> alone;
    std::thread t([&] {
      std::mt19937 r0(100), r3(103);
      std::uniform_real_distribution<float> value(-0.3f, 1.3f);
      std::uniform_int_distribution<int> size(1, 700);
      float R[25] = {}, L[25] = {}, NR[16] = {}, NL[16] = {}, phase = 0.0f;
      float p[TRACTWAVE_NUM_PARAMETERS];
      std::vector<float> out(700);
      int done = 0;
      while (done < 44100 * 2) {
        if (done % 480 < 240) {
          for (int k = 0; k < TRACTWAVE_NUM_PARAMETERS; ++k)
            value(r0);
          for (float &x : p)
            x = value(r3);
        }
        const int n = size(r0);
        core.chunk(n, p, R, L, NR, NL, &phase, out.data(), 44100.0f);
        alone.insert(alone.end(), out.begin(), out.begin() + n);
        done += n;
      }
    });
    t.join();
    EXPECT_EQ(batch[3], alone) << voices_paths[w];
    if (w == 0) {
      widest = batch;
    } else if (w < 3) {
      EXPECT_EQ(batch, widest) << voices_paths[w];
    }
  }
}

} // namespace
