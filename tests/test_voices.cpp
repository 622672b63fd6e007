// The voices library against the four-function library: a voice in
// caller-owned memory must give exactly the samples that the per-thread path
// gives for the same calls on a new thread, whatever else is rendered around
// it, alone or in a batch.
#include "tractwave_voices.h"
#include "tw_test.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The same bits, or NaN in both (a NaN's payload may depend on the order of
// operands, which compilers choose).
bool same_float(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Voices in one aligned allocation, as a host would keep them.
class VoiceBlock {
public:
  explicit VoiceBlock(int count)
      : count_(count), stride_(tractwave_voice_size()),
        memory_(::operator new(static_cast<size_t>(stride_) * count,
                               std::align_val_t(tractwave_voice_alignment()))) {
    for (int i = 0; i < count; ++i)
      tractwave_voice_init(at(i));
  }
  ~VoiceBlock() {
    ::operator delete(memory_, std::align_val_t(tractwave_voice_alignment()));
  }
  VoiceBlock(const VoiceBlock &) = delete;
  VoiceBlock &operator=(const VoiceBlock &) = delete;

  void *at(int i) { return static_cast<char *>(memory_) + i * stride_; }
  std::vector<void *> pointers() {
    std::vector<void *> p;
    for (int i = 0; i < count_; ++i)
      p.push_back(at(i));
    return p;
  }
  std::vector<unsigned char> bytes(int i) {
    const unsigned char *b = static_cast<const unsigned char *>(at(i));
    return std::vector<unsigned char>(b, b + stride_);
  }

private:
  int count_, stride_;
  void *memory_;
};

// One block of a scenario: the parameter path or an explicit geometry.
struct Block {
  int n;
  tw::Params params;
  bool geometry;
  tw::Controls controls;
};

// Parameters that jump every block (now and then far outside 0 ... 1), block
// sizes from 1 to 4096, and now and then a block over an explicit geometry
// with narrow sections (turbulence) and an open velum.
std::vector<Block> make_scenario(std::mt19937 &rng, int blocks) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<Block> s;
  for (int b = 0; b < blocks; ++b) {
    Block block;
    const float r = unit(rng);
    block.n = r < 0.05f   ? 4096
              : r < 0.15f ? 1 + static_cast<int>(unit(rng) * 4095.0f)
                          : 1 + static_cast<int>(unit(rng) * 400.0f);
    for (float &x : block.params)
      x = unit(rng) < 0.1f ? (unit(rng) - 0.5f) * 8.0f
                           : unit(rng) * 1.4f - 0.2f;
    block.geometry = unit(rng) < 0.3f;
    for (float &d : block.controls.oral)
      d = unit(rng) < 0.2f ? unit(rng) * 0.8f : unit(rng) * 4.0f;
    for (float &d : block.controls.nasal)
      d = unit(rng) * 3.0f;
    block.controls.f0 = unit(rng) * 600.0f - 50.0f;
    block.controls.amp = unit(rng) * 2.0f;
    block.controls.mix = unit(rng) * 1.2f - 0.1f;
    block.controls.breathiness = unit(rng) < 0.3f ? 0.0f : unit(rng) * 1.4f;
    block.controls.velum = unit(rng) * 0.8f;
    block.controls.glottal = unit(rng) * 1.6f - 0.8f;
    block.controls.lip = -unit(rng);
    block.controls.nostril = -unit(rng);
    s.push_back(block);
  }
  return s;
}

// The four-function library on a thread of its own.
std::vector<float> reference_render(const std::vector<Block> &s, float rate) {
  std::vector<float> all;
  tw::on_fresh_thread([&] {
    tw::Voice v;
    for (const Block &b : s) {
      tw::Controls c = b.controls;
      c.rate = rate;
      const std::vector<float> out =
          b.geometry ? c.step(v, b.n) : v.render(b.params, b.n, rate);
      all.insert(all.end(), out.begin(), out.end());
    }
  });
  return all;
}

void render_block(void *voice, const Block &b, float *out, float rate) {
  const tw::Controls &c = b.controls;
  if (b.geometry)
    tractwave_voice_render_geometry(
        voice, b.n, c.f0, c.amp, c.mix, c.breathiness, c.oral.data(),
        c.nasal.data(), c.velum, c.glottal, c.lip, c.nostril, out, rate);
  else
    tractwave_voice_render(voice, b.n, b.params.data(), out, rate);
}

