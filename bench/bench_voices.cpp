// Cost of the voices library per voice-sample, beside the per-thread path in
// the same run: one voice, and batches of 1 to 32 voices with distinct
// parameters at the widest vector width this processor offers and, through
// the capped builds of the same source (loaded like plugins), at 8 and 4
// lanes. Run with the `bench` target.
//
// Each batch is also given as a multiple of its multiply bound, measured in
// the same run: a group's sample takes a fixed number of vector multiplies
// (the model's count; x86-64 builds fuse none into multiply-adds), so no
// schedule can beat that count over this processor's multiply throughput at
// the width, which a chain-free microbenchmark measures first.
#include "tractwave.h"
#include "tractwave_voices.h"

#include <benchmark/benchmark.h>

#ifdef TRACTWAVE_VOICES_LANES8_PATH
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kBlock = 480;

struct VoicesApi {
  decltype(&tractwave_voice_size) size;
  decltype(&tractwave_voice_alignment) alignment;
  decltype(&tractwave_voice_init) init;
  decltype(&tractwave_voice_render) render;
  decltype(&tractwave_voices_render) batch;
};

const VoicesApi kLinked = {tractwave_voice_size, tractwave_voice_alignment,
                           tractwave_voice_init, tractwave_voice_render,
                           tractwave_voices_render};

// count voices in one aligned block, each with its own parameters: speech-
// like values spread over the shapes and pitches.
struct Choir {
  const VoicesApi &api;
  void *memory;
  std::vector<void *> voices;
  std::vector<float> params, out;

  Choir(const VoicesApi &a, int count) : api(a) {
    const int size = api.size();
    memory = ::operator new(static_cast<size_t>(size) * count,
                            std::align_val_t(api.alignment()));
    std::mt19937 rng(count);
    std::uniform_real_distribution<float> shape(0.2f, 0.8f);
    for (int i = 0; i < count; ++i) {
      voices.push_back(static_cast<char *>(memory) + i * size);
      api.init(voices.back());
      for (int k = 0; k < TRACTWAVE_NUM_PARAMETERS; ++k)
        params.push_back(shape(rng));
      params[TRACTWAVE_NUM_PARAMETERS * i + TRACTWAVE_VOICING] = 0.8f;
      params[TRACTWAVE_NUM_PARAMETERS * i + TRACTWAVE_VOICE_MIX] = 0.9f;
      params[TRACTWAVE_NUM_PARAMETERS * i + TRACTWAVE_BREATHINESS] = 0.2f;
    }
    out.resize(static_cast<size_t>(count) * kBlock);
  }
  ~Choir() { ::operator delete(memory, std::align_val_t(api.alignment())); }
};

void count_voice_samples(benchmark::State &state, double voice_samples) {
  state.counters["ns_per_voice_sample"] =
      benchmark::Counter(voice_samples * 1e-9, benchmark::Counter::kIsRate |
                                                   benchmark::Counter::kInvert);
}

// Vector multiplies in one sample of a group, the same at every width: the
// pulse 31 (one cosine of 14, an exponential of 11), the source 13, the
// tube 294 (82 smoothed reads of 3, 38 junctions of 1, the glottis 1, the
// velum 3 with its doubling an addition, lips 3, nostrils 3), radiation 9
// and the saturation 20 (a tanh of 18); the phase wraps without one when it
// steps forward by less than a cycle (docs/performance.md).
constexpr double kMultipliesPerGroupSample = 367;

