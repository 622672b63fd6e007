// libFuzzer target for the voices library: the input is decoded into calls
// on a pool of voices (init, a block of one voice from parameters or over a
// geometry, a batch of any subset of distinct voices, a byte-copy fork).
// Every call is replayed on a shadow pool one voice at a time, so besides
// what the sanitizers catch it checks that
// - a batch gives each voice exactly what it gives alone (samples and the
//   voice's whole memory), whatever the other voices in it hold;
// - n <= 0 or count <= 0 writes nothing;
// - a voice that has only seen sane input since its init gives samples that
//   are finite and within -0.95 ... 0.95.
// Voices hold all their state, so no thread is needed per input.
#include "tractwave.h"
#include "tractwave_voices.h"

#include "fuzz_input.h"

#include <array>
#include <new>
#include <vector>

namespace {

constexpr int kPool = 20;
constexpr int kOral = 25;
constexpr int kNasal = 16;

// Equal floats, or NaN in both: two NaNs from different paths may differ in
// their payload bits.
bool same_float(float a, float b) {
  return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b));
}

bool same_voice(const void *a, const void *b, int size) {
  const float *x = static_cast<const float *>(a);
  const float *y = static_cast<const float *>(b);
  for (int k = 0; k < size / 4; ++k)
    if (!same_float(x[k], y[k])) {
      std::fprintf(stderr,
                   "float %d of the voice: %g (%08x) against %g (%08x)\n", k,
                   x[k], bits_of(x[k]), y[k], bits_of(y[k]));
      return false;
    }
  return true;
}

struct Pool {
  int size = tractwave_voice_size();
  void *memory;
  bool sane[kPool];

  Pool()
      : memory(::operator new(static_cast<size_t>(size) * kPool,
                              std::align_val_t(tractwave_voice_alignment()))) {
    for (int i = 0; i < kPool; ++i) {
      tractwave_voice_init(at(i));
      sane[i] = true;
    }
  }
  ~Pool() {
    ::operator delete(memory, std::align_val_t(tractwave_voice_alignment()));
  }
  void *at(int i) const { return static_cast<char *>(memory) + i * size; }
};

struct Block {
  int n;
  float rate;
  bool sane_rate;
};

Block block(FuzzedDataProvider &in) {
  Block b;
  b.n = block_size(in);
  // Short blocks: what a batch can get wrong shows within a few hundred
  // samples, and long blocks are the per-thread target's business.
  if (b.n > 300)
    b.n = 1 + b.n % 300;
  b.rate = value(in, -96000.0f, 192000.0f);
  b.sane_rate = std::isnan(b.rate) || std::isfinite(b.rate);
  return b;
}

void check_samples(const float *out, int n, bool checked, const char *what) {
  for (int i = 0; checked && i < n; ++i)
    CHECK(std::isfinite(out[i]) && std::fabs(out[i]) <= 0.95f,
          "%s: sample %d is %g for sane input", what, i, out[i]);
}

