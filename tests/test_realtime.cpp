// Real-time safety: once a thread has made its first call, no entry point
// allocates, frees or touches a mutex, whatever its arguments. The allocator
// and mutex functions are interposed in this executable (rt_interpose.c).
//
// Built twice: linked against the library at start-up, and loading it with
// dlopen (TW_DLOPEN_LIBRARY), where the per-thread record is dynamic
// thread-local storage that the loader sets up on a thread's first touch.
#include "rt_interpose.h"
#include "tractwave.h"
#include "tractwave_voices.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef TW_DLOPEN_LIBRARY
#include <dlfcn.h>
#endif

namespace {

struct Api {
  decltype(&compute_diameters_from_dofs) diameters = nullptr;
  decltype(&step_waveguide_block) step = nullptr;
  decltype(&synthesize_waveguide_chunk) chunk = nullptr;
  decltype(&synthesize_waveguide_chunk_ex) chunk_ex = nullptr;
  decltype(&tractwave_voice_size) voice_size = nullptr;
  decltype(&tractwave_voice_init) voice_init = nullptr;
  decltype(&tractwave_voice_render) voice_render = nullptr;
  decltype(&tractwave_voice_render_geometry) voice_geometry = nullptr;
  decltype(&tractwave_voices_render) voices_render = nullptr;
};

#ifdef TW_DLOPEN_LIBRARY
template <class Fn> void look_up(void *lib, const char *name, Fn &fn) {
  fn = reinterpret_cast<Fn>(dlsym(lib, name));
  if (fn == nullptr) {
    std::fprintf(stderr, "%s not found\n", name);
    std::abort();
  }
}

void *open_library(const char *path) {
  void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    std::abort();
  }
  return lib;
}

const Api &api() {
  static const Api loaded = [] {
    void *lib = open_library(TW_DLOPEN_LIBRARY);
    void *voices = open_library(TW_DLOPEN_VOICES_LIBRARY);
    Api a;
    look_up(voices, "tractwave_voice_size", a.voice_size);
    look_up(voices, "tractwave_voice_init", a.voice_init);
    look_up(voices, "tractwave_voice_render", a.voice_render);
    look_up(voices, "tractwave_voice_render_geometry", a.voice_geometry);
    look_up(voices, "tractwave_voices_render", a.voices_render);
    look_up(lib, "compute_diameters_from_dofs", a.diameters);
    look_up(lib, "step_waveguide_block", a.step);
    look_up(lib, "synthesize_waveguide_chunk", a.chunk);
    look_up(lib, "synthesize_waveguide_chunk_ex", a.chunk_ex);
    return a;
  }();
  return loaded;
}
constexpr bool kFirstCallMayAllocate = true;
#else
const Api &api() {
  static const Api linked = {
      compute_diameters_from_dofs, step_waveguide_block,
      synthesize_waveguide_chunk,  synthesize_waveguide_chunk_ex,
      tractwave_voice_size,        tractwave_voice_init,
      tractwave_voice_render,      tractwave_voice_render_geometry,
      tractwave_voices_render};
  return linked;
}
// Linked at start-up, the record sits in the static thread-local block that
// the C library sets up when it creates the thread.
constexpr bool kFirstCallMayAllocate = false;
#endif

// Runs fn with counting on and returns what it called.
rt_calls counted(const std::function<void()> &fn) {
  rt_reset();
  rt_count(1);
  fn();
  rt_count(0);
  return rt_calls_so_far();
}

struct Voice {
  std::array<float, TRACTWAVE_ORAL_SECTIONS> R{}, L{}, oral{};
  std::array<float, TRACTWAVE_NASAL_SECTIONS> nasal_R{}, nasal_L{}, nasal{};
  float phase = 0.0f, velum = 0.0f;
};

struct Case {
  std::string name;
  std::function<void(Voice &, float *out)> call;
};

