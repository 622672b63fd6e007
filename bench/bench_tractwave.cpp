// Cost of the engine per sample, through the public entry points as a host
// calls them. Run with the `bench` target; every figure is the median of
// repeated runs.
#include "tractwave.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

struct Voice {
  float R[25] = {}, L[25] = {}, nasal_R[16] = {}, nasal_L[16] = {};
  float phase = 0.0f;
};

const float kNeutral[TRACTWAVE_NUM_PARAMETERS] = {0.5f, 0.8f, 0.5f, 0.5f, 0.5f,
                                                  0.5f, 0.9f, 0.3f, 0.6f, 0.2f};

// Per-sample figures: ns_per_sample, and realtime_x, seconds of audio at 48 kHz
// rendered per second.
void count_samples(benchmark::State &state, double samples) {
  state.counters["ns_per_sample"] =
      benchmark::Counter(samples * 1e-9, benchmark::Counter::kIsRate |
                                             benchmark::Counter::kInvert);
  state.counters["realtime_x"] =
      benchmark::Counter(samples / 48000.0, benchmark::Counter::kIsRate);
}

void BM_chunk(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  Voice v;
  std::vector<float> out(n);
  for (auto _ : state) {
    synthesize_waveguide_chunk(n, kNeutral, v.R, v.L, v.nasal_R, v.nasal_L,
                               &v.phase, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  count_samples(state, double(state.iterations()) * n);
}
BENCHMARK(BM_chunk)->Arg(1)->Arg(32)->Arg(480)->Arg(4096);

// The engine alone over a fixed geometry, without the geometry step.
void BM_step(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  float oral[25], nasal[16], velum;
  compute_diameters_from_dofs(kNeutral, oral, nasal, &velum);
  Voice v;
  std::vector<float> out(n);
  for (auto _ : state) {
    step_waveguide_block(n, 260.0f, 0.8f, 0.77f, 0.2f, oral, nasal, velum,
                         0.75f, -0.85f, -0.7f, v.R, v.L, v.nasal_R, v.nasal_L,
                         &v.phase, out.data(), 48000.0f);
    benchmark::DoNotOptimize(out.data());
  }
  count_samples(state, double(state.iterations()) * n);
}
BENCHMARK(BM_step)->Arg(480);

void BM_geometry(benchmark::State &state) {
  float oral[25], nasal[16], velum;
  for (auto _ : state) {
    compute_diameters_from_dofs(kNeutral, oral, nasal, &velum);
    benchmark::DoNotOptimize(oral);
  }
}
BENCHMARK(BM_geometry);

// A voice that has fallen silent: the tube has rung down into (flushed)
// subnormals and beyond. Must cost no more than BM_chunk/480.
void BM_silent(benchmark::State &state) {
  Voice v;
  std::vector<float> out(480);
  float p[TRACTWAVE_NUM_PARAMETERS];
  for (int k = 0; k < 10; ++k)
    p[k] = kNeutral[k];
  for (int block = 0; block < 100; ++block)
    synthesize_waveguide_chunk(480, p, v.R, v.L, v.nasal_R, v.nasal_L, &v.phase,
                               out.data());
  p[TRACTWAVE_VOICING] = 0.0f;
  p[TRACTWAVE_BREATHINESS] = 0.0f;
  for (auto _ : state) {
    synthesize_waveguide_chunk(480, p, v.R, v.L, v.nasal_R, v.nasal_L, &v.phase,
                               out.data());
    benchmark::DoNotOptimize(out.data());
  }
  count_samples(state, double(state.iterations()) * 480);
}
BENCHMARK(BM_silent);

} // namespace

BENCHMARK_MAIN();