double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Vector multiplies per nanosecond of thread time over `chains` independent
// chains, enough to cover the multiply latency on every port; the factors
// pass through an empty asm so that the compiler cannot fold x * 2 * 0.5.
// The values stay exactly where they started, far from subnormals.
#if defined(__x86_64__)
#define TW_MUL_THROUGHPUT(name, target_isa, width, chains)                     \
  __attribute__((target(target_isa), noinline)) double name(long rounds) {     \
    typedef float v __attribute__((vector_size(4 * (width))));                 \
    v x[chains];                                                               \
    for (int k = 0; k < (chains); ++k)                                         \
      x[k] = v{} + (1.0f + 0.125f * k);                                        \
    v up = v{} + 2.0f, down = v{} + 0.5f;                                      \
    __asm__("" : "+x"(up), "+x"(down));                                        \
    const double start = thread_seconds();                                     \
    for (long r = 0; r < rounds; ++r) {                                        \
      for (int k = 0; k < (chains); ++k)                                       \
        x[k] = x[k] * up;                                                      \
      for (int k = 0; k < (chains); ++k)                                       \
        x[k] = x[k] * down;                                                    \
    }                                                                          \
    const double seconds = thread_seconds() - start;                           \
    float sum = 0.0f;                                                          \
    for (int k = 0; k < (chains); ++k)                                         \
      sum += x[k][0];                                                          \
    benchmark::DoNotOptimize(sum);                                             \
    return 2.0 * (chains) * double(rounds) / (seconds * 1e9);                  \
  }

TW_MUL_THROUGHPUT(multiplies_avx512, "avx512f", 16, 16)
TW_MUL_THROUGHPUT(multiplies_avx2, "avx2", 8, 12)
TW_MUL_THROUGHPUT(multiplies_sse, "sse2", 4, 12)

// Cycles per nanosecond, from a chain of dependent register-to-register
// additions (one cycle each on every x86-64 core of the last decade; an
// immediate would let some cores fold the chain at rename): only to say the
// bound in multiplies per cycle.
double clock_ghz(long rounds) {
  unsigned long x = 0, one = 1;
  __asm__("" : "+r"(one));
  const double start = thread_seconds();
  for (long r = 0; r < rounds; ++r)
    __asm__("add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
            "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
            : "+r"(x)
            : "r"(one));
  const double seconds = thread_seconds() - start;
  benchmark::DoNotOptimize(x);
  return 8.0 * double(rounds) / (seconds * 1e9);
}
#endif