std::vector<float> voice_render(void *voice, const std::vector<Block> &s,
                                float rate) {
  std::vector<float> all;
  for (const Block &b : s) {
    std::vector<float> out(b.n);
    render_block(voice, b, out.data(), rate);
    all.insert(all.end(), out.begin(), out.end());
  }
  return all;
}

const float kRates[] = {8001.0f,  11025.0f, 22050.0f, 44100.0f,
                        48000.0f, 96000.0f, 192000.0f};

TEST(VoiceMemory, SizeIsAWholeNumberOfAlignmentUnits) {
  const int size = tractwave_voice_size();
  const int alignment = tractwave_voice_alignment();
  EXPECT_GT(size, 0);
  EXPECT_GE(alignment, 16);
  EXPECT_EQ(alignment & (alignment - 1), 0) << "not a power of two";
  EXPECT_EQ(size % alignment, 0);
}

TEST(VoiceMemory, InitOverwritesEveryByteTheSameWay) {
  VoiceBlock a(1), b(1);
  std::memset(a.at(0), 0xA5, tractwave_voice_size());
  std::memset(b.at(0), 0x5A, tractwave_voice_size());
  tractwave_voice_init(a.at(0));
  tractwave_voice_init(b.at(0));
  EXPECT_EQ(a.bytes(0), b.bytes(0));
}

TEST(VoiceMemory, EmptyCallsTouchNothing) {
  VoiceBlock v(2);
  const tw::Params p = tw::uniform_params(0.5f);
  float out[7];
  tractwave_voice_render(v.at(0), 7, p.data(), out, 48000.0f);
  const std::vector<unsigned char> before = v.bytes(0);
  float sentinel[4] = {7.0f, 7.0f, 7.0f, 7.0f};
  void *const voices[2] = {v.at(0), v.at(1)};
  for (int n : {0, -1, -100000}) {
    tractwave_voice_render(v.at(0), n, p.data(), sentinel, 48000.0f);
    tw::Controls c;
    tractwave_voice_render_geometry(
        v.at(0), n, c.f0, 1.0f, c.mix, 0.5f, c.oral.data(), c.nasal.data(),
        0.3f, c.glottal, c.lip, c.nostril, sentinel, 48000.0f);
    tractwave_voices_render(voices, 2, n, p.data(), sentinel, 48000.0f);
    tractwave_voices_render(voices, n, 4, p.data(), sentinel, 48000.0f);
  }
  EXPECT_EQ(v.bytes(0), before);
  for (float x : sentinel)
    EXPECT_EQ(x, 7.0f);
}

// The promise the library is built on, over random scenarios at every rate.
TEST(VoiceIdentity, AVoiceMatchesTheFourFunctionLibraryOnAFreshThread) {
  int scenarios = 0;
  for (unsigned seed = 1; seed <= 28; ++seed) {
    std::mt19937 rng(seed);
    const float rate = kRates[seed % 7];
    const std::vector<Block> s = make_scenario(rng, 30);
    VoiceBlock v(1);
    ASSERT_EQ(voice_render(v.at(0), s, rate), reference_render(s, rate))
        << "seed " << seed << " rate " << rate;
    ++scenarios;
  }
  std::printf("%d scenarios identical\n", scenarios);
}

// A batch runs its voices in vector lanes; each must still give exactly what
// it gives alone on a fresh thread of the four-function library.
TEST(VoiceIdentity, EveryVoiceOfABatchMatchesTheFourFunctionLibrary) {
  for (int count : {3, 16, 21}) {
    std::mt19937 rng(100 + count);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float rate = kRates[count % 7];
    std::vector<std::vector<Block>> scenarios;
    for (int i = 0; i < count; ++i)
      scenarios.push_back(make_scenario(rng, 12));
    // A batch shares its block length: every voice takes voice 0's.
    for (int i = 0; i < count; ++i)
      for (size_t b = 0; b < scenarios[i].size(); ++b) {
        scenarios[i][b].n = scenarios[0][b].n;
        scenarios[i][b].geometry = false;
      }
    VoiceBlock voices(count);
    std::vector<void *> ptrs = voices.pointers();
    std::vector<std::vector<float>> got(count);
    for (size_t b = 0; b < scenarios[0].size(); ++b) {
      const int n = scenarios[0][b].n;
      std::vector<float> params, out(static_cast<size_t>(count) * n);
      for (int i = 0; i < count; ++i)
        params.insert(params.end(), scenarios[i][b].params.begin(),
                      scenarios[i][b].params.end());
      tractwave_voices_render(ptrs.data(), count, n, params.data(), out.data(),
                              rate);
      for (int i = 0; i < count; ++i)
        got[i].insert(got[i].end(), out.begin() + i * n,
                      out.begin() + (i + 1) * n);
    }
    for (int i = 0; i < count; ++i)
      ASSERT_EQ(got[i], reference_render(scenarios[i], rate))
          << "voice " << i << " of " << count;
  }
}