void run(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  Pool pool, shadow;
  int calls = 0;
  while (in.remaining_bytes() > 0 && ++calls <= 16) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: { // init
      const int i = in.ConsumeIntegralInRange<int>(0, kPool - 1);
      tractwave_voice_init(pool.at(i));
      tractwave_voice_init(shadow.at(i));
      pool.sane[i] = true;
      break;
    }
    case 1: { // fork by byte copy
      const int from = in.ConsumeIntegralInRange<int>(0, kPool - 1);
      const int to = in.ConsumeIntegralInRange<int>(0, kPool - 1);
      if (from != to) {
        std::memcpy(pool.at(to), pool.at(from), pool.size);
        std::memcpy(shadow.at(to), shadow.at(from), pool.size);
        pool.sane[to] = pool.sane[from];
      }
      break;
    }
    case 2: { // one voice over an explicit geometry
      const int i = in.ConsumeIntegralInRange<int>(0, kPool - 1);
      const Block b = block(in);
      std::array<float, kOral> oral;
      std::array<float, kNasal> nasal;
      for (float &d : oral)
        d = value(in, 0.0f, 5.0f);
      for (float &d : nasal)
        d = value(in, 0.0f, 5.0f);
      float c[10];
      const float lo[10] = {-1000, -1, -1, -1, -0.1f, -1, -1, -1, 0, 0};
      const float hi[10] = {4000, 4, 2, 3, 1, 1, 1, 1, 0, 0};
      for (int k = 0; k < 8; ++k)
        c[k] = value(in, lo[k], hi[k]);
      bool ok = b.sane_rate && sane(c[0]) && sane(c[1]) && sane(c[2]) &&
                sane(c[3]) && sane(c[4]) && sane(c[5], 1.0f) &&
                sane(c[6], 1.0f) && sane(c[7], 1.0f);
      for (float d : oral)
        ok = ok && sane(d);
      for (float d : nasal)
        ok = ok && sane(d);
      const int n = b.n > 0 ? b.n : 0;
      std::vector<float> out(n + 1, 7.0f), out_shadow(n + 1, 7.0f);
      tractwave_voice_render_geometry(pool.at(i), b.n, c[0], c[1], c[2], c[3],
                                      oral.data(), nasal.data(), c[4], c[5],
                                      c[6], c[7], out.data(), b.rate);
      tractwave_voice_render_geometry(shadow.at(i), b.n, c[0], c[1], c[2], c[3],
                                      oral.data(), nasal.data(), c[4], c[5],
                                      c[6], c[7], out_shadow.data(), b.rate);
      CHECK(out[n] == 7.0f, "geometry n=%d wrote past its block", b.n);
      pool.sane[i] = pool.sane[i] && ok;
      check_samples(out.data(), n, pool.sane[i], "geometry");
      break;
    }
    default: { // a batch of distinct voices, or one voice
      const Block b = block(in);
      int count = in.ConsumeIntegralInRange<int>(-1, kPool);
      if (count == -1)
        count = in.ConsumeIntegral<int>() % 4 - 3; // an empty batch
      bool used[kPool] = {};
      std::vector<int> which;
      for (int j = 0; j < count; ++j) {
        int i = in.ConsumeIntegralInRange<int>(0, kPool - 1);
        while (used[i])
          i = (i + 1) % kPool;
        used[i] = true;
        which.push_back(i);
      }
      const int voices = count > 0 ? count : 0;
      const int n = b.n > 0 ? b.n : 0;
      std::vector<float> params(static_cast<size_t>(voices) *
                                TRACTWAVE_NUM_PARAMETERS);
      for (float &x : params)
        x = value(in, -0.5f, 1.5f);
      std::vector<void *> ptrs;
      for (int i : which)
        ptrs.push_back(pool.at(i));
      const size_t samples = static_cast<size_t>(voices) * n;
      std::vector<float> out(samples + 1, 7.0f), alone(n + 1, 7.0f);
      std::vector<unsigned char> before(static_cast<size_t>(pool.size) * kPool);
      std::memcpy(before.data(), pool.memory, before.size());
      if (count == 1 && in.ConsumeBool())
        tractwave_voice_render(ptrs[0], b.n, params.data(), out.data(), b.rate);
      else
        tractwave_voices_render(ptrs.data(), count, b.n, params.data(),
                                out.data(), b.rate);
      CHECK(out[samples] == 7.0f, "batch of %d, n=%d wrote past its blocks",
            count, b.n);
      if (b.n <= 0 || count <= 0) {
        CHECK(std::memcmp(before.data(), pool.memory, before.size()) == 0,
              "an empty batch (%d voices, n=%d) changed a voice", count, b.n);
        for (float x : out)
          CHECK(x == 7.0f, "an empty batch wrote output");
        break;
      }
      for (int j = 0; j < voices; ++j) {
        const int i = which[j];
        const float *p = params.data() + TRACTWAVE_NUM_PARAMETERS * j;
        tractwave_voice_render(shadow.at(i), n, p, alone.data(), b.rate);
        for (int t = 0; t < n; ++t)
          CHECK(same_float(out[static_cast<size_t>(j) * n + t], alone[t]),
                "voice %d of a batch of %d, sample %d: %g alone, %g in the "
                "batch",
                i, count, t, alone[t], out[static_cast<size_t>(j) * n + t]);
        bool ok = b.sane_rate;
        for (int k = 0; k < TRACTWAVE_NUM_PARAMETERS; ++k)
          ok = ok && sane(p[k]);
        pool.sane[i] = pool.sane[i] && ok;
        check_samples(out.data() + static_cast<size_t>(j) * n, n, pool.sane[i],
                      "batch");
      }
      break;
    }
    }
  }
  for (int i = 0; i < kPool; ++i)
    CHECK(same_voice(pool.at(i), shadow.at(i), pool.size),
          "voice %d differs from its shadow rendered alone", i);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  run(data, size);
  return 0;
}
