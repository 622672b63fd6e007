// The per-thread record: every thread starts from the same initial state and
// no thread sees another's.
#include "tw_test.h"

#include <atomic>
#include <thread>

namespace {

std::vector<float> neutral_voice(int n) {
  tw::Voice v;
  return v.render(tw::uniform_params(0.5f), n);
}

TEST(Threads, FreshThreadsAgreeWhateverOthersDid) {
  std::vector<float> a, b, c;
  // This thread renders a different voice first; the new threads must not
  // notice.
  tw::Params busy = tw::uniform_params(0.8f);
  busy[TRACTWAVE_BREATHINESS] = 0.9f;
  tw::Voice background;
  background.render(busy, 3000);

  std::thread t1([&] { a = neutral_voice(2048); });
  std::thread t2([&] { b = neutral_voice(2048); });
  t1.join();
  t2.join();
  tw::on_fresh_thread([&] { c = neutral_voice(2048); });
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
}

TEST(Threads, ConcurrentThreadsDoNotInterfere) {
  std::vector<float> alone;
  tw::on_fresh_thread([&] { alone = neutral_voice(9600); });
  constexpr int kThreads = 4;
  std::vector<std::vector<float>> outs(kThreads);
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&outs, t] {
      // Small blocks, so that the threads' calls interleave.
      tw::Voice v;
      for (int i = 0; i < 9600 / 32; ++i) {
        const std::vector<float> part = v.render(tw::uniform_params(0.5f), 32);
        outs[t].insert(outs[t].end(), part.begin(), part.end());
      }
    });
  }
  for (std::thread &t : pool)
    t.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(outs[t], alone) << "thread " << t;
}

// Thread t's own voice: each thread renders something different (parameters,
// rate, block size, entry point), so that a record shared by mistake shows up
// as a changed sample.
std::vector<float> distinct_voice(int t) {
  tw::Voice v;
  std::vector<float> all;
  tw::Params p = tw::uniform_params(0.5f);
  p[TRACTWAVE_PITCH] = 0.1f * static_cast<float>(t);
  p[TRACTWAVE_BREATHINESS] = 0.15f * static_cast<float>(t % 4);
  p[TRACTWAVE_TONGUE_TIP] = t % 2 ? 0.2f : 0.6f;
  p[TRACTWAVE_VELUM] = t % 3 ? 0.0f : 0.7f;
  const int block = 17 + 40 * t;
  const float rate = t % 2 ? 44100.0f : 48000.0f;
  tw::Controls c;
  compute_diameters_from_dofs(p.data(), c.oral.data(), c.nasal.data(),
                              &c.velum);
  c.amp = 0.7f;
  c.breathiness = p[TRACTWAVE_BREATHINESS];
  c.rate = rate;
  while (all.size() < 12000) {
    const std::vector<float> part =
        t % 4 == 3 ? c.step(v, block) : v.render(p, block, rate);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

TEST(Threads, EightThreadsAtOnceEachMatchTheirRenderAlone) {
  constexpr int kThreads = 8;
  std::vector<std::vector<float>> alone(kThreads), together(kThreads);
  for (int t = 0; t < kThreads; ++t)
    tw::on_fresh_thread([&, t] { alone[t] = distinct_voice(t); });

  // Every thread waits at the gate until all have started, so that the
  // renders really overlap.
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&, t] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0)
        std::this_thread::yield();
      together[t] = distinct_voice(t);
    });
  }
  for (std::thread &th : pool)
    th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(together[t], alone[t]) << "thread " << t;
    for (int u = 0; u < t; ++u)
      EXPECT_NE(alone[t], alone[u]) << "threads " << u << " and " << t;
  }
}

TEST(Threads, VoicesOnOneThreadShareItsRecord) {
  // Documented behaviour: the second voice on a thread inherits the first
  // one's noise position and filter states.
  std::vector<float> second_on_shared, alone;
  tw::on_fresh_thread([&] {
    neutral_voice(500);
    second_on_shared = neutral_voice(500);
  });
  tw::on_fresh_thread([&] { alone = neutral_voice(500); });
  EXPECT_NE(second_on_shared, alone);
}

} // namespace