TEST(VoiceBatch, EqualsOneByOneForEveryCountUpTo33) {
  for (int count = 1; count <= 33; ++count) {
    VoiceBlock batch(count), single(count);
    std::vector<void *> ptrs = batch.pointers();
    std::mt19937 rng(count);
    std::uniform_real_distribution<float> value(-0.1f, 1.1f);
    for (int b = 0; b < 5; ++b) {
      const int n = 1 + static_cast<int>(rng() % 300);
      std::vector<float> params(count * TRACTWAVE_NUM_PARAMETERS),
          out_batch(count * n), out_single(count * n);
      for (float &x : params)
        x = value(rng);
      tractwave_voices_render(ptrs.data(), count, n, params.data(),
                              out_batch.data(), 44100.0f);
      for (int i = 0; i < count; ++i)
        tractwave_voice_render(single.at(i), n,
                               params.data() + TRACTWAVE_NUM_PARAMETERS * i,
                               out_single.data() + i * n, 44100.0f);
      ASSERT_EQ(out_batch, out_single) << count << " voices, block " << b;
    }
    for (int i = 0; i < count; ++i)
      ASSERT_EQ(batch.bytes(i), single.bytes(i)) << "voice " << i;
  }
}

// A batch whose voices all step forward within a cycle wraps its phase by a
// shortcut. Lanes stepping backwards, some fast enough (-2470 Hz) to wrap
// within a few dozen samples, and voices turned from backwards to forwards
// with their phase still negative, must wrap as they do alone.
TEST(VoiceBatch, BackwardAndForwardStepsInOneBatchMatchAlone) {
  const int count = 16, n = 700;
  VoiceBlock batch(count), single(count);
  std::vector<void *> ptrs = batch.pointers();
  std::vector<float> params(count * TRACTWAVE_NUM_PARAMETERS, 0.5f);
  std::vector<float> out_batch(count * n), out_single(count * n);
  for (float pitch : {-0.6f, 0.3f, -6.7f, 0.9f, -0.4f, 0.1f}) {
    for (int i = 0; i < count; ++i)
      params[TRACTWAVE_NUM_PARAMETERS * i + TRACTWAVE_PITCH] =
          i % 3 == 0 ? 0.2f : pitch; // some lanes always forward
    tractwave_voices_render(ptrs.data(), count, n, params.data(),
                            out_batch.data(), 48000.0f);
    for (int i = 0; i < count; ++i)
      tractwave_voice_render(single.at(i), n,
                             params.data() + TRACTWAVE_NUM_PARAMETERS * i,
                             out_single.data() + i * n, 48000.0f);
    ASSERT_EQ(out_batch, out_single) << "pitch " << pitch;
  }
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(batch.bytes(i), single.bytes(i)) << "voice " << i;
}

// The order of the voices in a batch, or which voices share it, changes
// nothing for any of them.
TEST(VoiceBatch, OrderAndCompanyChangeNothing) {
  const int count = 19;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> value(0.0f, 1.0f);
  std::vector<float> params(count * TRACTWAVE_NUM_PARAMETERS);
  for (float &x : params)
    x = value(rng);
  VoiceBlock forward(count), backward(count);
  std::vector<void *> f = forward.pointers(), r;
  std::vector<float> params_r;
  for (int i = count - 1; i >= 0; --i) {
    r.push_back(backward.at(i));
    params_r.insert(params_r.end(),
                    params.begin() + TRACTWAVE_NUM_PARAMETERS * i,
                    params.begin() + TRACTWAVE_NUM_PARAMETERS * (i + 1));
  }
  std::vector<float> out_f(count * 333), out_r(count * 333);
  tractwave_voices_render(f.data(), count, 333, params.data(), out_f.data(),
                          48000.0f);
  tractwave_voices_render(r.data(), count, 333, params_r.data(), out_r.data(),
                          48000.0f);
  for (int i = 0; i < count; ++i)
    EXPECT_TRUE(std::equal(out_f.begin() + 333 * i,
                           out_f.begin() + 333 * (i + 1),
                           out_r.begin() + 333 * (count - 1 - i)))
        << "voice " << i;
}

