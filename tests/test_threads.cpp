// The per-thread record: every thread starts from the same initial state and
// no thread sees another's.
#include "tw_test.h"

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