// The median of 31 runs of about a millisecond each: on a shared machine a
// run that lost its core midway reads low, one on an idle core does not.
double median_rate(double (*measure)(long)) {
  std::vector<double> rates;
  for (int k = 0; k < 31; ++k)
    rates.push_back(measure(50000));
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

// The per-thread path, as the reference for one voice.
void BM_chunk_ex(benchmark::State &state) {
  float R[25] = {}, L[25] = {}, NR[16] = {}, NL[16] = {}, phase = 0.0f;
  Choir c(kLinked, 1);
  for (auto _ : state) {
    synthesize_waveguide_chunk_ex(kBlock, c.params.data(), R, L, NR, NL, &phase,
                                  c.out.data(), 48000.0f);
    benchmark::DoNotOptimize(c.out.data());
  }
  count_voice_samples(state, double(state.iterations()) * kBlock);
}
BENCHMARK(BM_chunk_ex);

void BM_voice_render(benchmark::State &state) {
  Choir c(kLinked, 1);
  for (auto _ : state) {
    tractwave_voice_render(c.voices[0], kBlock, c.params.data(), c.out.data(),
                           48000.0f);
    benchmark::DoNotOptimize(c.out.data());
  }
  count_voice_samples(state, double(state.iterations()) * kBlock);
}
BENCHMARK(BM_voice_render);

// The multiply bound at a width: every lane of a full group busy, so a
// voice-sample costs the group's multiplies over the lanes.
struct Bound {
  int lanes;
  double multiplies_per_ns;
  double ns_per_voice_sample() const {
    return kMultipliesPerGroupSample / lanes / multiplies_per_ns;
  }
};

void batch(benchmark::State &state, const VoicesApi *api, int count,
           Bound bound) {
  Choir c(*api, count);
  for (auto _ : state) {
    api->batch(c.voices.data(), count, kBlock, c.params.data(), c.out.data(),
               48000.0f);
    benchmark::DoNotOptimize(c.out.data());
  }
  const double voice_samples = double(state.iterations()) * kBlock * count;
  count_voice_samples(state, voice_samples);
  // Seconds per voice-sample over the bound's: the time the rate counter
  // divides by, times the rate the bound allows.
  if (bound.multiplies_per_ns > 0.0)
    state.counters["x_bound"] = benchmark::Counter(
        voice_samples * bound.ns_per_voice_sample() * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void register_batches(const char *width, const VoicesApi *api, Bound bound) {
  for (int count : {1, 4, 8, 16, 32})
    benchmark::RegisterBenchmark(
        ("BM_batch/" + std::string(width) + "/" + std::to_string(count))
            .c_str(),
        batch, api, count, bound);
}

#ifdef TRACTWAVE_VOICES_LANES8_PATH
template <class Fn> void look_up(void *lib, const char *name, Fn &fn) {
  fn = reinterpret_cast<Fn>(dlsym(lib, name));
}

const VoicesApi *load(const char *path) {
  void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return nullptr;
  }
  VoicesApi *api = new VoicesApi;
  look_up(lib, "tractwave_voice_size", api->size);
  look_up(lib, "tractwave_voice_alignment", api->alignment);
  look_up(lib, "tractwave_voice_init", api->init);
  look_up(lib, "tractwave_voice_render", api->render);
  look_up(lib, "tractwave_voices_render", api->batch);
  return api;
}
#endif

} // namespace

int main(int argc, char **argv) {
#if defined(__x86_64__)
  const bool avx512 = __builtin_cpu_supports("avx512f");
  const bool avx2 = __builtin_cpu_supports("avx2");
  const double sse = median_rate(multiplies_sse);
  const double eight = avx2 ? median_rate(multiplies_avx2) : 0.0;
  const double sixteen = avx512 ? median_rate(multiplies_avx512) : 0.0;
  const double ghz = median_rate(clock_ghz);
  std::printf("vector multiplies per ns: 512-bit %.3f, 256-bit %.3f, "
              "128-bit %.3f; clock about %.2f GHz, so %.2f, %.2f, %.2f per "
              "cycle; %.0f per group-sample\n",
              sixteen, eight, sse, ghz, sixteen / ghz, eight / ghz, sse / ghz,
              kMultipliesPerGroupSample);
#else
  // Elsewhere the batches are timed without a bound.
  const bool avx512 = false, avx2 = false;
  const double sse = 0.0, eight = 0.0, sixteen = 0.0;
#endif
  const Bound widest = avx512 ? Bound{16, sixteen}
                       : avx2 ? Bound{8, eight}
                              : Bound{4, sse};
  if (widest.multiplies_per_ns > 0.0) {
    std::printf("multiply bound, ns per voice-sample: widest (%d lanes) %.3f",
                widest.lanes, widest.ns_per_voice_sample());
    if (avx2)
      std::printf(", 8 lanes %.3f", Bound{8, eight}.ns_per_voice_sample());
    std::printf(", 4 lanes %.3f\n", Bound{4, sse}.ns_per_voice_sample());
  }
  register_batches("widest", &kLinked, widest);
#ifdef TRACTWAVE_VOICES_LANES8_PATH
  if (const VoicesApi *api8 = load(TRACTWAVE_VOICES_LANES8_PATH))
    register_batches("lanes8", api8, avx2 ? Bound{8, eight} : Bound{4, sse});
  if (const VoicesApi *api4 = load(TRACTWAVE_VOICES_LANES4_PATH))
    register_batches("lanes4", api4, Bound{4, sse});
  // TRACTWAVE_BENCH_BASELINE=DIR: the same batches through the voices
  // libraries of another build (libtractwave_voices.so and the two capped
  // ones, copied into DIR), in the same run, for before-and-after figures.
  if (const char *dir = std::getenv("TRACTWAVE_BENCH_BASELINE")) {
    const std::string d(dir);
    if (const VoicesApi *api = load((d + "/libtractwave_voices.so").c_str()))
      register_batches("before/widest", api, widest);
    if (const VoicesApi *api =
            load((d + "/libtractwave_voices_lanes8.so").c_str()))
      register_batches("before/lanes8", api,
                       avx2 ? Bound{8, eight} : Bound{4, sse});
    if (const VoicesApi *api =
            load((d + "/libtractwave_voices_lanes4.so").c_str()))
      register_batches("before/lanes4", api, Bound{4, sse});
  }
#endif
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