// The fault that motivates the library: on one thread, a voice driven hard
// leaves filter states behind that a new voice of the four-function library
// inherits. Voices of this library never share anything.
TEST(VoiceIndependence, AHardDrivenVoiceLeavesNothingForTheNext) {
  tw::Params loud = tw::uniform_params(0.5f);
  loud[TRACTWAVE_VOICING] = 1000.0f;
  const tw::Params normal = tw::uniform_params(0.5f);

  std::vector<float> fresh;
  tw::on_fresh_thread([&] { fresh = tw::Voice().render(normal, 960); });

  VoiceBlock v(2);
  std::vector<float> scratch(480);
  tractwave_voice_render(v.at(0), 480, loud.data(), scratch.data(), 48000.0f);
  std::vector<float> next(960);
  tractwave_voice_render(v.at(1), 960, normal.data(), next.data(), 48000.0f);
  EXPECT_EQ(next, fresh);
}

TEST(VoiceIndependence, InterleavedVoicesEachMatchTheirSoloRender) {
  std::mt19937 rng(9);
  const std::vector<Block> a = make_scenario(rng, 25);
  const std::vector<Block> b = make_scenario(rng, 25);
  VoiceBlock v(2);
  std::vector<float> got_a, got_b;
  for (size_t k = 0; k < a.size(); ++k) {
    std::vector<float> out_a(a[k].n), out_b(b[k].n);
    render_block(v.at(0), a[k], out_a.data(), 48000.0f);
    render_block(v.at(1), b[k], out_b.data(), 48000.0f);
    got_a.insert(got_a.end(), out_a.begin(), out_a.end());
    got_b.insert(got_b.end(), out_b.begin(), out_b.end());
  }
  EXPECT_EQ(got_a, reference_render(a, 48000.0f));
  EXPECT_EQ(got_b, reference_render(b, 48000.0f));
}

// A byte copy is a fork: both continue from the same state, independently.
TEST(VoiceFork, AByteCopyContinuesLikeTheOriginal) {
  std::mt19937 rng(11);
  const std::vector<Block> before = make_scenario(rng, 10);
  const std::vector<Block> after = make_scenario(rng, 10);
  VoiceBlock v(3);
  voice_render(v.at(0), before, 44100.0f);
  std::memcpy(v.at(1), v.at(0), tractwave_voice_size());
  const std::vector<float> original = voice_render(v.at(0), after, 44100.0f);
  // The original going on does not move the copy.
  std::memcpy(v.at(2), v.at(1), tractwave_voice_size());
  const std::vector<float> fork = voice_render(v.at(1), after, 44100.0f);
  EXPECT_EQ(fork, original);
  EXPECT_EQ(v.bytes(1), v.bytes(0));

  // Undo: the snapshot taken before rewinds the voice exactly.
  std::memcpy(v.at(0), v.at(2), tractwave_voice_size());
  EXPECT_EQ(voice_render(v.at(0), after, 44100.0f), original);
}

