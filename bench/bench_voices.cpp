// Cost of the voices library per voice-sample, beside the per-thread path in
// the same run: one voice, and batches of 1 to 32 voices with distinct
// parameters at the widest vector width this processor offers and, through
// the capped builds of the same source (loaded like plugins), at 8 and 4
// lanes. Run with the `bench` target.
#include "tractwave.h"
#include "tractwave_voices.h"

#include <benchmark/benchmark.h>

#ifdef TRACTWAVE_VOICES_LANES8_PATH
#include <dlfcn.h>
#endif

#include <cstdio>
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

void batch(benchmark::State &state, const VoicesApi *api, int count) {
  Choir c(*api, count);
  for (auto _ : state) {
    api->batch(c.voices.data(), count, kBlock, c.params.data(), c.out.data(),
               48000.0f);
    benchmark::DoNotOptimize(c.out.data());
  }
  count_voice_samples(state, double(state.iterations()) * kBlock * count);
}

void register_batches(const char *width, const VoicesApi *api) {
  for (int count : {1, 4, 8, 16, 32})
    benchmark::RegisterBenchmark(
        ("BM_batch/" + std::string(width) + "/" + std::to_string(count))
            .c_str(),
        batch, api, count);
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
  register_batches("widest", &kLinked);
#ifdef TRACTWAVE_VOICES_LANES8_PATH
  if (const VoicesApi *eight = load(TRACTWAVE_VOICES_LANES8_PATH))
    register_batches("lanes8", eight);
  if (const VoicesApi *four = load(TRACTWAVE_VOICES_LANES4_PATH))
    register_batches("lanes4", four);
#endif
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