// Every entry point, with block sizes from negative to large and with the
// inputs that take the unusual paths: turbulence, an open velum, the default
// rate, a backwards phase, and non-finite values that make the library
// restore the thread's record.
std::vector<Case> cases() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<Case> c;
  auto params = [](float tip, float velum, float breath) {
    std::array<float, TRACTWAVE_NUM_PARAMETERS> p;
    p.fill(0.5f);
    p[TRACTWAVE_TONGUE_TIP] = tip;
    p[TRACTWAVE_VELUM] = velum;
    p[TRACTWAVE_BREATHINESS] = breath;
    return p;
  };
  for (float tip : {0.5f, 0.1f, nan}) {
    c.push_back(
        {"diameters, tip " + std::to_string(tip), [=](Voice &v, float *) {
           const auto p = params(tip, 0.8f, 0.5f);
           api().diameters(p.data(), v.oral.data(), v.nasal.data(), &v.velum);
         }});
  }
  for (int n : {-7, 0, 1, 480, 4096}) {
    for (float rate : {48000.0f, 8000.0f, nan, 96000.0f}) {
      for (float f0 : {260.0f, -300.0f, nan}) {
        c.push_back({"step, n " + std::to_string(n) + ", rate " +
                         std::to_string(rate) + ", f0 " + std::to_string(f0),
                     [=](Voice &v, float *out) {
                       const auto p = params(0.1f, 0.8f, 0.7f);
                       api().diameters(p.data(), v.oral.data(), v.nasal.data(),
                                       &v.velum);
                       api().step(n, f0, 0.8f, 0.5f, 0.7f, v.oral.data(),
                                  v.nasal.data(), v.velum, 0.75f, -0.85f, -0.7f,
                                  v.R.data(), v.L.data(), v.nasal_R.data(),
                                  v.nasal_L.data(), &v.phase, out, rate);
                     }});
      }
    }
  }
  for (int n : {-1, 0, 480, 4096}) {
    for (float breath : {0.0f, 0.9f, nan}) {
      c.push_back({"chunk, n " + std::to_string(n) + ", breathiness " +
                       std::to_string(breath),
                   [=](Voice &v, float *out) {
                     const auto p = params(0.2f, 0.3f, breath);
                     api().chunk(n, p.data(), v.R.data(), v.L.data(),
                                 v.nasal_R.data(), v.nasal_L.data(), &v.phase,
                                 out);
                   }});
      c.push_back({"chunk_ex, n " + std::to_string(n) + ", breathiness " +
                       std::to_string(breath),
                   [=](Voice &v, float *out) {
                     const auto p = params(0.6f, 0.0f, breath);
                     api().chunk_ex(n, p.data(), v.R.data(), v.L.data(),
                                    v.nasal_R.data(), v.nasal_L.data(),
                                    &v.phase, out, 44100.0f);
                   }});
    }
  }
  return c;
}

TEST(RealTime, NoEntryPointAllocatesOrLocksAfterTheThreadsFirstCall) {
  const std::vector<Case> all = cases();
  std::thread([&] {
    std::vector<float> out(4096);
    Voice v;
    const rt_calls first = counted([&] { all.back().call(v, out.data()); });
    std::printf("first call on the thread: %d allocator, %d mutex calls\n",
                first.allocator, first.mutex);
    if (!kFirstCallMayAllocate) {
      EXPECT_EQ(first.allocator, 0);
      EXPECT_EQ(first.mutex, 0);
    }
    for (int round = 0; round < 2; ++round) {
      for (const Case &c : all) {
        const rt_calls later = counted([&] { c.call(v, out.data()); });
        EXPECT_EQ(later.allocator, 0) << c.name;
        EXPECT_EQ(later.mutex, 0) << c.name;
      }
    }
  }).join();
}

// Voices keep no per-thread state, so not even a thread's first call may
// allocate, however the library was loaded: voices live in memory the caller
// prepared before going real-time.
TEST(RealTime, VoicesNeverAllocateOrLock) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const int kVoices = 33;
  const int size = api().voice_size();
  std::vector<char> memory(static_cast<size_t>(size) * kVoices + 64);
  char *base = memory.data() +
               (64 - reinterpret_cast<uintptr_t>(memory.data()) % 64) % 64;
  std::vector<void *> voices;
  for (int i = 0; i < kVoices; ++i) {
    voices.push_back(base + static_cast<size_t>(i) * size);
    api().voice_init(voices.back());
  }
  std::vector<float> params(TRACTWAVE_NUM_PARAMETERS * kVoices, 0.5f);
  params[TRACTWAVE_NUM_PARAMETERS * 3 + TRACTWAVE_TONGUE_TIP] =
      0.1f; // turbulence
  params[TRACTWAVE_NUM_PARAMETERS * 5 + TRACTWAVE_PITCH] = nan;
  std::vector<float> out(4096 * kVoices);
  float oral[25], nasal[16];
  for (float &d : oral)
    d = 0.3f;
  for (float &d : nasal)
    d = 1.0f;
  std::thread([&] {
    for (int n : {4096, -3, 0, 1, 480}) {
      for (int count : {1, 5, 8, 16, kVoices}) {
        const rt_calls calls = counted([&] {
          api().voices_render(voices.data(), count, n, params.data(),
                              out.data(), 44100.0f);
          api().voice_render(voices[0], n, params.data() + 50, out.data(),
                             8000.0f);
          api().voice_geometry(voices[1], n, 200.0f, 0.8f, 0.5f, 0.7f, oral,
                               nasal, 0.4f, 0.75f, -0.85f, -0.7f, out.data(),
                               48000.0f);
        });
        EXPECT_EQ(calls.allocator, 0) << n << " samples, " << count;
        EXPECT_EQ(calls.mutex, 0) << n << " samples, " << count;
      }
    }
  }).join();
}

// Without this the tests above could pass with interposition silently not in
// effect.
TEST(RealTime, CountersSeeCallsMadeWhileCounting) {
  void *(*volatile allocate)(size_t) = std::malloc;
  void (*volatile release)(void *) = std::free;
  std::mutex m;
  const rt_calls seen = counted([&] {
    release(allocate(64));
    std::lock_guard<std::mutex> hold(m);
  });
  EXPECT_EQ(seen.allocator, 2);
  EXPECT_EQ(seen.mutex, 2);
  const rt_calls unseen = [&] {
    rt_reset();
    release(allocate(64));
    return rt_calls_so_far();
  }();
  EXPECT_EQ(unseen.allocator, 0);
}

} // namespace