// Inputs at the edges of single precision, where a batch could part from a
// voice alone in the sign of a zero or in how a subnormal counts: the fuzzer
// found both (a velum so wide that the junction pressure underflows to -0,
// and a voice mix of minus the smallest subnormal, which is out of range
// and so means fully voiced).
TEST(VoiceBatch, MatchesAloneAtTheEdgesOfSinglePrecision) {
  const float subnormal = -std::numeric_limits<float>::denorm_min();
  const tw::Params edges[] = {
      {0.63127f, 0.251304f, 1.1559f, 4.23793e-29f, 0.523885f, 5.12851e-17f,
       1.20791f, 2.66924e+19f, 0.381624f, 0.304463f},
      {1.3162f, 1.3045f, 0.1734f, -0.0619f, 0.2030f, 0.3933f, subnormal,
       0.4397f, -0.4396f, -0.0998f},
      {0.5f, 1e6f, -1e6f, 1e6f, 0.0f, 1e6f, 1.0f, 1e6f, 1e6f, 1e6f},
      {-1e6f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -1e6f}};
  const int count = 16;
  for (float rate : {3.4e38f, 44100.0f}) {
    VoiceBlock batch(count), alone(1);
    std::vector<void *> ptrs = batch.pointers();
    std::vector<float> params;
    for (int i = 0; i < count; ++i)
      params.insert(params.end(), edges[i % 4].begin(), edges[i % 4].end());
    std::vector<float> out(count * 456), solo(456);
    tractwave_voices_render(ptrs.data(), count, 456, params.data(), out.data(),
                            rate);
    for (int i = 0; i < 4; ++i) {
      tractwave_voice_init(alone.at(0));
      tractwave_voice_render(alone.at(0), 456, edges[i].data(), solo.data(),
                             rate);
      for (int t = 0; t < 456; ++t)
        ASSERT_TRUE(same_float(out[456 * i + t], solo[t]))
            << "edge " << i << " at " << rate << " Hz, sample " << t;
      // The voice's memory too: a zero's sign shows there first.
      const float *a = static_cast<const float *>(batch.at(i));
      const float *b = static_cast<const float *>(alone.at(0));
      for (int k = 0; k < tractwave_voice_size() / 4; ++k)
        ASSERT_TRUE(same_float(a[k], b[k]))
            << "edge " << i << " at " << rate << " Hz, voice float " << k;
    }
  }
}

// A NaN spoils its own voice and nothing else; a fresh init brings the voice
// back to a new voice's sound.
TEST(VoiceIsolation, ANaNStaysInItsVoice) {
  const int count = 9;
  VoiceBlock batch(count), solo(count);
  std::vector<void *> ptrs = batch.pointers();
  std::vector<float> params(count * TRACTWAVE_NUM_PARAMETERS, 0.5f),
      out(count * 256), alone(256);
  params[4 * TRACTWAVE_NUM_PARAMETERS + TRACTWAVE_TONGUE_BODY] = kNaN;
  tractwave_voices_render(ptrs.data(), count, 256, params.data(), out.data(),
                          48000.0f);
  params[4 * TRACTWAVE_NUM_PARAMETERS + TRACTWAVE_TONGUE_BODY] = 0.5f;
  tractwave_voices_render(ptrs.data(), count, 256, params.data(), out.data(),
                          48000.0f);
  for (int i = 0; i < count; ++i) {
    tractwave_voice_render(solo.at(i), 256, params.data(), alone.data(),
                           48000.0f);
    tractwave_voice_render(solo.at(i), 256, params.data(), alone.data(),
                           48000.0f);
    const std::vector<float> got(out.begin() + 256 * i,
                                 out.begin() + 256 * (i + 1));
    if (i == 4) {
      EXPECT_TRUE(std::isnan(got[100])) << "the spoilt voice stays spoilt";
    } else {
      EXPECT_EQ(got, alone) << "voice " << i;
    }
  }
  tractwave_voice_init(batch.at(4));
  tractwave_voice_render(batch.at(4), 256, params.data(), out.data(), 48000.0f);
  tractwave_voice_init(solo.at(0));
  tractwave_voice_render(solo.at(0), 256, params.data(), alone.data(),
                         48000.0f);
  EXPECT_TRUE(std::equal(alone.begin(), alone.end(), out.begin()));
}

// An infinite input spoils the voice's record; like a thread's record, it is
// restored before the voice's next block, so the voice goes on exactly as
// the four-function library does after the same calls.
TEST(VoiceIsolation, ANonFiniteRecordIsRestoredAsOnAThread) {
  std::vector<Block> s(3);
  for (Block &b : s) {
    b.n = 300;
    b.params = tw::uniform_params(0.5f);
    b.geometry = false;
  }
  s[1].params[TRACTWAVE_VELUM] = std::numeric_limits<float>::infinity();
  VoiceBlock v(1);
  const std::vector<float> got = voice_render(v.at(0), s, 48000.0f);
  const std::vector<float> want = reference_render(s, 48000.0f);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_TRUE(got[i] == want[i] ||
                (std::isnan(got[i]) && std::isnan(want[i])))
        << "sample " << i << ": " << got[i] << " against " << want[i];
}

} // namespace
