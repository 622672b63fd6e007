// Real-time safety: once a thread has made its first call, no entry point
// allocates, frees or touches a mutex, whatever its arguments. The allocator
// and mutex functions are interposed in this executable (rt_interpose.c).
//
// Built twice: linked against the library at start-up, and loading it with
// dlopen (TW_DLOPEN_LIBRARY), where the per-thread record is dynamic
// thread-local storage that the loader sets up on a thread's first touch.
#include "rt_interpose.h"
#include "tractwave.h"

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
};

#ifdef TW_DLOPEN_LIBRARY
template <class Fn> void look_up(void *lib, const char *name, Fn &fn) {
  fn = reinterpret_cast<Fn>(dlsym(lib, name));
  if (fn == nullptr) {
    std::fprintf(stderr, "%s not found in %s\n", name, TW_DLOPEN_LIBRARY);
    std::abort();
  }
}

const Api &api() {
  static const Api loaded = [] {
    void *lib = dlopen(TW_DLOPEN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      std::fprintf(stderr, "dlopen: %s\n", dlerror());
      std::abort();
    }
    Api a;
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
  static const Api linked = {compute_diameters_from_dofs, step_waveguide_block,
                             synthesize_waveguide_chunk,
                             synthesize_waveguide_chunk_ex};
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

// Without this the test above could pass with interposition silently not in
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
