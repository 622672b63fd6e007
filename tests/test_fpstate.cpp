// The caller's floating-point environment survives every call: rounding
// mode, flush-to-zero and denormals-are-zero, exception masks, and exception
// flags that were already raised. A call may raise flags of its own; it must
// not clear the caller's.
#include "tractwave_voices.h"
#include "tw_test.h"

#include <cfenv>
#include <cstdint>
#include <limits>
#include <string>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <xmmintrin.h>
#define TW_X86 1
#endif

namespace {

// The control half of the environment, read straight from the registers so
// that bits <cfenv> does not expose (FTZ, DAZ, masks) are compared too.
struct Control {
  int rounding = 0;
  uint64_t simd = 0; // MXCSR without its flag bits, or FPCR on arm64
  uint64_t x87 = 0;  // x87 control word

  bool operator==(const Control &o) const {
    return rounding == o.rounding && simd == o.simd && x87 == o.x87;
  }
};

Control read_control() {
  Control c;
  c.rounding = std::fegetround();
#if defined(TW_X86)
  c.simd = _mm_getcsr() & ~0x3Fu;
#if defined(__GNUC__)
  unsigned short cw = 0;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  c.x87 = cw;
#endif
#elif defined(__aarch64__) && defined(__GNUC__)
  uint64_t fpcr = 0;
  __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
  c.simd = fpcr;
#endif
  return c;
}

// Flush-to-zero on or off: FTZ and DAZ in MXCSR, FZ in FPCR. Returns false
// where the platform has no such switch this test knows about.
bool set_flush(bool on) {
#if defined(TW_X86)
  const unsigned bits = 0x8040u; // FTZ (bit 15) and DAZ (bit 6)
  _mm_setcsr(on ? (_mm_getcsr() | bits) : (_mm_getcsr() & ~bits));
  return true;
#elif defined(__aarch64__) && defined(__GNUC__)
  uint64_t fpcr = 0;
  __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
  const uint64_t fz = uint64_t{1} << 24;
  fpcr = on ? (fpcr | fz) : (fpcr & ~fz);
  __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
  return true;
#else
  return !on;
#endif
}

std::string describe(const std::string &call, int rounding, bool flush,
                     int flags) {
  return call + ", rounding " + std::to_string(rounding) + ", flush " +
         std::to_string(flush) + ", flags set before " + std::to_string(flags);
}

struct Call {
  const char *name;
  void (*run)(tw::Voice &);
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();

const Call kCalls[] = {
    {"compute_diameters_from_dofs",
     [](tw::Voice &) {
       tw::Controls c;
       const tw::Params p = tw::uniform_params(0.3f);
       compute_diameters_from_dofs(p.data(), c.oral.data(), c.nasal.data(),
                                   &c.velum);
     }},
    {"step_waveguide_block",
     [](tw::Voice &v) {
       tw::Controls c(0.4f);
       c.amp = 0.9f;
       c.breathiness = 0.8f;
       c.velum = 0.3f;
       c.step(v, 700);
     }},
    {"step_waveguide_block, n 0",
     [](tw::Voice &v) { tw::Controls().step(v, 0); }},
    {"synthesize_waveguide_chunk",
     [](tw::Voice &v) {
       const tw::Params p = tw::uniform_params(0.5f);
       std::vector<float> out(480);
       synthesize_waveguide_chunk(480, p.data(), v.R.data(), v.L.data(),
                                  v.nasal_R.data(), v.nasal_L.data(), &v.phase,
                                  out.data());
     }},
    {"synthesize_waveguide_chunk_ex",
     [](tw::Voice &v) { v.render(tw::uniform_params(0.7f), 480, 44100.0f); }},
    // A NaN input takes the path that restores the thread's record.
    {"synthesize_waveguide_chunk_ex, NaN pitch",
     [](tw::Voice &v) {
       tw::Params p = tw::uniform_params(0.5f);
       p[TRACTWAVE_PITCH] = kNaN;
       v.render(p, 300);
     }},
    // The voices library: one voice, one over a geometry, and a batch whose
    // lanes include a NaN voice.
    {"tractwave_voice_render and _geometry",
     [](tw::Voice &) {
       alignas(64) static thread_local unsigned char voice[4096];
       if (tractwave_voice_size() > static_cast<int>(sizeof voice))
         return;
       tractwave_voice_init(voice);
       const tw::Params p = tw::uniform_params(0.4f);
       std::vector<float> out(480);
       tractwave_voice_render(voice, 480, p.data(), out.data(), 22050.0f);
       tw::Controls c(0.3f);
       tractwave_voice_render_geometry(
           voice, 480, 180.0f, 0.7f, 0.6f, 0.8f, c.oral.data(), c.nasal.data(),
           0.4f, 0.75f, -0.85f, -0.7f, out.data(), 48000.0f);
     }},
    {"tractwave_voices_render", [](tw::Voice &) {
       constexpr int kCount = 19;
       alignas(64) static thread_local unsigned char voices[kCount][4096];
       if (tractwave_voice_size() > 4096)
         return;
       void *ptrs[kCount];
       std::vector<float> p(TRACTWAVE_NUM_PARAMETERS * kCount, 0.5f),
           out(256 * kCount);
       for (int i = 0; i < kCount; ++i) {
         ptrs[i] = voices[i];
         tractwave_voice_init(voices[i]);
       }
       p[TRACTWAVE_NUM_PARAMETERS * 2 + TRACTWAVE_LIPS] = kNaN;
       tractwave_voices_render(ptrs, kCount, 256, p.data(), out.data(),
                               48000.0f);
     }}};

TEST(FloatingPointState, NoEntryPointChangesTheCallersEnvironment) {
  const int roundings[] = {
#ifdef FE_TONEAREST
      FE_TONEAREST,
#endif
#ifdef FE_UPWARD
      FE_UPWARD,
#endif
#ifdef FE_DOWNWARD
      FE_DOWNWARD,
#endif
#ifdef FE_TOWARDZERO
      FE_TOWARDZERO,
#endif
  };
  const int flag_sets[] = {0, FE_DIVBYZERO | FE_OVERFLOW,
                           FE_INVALID | FE_UNDERFLOW | FE_INEXACT,
                           FE_ALL_EXCEPT};
  int checked = 0;
  for (const Call &call : kCalls) {
    for (int rounding : roundings) {
      for (bool flush : {false, true}) {
        for (int flags : flag_sets) {
          // Each on a fresh thread, so that a thread's first call (which may
          // set up its record) is covered as well as later ones.
          tw::on_fresh_thread([&] {
            if (!set_flush(flush))
              return;
            ASSERT_EQ(std::fesetround(rounding), 0);
            std::feclearexcept(FE_ALL_EXCEPT);
            std::feraiseexcept(flags);
            const Control before = read_control();
            const std::string what =
                describe(call.name, rounding, flush, flags);
            tw::Voice v;
            for (int repeat = 0; repeat < 3; ++repeat) {
              call.run(v);
              EXPECT_TRUE(read_control() == before) << what;
              EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT) & flags, flags)
                  << what;
            }
            std::fesetenv(FE_DFL_ENV);
            set_flush(false);
            ++checked;
          });
        }
      }
    }
  }
  EXPECT_GT(checked, 0);
}

} // namespace
