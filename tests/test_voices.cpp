// The voices library against the four-function library: a voice in
// caller-owned memory must give exactly the samples that the per-thread path
// gives for the same calls on a new thread, whatever else is rendered
// around it.
#include "tractwave_voices.h"
#include "tw_test.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

namespace {

// Voices in one aligned allocation, as a host would keep them.
struct VoiceBlock {
  int count;
  int stride = tractwave_voice_size();
  void *memory;

  explicit VoiceBlock(int count_) : count(count_) {
    memory = std::aligned_alloc(tractwave_voice_alignment(),
                                static_cast<size_t>(stride) * count);
    for (int i = 0; i < count; ++i)
      tractwave_voice_init(at(i));
  }
  ~VoiceBlock() { std::free(memory); }
  VoiceBlock(const VoiceBlock &) = delete;
  VoiceBlock &operator=(const VoiceBlock &) = delete;
  void *at(int i) { return static_cast<char *>(memory) + i * stride; }
};

// A random scenario: parameter vectors that jump every block (now and then
// far outside 0 ... 1), random block sizes, one rate.
struct Scenario {
  float rate;
  std::vector<int> sizes;
  std::vector<tw::Params> params;
};

Scenario make_scenario(unsigned seed, int blocks) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-0.2f, 1.2f);
  std::uniform_int_distribution<int> wild(0, 9);
  std::uniform_int_distribution<int> size(1, 700);
  const float rates[] = {8001.0f,  22050.0f, 44100.0f,
                         48000.0f, 96000.0f, 192000.0f};
  Scenario s;
  s.rate = rates[seed % 6];
  for (int b = 0; b < blocks; ++b) {
    tw::Params p;
    for (float &x : p)
      x = wild(rng) == 0 ? value(rng) * 4.0f : value(rng);
    s.params.push_back(p);
    s.sizes.push_back(size(rng));
  }
  return s;
}

std::vector<float> reference_render(const Scenario &s) {
  std::vector<float> all;
  tw::on_fresh_thread([&] {
    tw::Voice v;
    for (size_t b = 0; b < s.sizes.size(); ++b) {
      const std::vector<float> out = v.render(s.params[b], s.sizes[b], s.rate);
      all.insert(all.end(), out.begin(), out.end());
    }
  });
  return all;
}

std::vector<float> voice_render(void *voice, const Scenario &s) {
  std::vector<float> all;
  for (size_t b = 0; b < s.sizes.size(); ++b) {
    std::vector<float> out(s.sizes[b]);
    tractwave_voice_render(voice, s.sizes[b], s.params[b].data(), out.data(),
                           s.rate);
    all.insert(all.end(), out.begin(), out.end());
  }
  return all;
}

TEST(Voices, SizeIsAWholeNumberOfAlignmentUnits) {
  const int size = tractwave_voice_size();
  const int alignment = tractwave_voice_alignment();
  EXPECT_GT(size, 0);
  EXPECT_GT(alignment, 0);
  EXPECT_EQ(alignment & (alignment - 1), 0) << "not a power of two";
  EXPECT_EQ(size % alignment, 0);
}

TEST(Voices, InitOverwritesEveryByteTheSameWay) {
  VoiceBlock a(1), b(1);
  std::memset(a.at(0), 0xA5, tractwave_voice_size());
  std::memset(b.at(0), 0x5A, tractwave_voice_size());
  tractwave_voice_init(a.at(0));
  tractwave_voice_init(b.at(0));
  EXPECT_EQ(std::memcmp(a.at(0), b.at(0), tractwave_voice_size()), 0);
}

TEST(Voices, AVoiceMatchesTheFourFunctionLibraryOnAFreshThread) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    const Scenario s = make_scenario(seed, 40);
    VoiceBlock v(1);
    EXPECT_EQ(voice_render(v.at(0), s), reference_render(s))
        << "seed " << seed << " rate " << s.rate;
  }
}

} // namespace

namespace {
TEST(Voices, BatchEqualsOneByOne) {
  for (int count = 1; count <= 33; ++count) {
    VoiceBlock batch(count), single(count);
    std::vector<void *> ptrs;
    for (int i = 0; i < count; ++i)
      ptrs.push_back(batch.at(i));
    std::mt19937 rng(count);
    std::uniform_real_distribution<float> value(-0.1f, 1.1f);
    for (int b = 0; b < 6; ++b) {
      const int n = 1 + static_cast<int>(rng() % 300);
      std::vector<float> params(count * 10), out_batch(count * n),
          out_single(count * n);
      for (float &x : params)
        x = value(rng);
      tractwave_voices_render(ptrs.data(), count, n, params.data(),
                              out_batch.data(), 44100.0f);
      for (int i = 0; i < count; ++i)
        tractwave_voice_render(single.at(i), n, params.data() + 10 * i,
                               out_single.data() + i * n, 44100.0f);
      ASSERT_EQ(out_batch, out_single) << count << " voices, block " << b;
    }
    for (int i = 0; i < count; ++i)
      ASSERT_EQ(std::memcmp(batch.at(i), single.at(i), tractwave_voice_size()), 0);
  }
}
} // namespace
