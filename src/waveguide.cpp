// tractwave: the whole library.
//
// Sections follow the signal: geometry -> engine state -> lanes and math
// kernels -> source and noise -> tube -> block driver -> entry points.
// Everything in the signal path is single precision and evaluated in the
// order written; the build forbids multiply-add contraction on x86-64 so that
// results do not depend on the optimiser.
//
// The engine exists twice over one algorithm: a vector form, the default
// wherever the compiler has vector extensions, and a plain scalar form that
// uses the C library's math functions (TRACTWAVE_PLAIN), kept as the
// reference the vector form is tested against. Every vector lane does exactly
// the scalar arithmetic in the same order, so the two differ only where the
// math kernels round differently.

#include "tractwave.h"

#include <math.h>
#include <stdint.h>

#if (defined(__GNUC__) || defined(__clang__)) && !defined(TRACTWAVE_PLAIN)
#define TRACTWAVE_VECTOR 1
#endif

// Wider lanes are chosen at run time on x86-64. GCC's Windows targets do not
// realign the stack for 32-byte spills, so they keep to SSE2 there.
#if defined(TRACTWAVE_VECTOR) && defined(__x86_64__) &&                        \
    (!defined(_WIN32) || defined(__clang__))
#define TRACTWAVE_WIDE_X86 1
#include <cpuid.h>
#define TW_ALIGN alignas(64)
#else
#define TW_ALIGN alignas(16)
#endif

#if defined(__GNUC__) || defined(__clang__)
#define TW_UNROLL_ALL _Pragma("GCC unroll 32")
#else
#define TW_UNROLL_ALL
#endif

namespace {

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr int kNasal = TRACTWAVE_NASAL_SECTIONS;

// Element-wise copies, written as loops: the library calls no memcpy.
void copy_floats(float *to, const float *from, int count) {
  for (int k = 0; k < count; ++k)
    to[k] = from[k];
}

void zero_floats(float *x, int count) {
  for (int k = 0; k < count; ++k)
    x[k] = 0.0f;
}

// ---------------------------------------------------------------------------
// Geometry

constexpr float RESTING_ORAL[kOral] = {0.6f, 0.7f, 0.8f, 1.0f, 1.2f, 1.4f, 1.6f,
                                       1.8f, 2.0f, 2.1f, 2.1f, 2.0f, 1.9f, 1.9f,
                                       2.0f, 2.1f, 2.2f, 2.1f, 1.9f, 1.7f, 1.6f,
                                       1.6f, 1.8f, 2.0f, 2.0f};

constexpr float RESTING_NASAL[kNasal] = {1.2f, 1.4f, 1.6f, 1.8f, 1.9f, 2.0f,
                                         2.0f, 1.9f, 1.8f, 1.7f, 1.5f, 1.3f,
                                         1.1f, 0.9f, 0.7f, 0.5f};

void add_offset(float *d, int first, int last, float offset) {
  TW_UNROLL_ALL
  for (int k = first; k <= last; ++k)
    d[k] = d[k] + offset;
}

void shape_tract(const float *p, float *oral_out, float *nasal_out,
                 float *velum) {
  // Built in a local array and written out once: the caller's arrays might
  // alias nothing, but the compiler cannot know that.
  const float pharynx = p[TRACTWAVE_PHARYNX];
  const float larynx = p[TRACTWAVE_LARYNX];
  const float body = p[TRACTWAVE_TONGUE_BODY];
  const float tip = p[TRACTWAVE_TONGUE_TIP];
  const float lips = p[TRACTWAVE_LIPS];
  const float velum_opening = p[TRACTWAVE_VELUM] * 0.55f;

  float oral[kOral];
  TW_UNROLL_ALL
  for (int k = 0; k < kOral; ++k)
    oral[k] = RESTING_ORAL[k];

  // Offsets are added in this order; where bands overlap (sections 1-4, 9 and
  // 18) the earlier articulator's offset goes in first.
  add_offset(oral, 1, 9, (0.5f - pharynx) * 0.8f);
  add_offset(oral, 0, 4, (larynx - 0.5f) * 0.4f);
  add_offset(oral, 9, 12, 0.7f * (body - 0.5f));
  add_offset(oral, 13, 18, (body - 0.5f) * -0.9f);

  // The tip has two regimes with a deliberate step at 0.35: a gentle shift
  // above, a strong closure (down to -1.5 at 0) below.
  const float tip_offset =
      tip < 0.35f ? ((0.35f - tip) / -0.35f) * 1.5f : (tip - 0.5f) * 0.5f;
  add_offset(oral, 18, 21, tip_offset);

  const float lip = lips * 2.2f;
  oral[21] = oral[21] * 0.75f + 0.25f * lip;
  oral[22] = oral[22] * 0.5f + 0.5f * lip;
  oral[23] = oral[23] * 0.25f + 0.75f * lip;
  oral[24] = oral[24] * 0.0f + lip;

  // Both tests are strict so that a NaN passes through instead of being
  // mistaken for a valid width.
  TW_UNROLL_ALL
  for (int k = 0; k < kOral; ++k) {
    float d = oral[k];
    d = d < 0.05f ? 0.05f : d;
    d = d > 4.5f ? 4.5f : d;
    oral_out[k] = d;
  }
  TW_UNROLL_ALL
  for (int k = 0; k < kNasal; ++k)
    nasal_out[k] = RESTING_NASAL[k];
  *velum = velum_opening;
}

// ---------------------------------------------------------------------------
// Engine state

// Everything a voice carries between blocks that the caller does not pass in.
// Plain data with a constant initialiser, so a thread's copy is filled from
// the TLS template by the platform, with none of our code running.
struct tract_state {
  uint32_t rng_state;
  float noise_lp1;
  float noise_lp2;
  float prev_glottal_raw;
  float prev_glottal_dc;
  float lip_refl_filter;
  float nasal_refl_filter;
  float prev_R[kOral];
  float prev_L[kOral];
  float prev_nasal_R[kNasal];
  float prev_nasal_L[kNasal];
  float prev_rad_sample;
  float rad_aperture_state;
};

constexpr uint32_t kNoiseSeed = 0x12345678u;

#ifndef TRACTWAVE_ENGINE_ONLY
// A thread's record, and what the thread found out about the processor on
// its first block (0 until then).
struct thread_slot {
  tract_state record;
  uint32_t isa;
};

thread_local thread_slot thread_record = {{kNoiseSeed,
                                           0.0f,
                                           0.0f,
                                           0.0f,
                                           0.0f,
                                           0.0f,
                                           0.0f,
                                           {},
                                           {},
                                           {},
                                           {},
                                           0.0f,
                                           0.0f},
                                          0};
#endif

// x - x is 0 for every finite x and NaN for an infinity or NaN, and a sum
// with a NaN in it is NaN: the sum is 0 exactly when every element is finite.
// Eight running sums keep it from being one long chain of additions.
inline bool all_finite(const float *x, int count) {
  float sums[8] = {};
  TW_UNROLL_ALL
  for (int k = 0; k < count; ++k)
    sums[k % 8] = sums[k % 8] + (x[k] - x[k]);
  return ((sums[0] + sums[1]) + (sums[2] + sums[3])) +
             ((sums[4] + sums[5]) + (sums[6] + sums[7])) ==
         0.0f;
}

// Back to what a new thread starts from. Written out field by field rather
// than as a struct copy, which the compiler would turn into a memcpy call.
void reset_state(tract_state &s) {
  s.rng_state = kNoiseSeed;
  s.noise_lp1 = s.noise_lp2 = 0.0f;
  s.prev_glottal_raw = s.prev_glottal_dc = 0.0f;
  s.lip_refl_filter = s.nasal_refl_filter = 0.0f;
  zero_floats(s.prev_R, kOral);
  zero_floats(s.prev_L, kOral);
  zero_floats(s.prev_nasal_R, kNasal);
  zero_floats(s.prev_nasal_L, kNasal);
  s.prev_rad_sample = s.rad_aperture_state = 0.0f;
}

// ---------------------------------------------------------------------------
// Lanes and math kernels

// Loop bound covering count elements in whole groups of `lanes`.
constexpr int whole(int count, int lanes) {
  return (count + lanes - 1) / lanes * lanes;
}

// Samples per pass. The glottal pulse is computed a chunk ahead of the tube
// and the saturation a chunk behind it, where their math functions can run
// over whole vectors.
constexpr int kChunk = 64;

constexpr float kPi = 3.1415927f;

#ifdef TRACTWAVE_VECTOR

#define TW_INLINE inline __attribute__((always_inline))
#define TW_UNROLL _Pragma("GCC unroll 8")

// Lane sets: a float vector, its integer twin, and an unaligned, aliasing
// view for loads and stores.
struct lanes4 {
  static constexpr int n = 4;
  typedef float v __attribute__((vector_size(16)));
  typedef int32_t i __attribute__((vector_size(16)));
  typedef float u __attribute__((vector_size(16), aligned(4), may_alias));
};
#ifdef TRACTWAVE_WIDE_X86
// The wide lane sets only ever run inlined into functions compiled for the
// matching instruction set, so the calling convention of a wide vector
// argument, which depends on it, never comes into play.
#pragma GCC diagnostic ignored "-Wpsabi"
struct lanes8 {
  static constexpr int n = 8;
  typedef float v __attribute__((vector_size(32)));
  typedef int32_t i __attribute__((vector_size(32)));
  typedef float u __attribute__((vector_size(32), aligned(4), may_alias));
};
struct lanes16 {
  static constexpr int n = 16;
  typedef float v __attribute__((vector_size(64)));
  typedef int32_t i __attribute__((vector_size(64)));
  typedef float u __attribute__((vector_size(64), aligned(4), may_alias));
};
#endif

template <class To, class From> TW_INLINE To bits(From x) {
  static_assert(sizeof(To) == sizeof(From), "same size");
  To to;
  __builtin_memcpy(&to, &x, sizeof to);
  return to;
}

template <class L> TW_INLINE typename L::v load(const float *p) {
  return *reinterpret_cast<const typename L::u *>(p);
}
template <class L> TW_INLINE void store(float *p, typename L::v x) {
  *reinterpret_cast<typename L::u *>(p) = x;
}
template <class L> TW_INLINE typename L::v splat(float x) {
  return typename L::v{} + x;
}
template <class L>
TW_INLINE typename L::v select(typename L::i mask, typename L::v a,
                               typename L::v b) {
  return mask ? a : b;
}
template <class L> TW_INLINE typename L::v vabs(typename L::v x) {
  typedef typename L::i I;
  return bits<typename L::v>(bits<I>(x) & 0x7FFFFFFF);
}

// Cosine for the arguments the glottal pulse uses (|x| below a few hundred):
// reduction by multiples of pi/4 in three exact parts, then the minimax sine
// or cosine polynomial of the octant. Within a few ulp of a correctly rounded
// cosf; NaN and infinities give NaN.
template <class L> TW_INLINE typename L::v vcos(typename L::v x) {
  typedef typename L::v V;
  typedef typename L::i I;
  const V ax = vabs<L>(x);
  I j = __builtin_convertvector(ax * 1.27323954473516f, I);
  j = (j + 1) & ~1;
  const V y = __builtin_convertvector(j, V);
  const V r = ((ax - y * 0.78515625f) - y * 2.4187564849853515625e-4f) -
              y * 3.77489497744594108e-8f;
  const V z = r * r;
  const V c = ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z +
               4.166664568298827e-2f) *
                  z * z -
              0.5f * z + 1.0f;
  const V s =
      ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z *
          r +
      r;
  const V value = select<L>((j & 2) != 0, s, c);
  const I negative = ((j + 2) & 4) << 29;
  return bits<V>(bits<I>(value) ^ negative);
}

// exp for |x| up to about 87: x = n ln2 + r, a degree-6 polynomial for e^r,
// and 2^n built in the exponent field. NaN stays NaN.
template <class L> TW_INLINE typename L::v vexp(typename L::v x) {
  typedef typename L::v V;
  typedef typename L::i I;
  x = select<L>(x > 88.0f, splat<L>(88.0f), x);
  x = select<L>(x < -87.0f, splat<L>(-87.0f), x);
  const V f = x * 1.44269504088896341f + 0.5f;
  const V t = __builtin_convertvector(__builtin_convertvector(f, I), V);
  const V n = select<L>(t > f, t - 1.0f, t);
  const V r = (x - n * 0.693359375f) - n * -2.12194440e-4f;
  const V z = r * r;
  const V p =
      (((((1.9875691500e-4f * r + 1.3981999507e-3f) * r + 8.3334519073e-3f) *
             r +
         4.1665795894e-2f) *
            r +
        1.6666665459e-1f) *
           r +
       5.0000001201e-1f) *
          z +
      r + 1.0f;
  return p * bits<V>((__builtin_convertvector(n, I) + 127) << 23);
}

// tanh: an odd polynomial near zero, where 1 - 2 / (e^2x + 1) would lose small
// values to cancellation; that form elsewhere, saturating to exactly 1.
template <class L> TW_INLINE typename L::v vtanh(typename L::v x) {
  typedef typename L::v V;
  typedef typename L::i I;
  const V ax = vabs<L>(x);
  const V z = x * x;
  const V near_zero =
      ((((-5.70498872745e-3f * z + 2.06390887954e-2f) * z - 5.37397155531e-2f) *
            z +
        1.33314422036e-1f) *
           z -
       3.33332819422e-1f) *
          z * x +
      x;
  const V e = vexp<L>(select<L>(ax > 20.0f, splat<L>(40.0f), ax + ax));
  const V far = 1.0f - 2.0f / (e + 1.0f);
  const I sign = bits<I>(x) & static_cast<int32_t>(0x80000000u);
  return select<L>(ax < 0.625f, near_zero, bits<V>(bits<I>(far) | sign));
}

// One period of glottal flow: a raised cosine over the open phase, then an
// exponentially damped quarter cosine closing it. A NaN phase falls into the
// closing branch. Both branches are evaluated and each lane picks its own.
template <class L> TW_INLINE typename L::v glottal_pulse(typename L::v phase) {
  typedef typename L::v V;
  const V open = (1.0f - vcos<L>((phase * kPi) / 0.7f)) * 0.5f;
  const V t = (phase - 0.7f) / 0.3f;
  const V closing = vexp<L>(t * -3.0f) * vcos<L>((t * kPi) * 0.5f);
  return select<L>(phase < 0.7f, open, closing);
}

// fmodf(x, 1.0f), exactly: below 2^23 the fraction x - trunc(x) is
// representable, and larger floats are whole numbers. The remainder keeps the
// sign of x, zero included; infinities and NaN give NaN.
inline float wrap_unit(float x) {
  const float f = __builtin_fabsf(x) < 8388608.0f
                      ? x - static_cast<float>(static_cast<int32_t>(x))
                      : x * 0.0f;
  return __builtin_copysignf(f, x);
}

// The tube moves waves one section per sample, so each junction needs its
// neighbour's value: next_section gives elements k + 1 ... from the vectors
// holding k ..., previous_section elements k - 1 ... . The shift happens
// between registers, never through a misaligned reload of a value stored a
// moment earlier, which the processor could not forward from its store
// buffer.
template <class L>
typename L::v next_section(typename L::v here, typename L::v after);
template <class L>
typename L::v previous_section(typename L::v before, typename L::v here);

#if defined(__clang__)
#define TW_SHUFFLE(T, a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define TW_SHUFFLE(T, a, b, ...)                                               \
  __builtin_shuffle(a, b, typename T::i{__VA_ARGS__})
#endif

#if defined(__SSE__)
// Two shufps each: SSE2 has no two-register byte shift.
template <>
TW_INLINE lanes4::v next_section<lanes4>(lanes4::v here, lanes4::v after) {
  // Compiler builtins rather than <xmmintrin.h>, which drags in the C
  // library's headers. t = {here3, here3, after0, after0}, then
  // {here1, here2, t0, t2}.
  const lanes4::v t = __builtin_ia32_shufps(here, after, 0x0F);
  return __builtin_ia32_shufps(here, t, 0x89);
}
template <>
TW_INLINE lanes4::v previous_section<lanes4>(lanes4::v before, lanes4::v here) {
  // t = {before3, before3, here0, here0}, then {t0, t2, here1, here2}.
  const lanes4::v t = __builtin_ia32_shufps(before, here, 0x0F);
  return __builtin_ia32_shufps(t, here, 0x98);
}
#else
template <>
TW_INLINE lanes4::v next_section<lanes4>(lanes4::v here, lanes4::v after) {
  return TW_SHUFFLE(lanes4, here, after, 1, 2, 3, 4);
}
template <>
TW_INLINE lanes4::v previous_section<lanes4>(lanes4::v before, lanes4::v here) {
  return TW_SHUFFLE(lanes4, before, here, 3, 4, 5, 6);
}
#endif

#ifdef TRACTWAVE_WIDE_X86
template <>
TW_INLINE lanes8::v next_section<lanes8>(lanes8::v here, lanes8::v after) {
  return TW_SHUFFLE(lanes8, here, after, 1, 2, 3, 4, 5, 6, 7, 8);
}
template <>
TW_INLINE lanes8::v previous_section<lanes8>(lanes8::v before, lanes8::v here) {
  return TW_SHUFFLE(lanes8, before, here, 7, 8, 9, 10, 11, 12, 13, 14);
}
template <>
TW_INLINE lanes16::v next_section<lanes16>(lanes16::v here, lanes16::v after) {
  return TW_SHUFFLE(lanes16, here, after, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                    13, 14, 15, 16);
}
template <>
TW_INLINE lanes16::v previous_section<lanes16>(lanes16::v before,
                                               lanes16::v here) {
  return TW_SHUFFLE(lanes16, before, here, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                    24, 25, 26, 27, 28, 29, 30);
}
#endif

// x in lane `lane` of v, again without a round trip through memory.
template <class L>
TW_INLINE typename L::v with_lane(typename L::v v, int lane, float x) {
  typename L::i index;
  for (int k = 0; k < L::n; ++k)
    index[k] = k;
  typename L::i mask = index == lane;
#if defined(__x86_64__) && !defined(__clang__)
  // Keeps GCC from merging this blend with neighbouring shuffles into a
  // permutation it can only build lane by lane.
  __asm__("" : "+x"(mask));
#endif
  return select<L>(mask, splat<L>(x), v);
}

// The oral tube's 25 sections fill whole vectors but for one section (four
// and eight lanes) or nine (sixteen). last_section takes the vector that ends
// at section 24 and gives the last partial vector, padded with zeros;
// ending_at_last_section gives, from the last two vectors, the one that ends
// at section 24, for a store that stays inside the caller's array.
static_assert(kOral % 4 == 1 && kOral % 8 == 1 && kOral % 16 == 9,
              "tail shuffles assume 25 oral sections");
// One section over: the neighbour shifts do it.
template <class L> TW_INLINE typename L::v last_section(typename L::v ending) {
  return previous_section<L>(ending, typename L::v{});
}
template <class L>
TW_INLINE typename L::v ending_at_last_section(typename L::v before,
                                               typename L::v last) {
  return next_section<L>(before, last);
}

#ifdef TRACTWAVE_WIDE_X86
// Nine sections over.
template <> TW_INLINE lanes16::v last_section<lanes16>(lanes16::v ending) {
  return TW_SHUFFLE(lanes16, ending, lanes16::v{}, 7, 8, 9, 10, 11, 12, 13, 14,
                    15, 16, 16, 16, 16, 16, 16, 16);
}
template <>
TW_INLINE lanes16::v ending_at_last_section<lanes16>(lanes16::v before,
                                                     lanes16::v last) {
  return TW_SHUFFLE(lanes16, before, last, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                    18, 19, 20, 21, 22, 23, 24);
}
#endif

#endif // TRACTWAVE_VECTOR

// ---------------------------------------------------------------------------
// Source and noise

uint32_t xorshift32(uint32_t x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

// Maps the low 31 bits of the generator onto -0.25 ... 0.25.
float aspiration_noise(uint32_t x) {
  return (static_cast<float>(x & 0x7FFFFFFFu) * 9.31322574615478515625e-10f -
          1.0f) *
         0.25f;
}

struct block_controls {
  float f0, amp, mix, breathiness;
  const float *oral;
  const float *nasal;
  float velum;
  float glottal_coeff, lip_coeff, nostril_coeff;
  float sample_rate;
};

struct voice_arrays {
  float *R, *L, *nasal_R, *nasal_L;
  float *phase;
};

// The source's running state and its per-block constants. One step turns the
// glottal pulse of a sample into the excitation at the glottis and the
// turbulence amount.
struct source {
  uint32_t rng;
  float noise_lp1, noise_lp2, prev_glottal_raw, prev_glottal_dc;
  float mix, unvoiced, aspiration_gain, amp, breathiness;

  inline void step(float pulse, float &glottis, float &turbulence) {
    rng = xorshift32(rng);
    const float noise = aspiration_noise(rng);
    noise_lp1 = noise_lp1 + (noise - noise_lp1) * 0.35f;
    noise_lp2 = noise_lp2 + (noise_lp1 - noise_lp2) * 0.35f;
    const float flow = (pulse * mix) * 0.85f;
    prev_glottal_dc = prev_glottal_dc * 0.995f + (flow - prev_glottal_raw);
    glottis =
        (prev_glottal_dc * mix + (unvoiced * noise_lp2) * aspiration_gain) *
        amp;
    turbulence = breathiness * noise_lp2;
    prev_glottal_raw = flow;
  }
};

// ---------------------------------------------------------------------------
// Tube

// Coefficient arrays hold whole vectors of the widest lane set, plus one.
constexpr int kOralSlots = whole(kOral, 16) + 16;
constexpr int kNasalSlots = whole(kNasal, 16) + 16;

// What the tube needs to know about a block, worked out once.
struct tube_setup {
  // K[j] belongs to the junction between sections j and j + 1; lanes past the
  // last junction hold 0, which passes a wave through untouched.
  TW_ALIGN float K[kOralSlots];
  TW_ALIGN float KN[kNasalSlots];
  float glottal_coeff, lip_coeff, nostril_coeff;
  float a9, a10, an, junction_area;
  bool velum_open;
  int constriction;
  float turbulence_weight;
  bool turbulent;
  float nose_gain, lip_transmission, nostril_transmission;
};

// Kelly-Lochbaum reflection coefficient between two sections. The clamp keeps
// every junction lossy enough that the tube cannot ring up without limit.
inline float reflection(float d_prev, float d_next) {
  const float a = d_prev * d_prev;
  const float b = d_next * d_next;
  const float s = a + b;
  float r = s > 1e-5f ? (a - b) / s : 0.0f;
  if (r > 0.92f)
    r = 0.92f;
  if (r < -0.92f)
    r = -0.92f;
  return r;
}

// The narrowest of sections 4 to 24, scanning upwards from the tongue tip's
// section 20 as the first candidate and taking a section only when it is
// strictly narrower, so that a NaN is never taken and ties go to section 20,
// then to the lowest index.
#ifdef TRACTWAVE_VECTOR
// The same answer without a branch per section: lane-wise minima, then the
// first section equal to the minimum, unless section 20 already holds it.
TW_INLINE int narrowest(const float *d, float &d_min) {
  typedef lanes4::v V;
  constexpr float kInf = __builtin_inff();
  const V sections[6] = {load<lanes4>(d + 4),  load<lanes4>(d + 8),
                         load<lanes4>(d + 12), load<lanes4>(d + 16),
                         load<lanes4>(d + 20), V{d[24], kInf, kInf, kInf}};
  V m = splat<lanes4>(d[20]);
  for (const V &x : sections)
    m = select<lanes4>(x < m, x, m);
  float least = m[0];
  for (int k = 1; k < 4; ++k)
    least = m[k] < least ? m[k] : least;
  d_min = least;
  if (!(least < d[20]))
    return 20;
  for (int k = 4; k < kOral; ++k)
    if (d[k] == least)
      return k;
  return 20;
}
#else
int narrowest(const float *d, float &d_min) {
  int constriction = 20;
  d_min = d[20];
  for (int k = 4; k < kOral; ++k) {
    if (d[k] < d_min) {
      d_min = d[k];
      constriction = k;
    }
  }
  return constriction;
}
#endif

// Everything but the coefficients themselves.
#ifdef TRACTWAVE_VECTOR
TW_INLINE
#endif
void setup_ends(const block_controls &c, tube_setup &t) {
  t.glottal_coeff = c.glottal_coeff;
  t.lip_coeff = c.lip_coeff;
  t.nostril_coeff = c.nostril_coeff;

  t.a9 = c.oral[9] * c.oral[9];
  t.a10 = c.oral[10] * c.oral[10];
  t.an = c.velum * c.velum;
  t.junction_area = (t.a9 + t.a10) + t.an;
  if (t.junction_area < 1e-6f)
    t.junction_area = 1e-6f;
  t.velum_open = c.velum > 0.001f;

  // Turbulence goes in at the narrowest section from 4 to 24; section 20 (the
  // tongue tip) is preferred on ties.
  float d_min;
  t.constriction = narrowest(c.oral, d_min);
  t.turbulence_weight = d_min / -0.75f + 1.0f;
  t.turbulent = d_min < 0.75f;

  float nose_gain = c.velum / 0.55f;
  if (nose_gain < 0.0f)
    nose_gain = 0.0f;
  if (nose_gain > 1.0f)
    nose_gain = 1.0f;
  t.nose_gain = nose_gain;
  t.lip_transmission = 1.0f - c.lip_coeff;
  t.nostril_transmission = 1.0f - c.nostril_coeff;
}

// The filter states that run from sample to sample at the two ends and in
// the output stage.
struct tube_filters {
  float lip_refl_filter, nasal_refl_filter;
  float prev_rad_sample, rad_aperture_state;
};

// Radiation: emphasis against 0.95 x the previous radiated value, then a
// one-pole smoother. Returns the smoother's state, which the saturation stage
// turns into the output sample.
inline float radiate(const tube_setup &t, tube_filters &f, float lips_out,
                     float nostrils_out) {
  const float x =
      ((nostrils_out * t.nostril_transmission) * 0.75f) * t.nose_gain +
      lips_out * t.lip_transmission;
  f.rad_aperture_state = ((x - f.prev_rad_sample) * 0.45f + x * 0.55f) * 0.35f +
                         f.rad_aperture_state * 0.65f;
  f.prev_rad_sample = x * 0.95f;
  return f.rad_aperture_state;
}

// The reference tube, one section at a time, with the C library's math.
struct plain_engine {
  struct waves {
    float R[kOral], L[kOral], nasal_R[kNasal], nasal_L[kNasal];
  };

  static void setup(const block_controls &c, tube_setup &t) {
    for (int j = 0; j < kOral - 1; ++j)
      t.K[j] = reflection(c.oral[j], c.oral[j + 1]);
    for (int j = 0; j < kNasal - 1; ++j)
      t.KN[j] = reflection(c.nasal[j], c.nasal[j + 1]);
    setup_ends(c, t);
  }

  static bool finite(const waves &w) {
    return all_finite(w.R, kOral) && all_finite(w.L, kOral) &&
           all_finite(w.nasal_R, kNasal) && all_finite(w.nasal_L, kNasal);
  }

  static void load_waves(waves &w, const float *R, const float *L,
                         const float *nasal_R, const float *nasal_L) {
    copy_floats(w.R, R, kOral);
    copy_floats(w.L, L, kOral);
    copy_floats(w.nasal_R, nasal_R, kNasal);
    copy_floats(w.nasal_L, nasal_L, kNasal);
  }

  static void store_waves(const waves &w, float *R, float *L, float *nasal_R,
                          float *nasal_L) {
    copy_floats(R, w.R, kOral);
    copy_floats(L, w.L, kOral);
    copy_floats(nasal_R, w.nasal_R, kNasal);
    copy_floats(nasal_L, w.nasal_L, kNasal);
  }

  static float wrap(float x) { return fmodf(x, 1.0f); }

  static void pulses(const float *phases, float *pulse, int m) {
    for (int i = 0; i < m; ++i) {
      const float phase = phases[i];
      if (phase < 0.7f) {
        pulse[i] = (1.0f - cosf((phase * kPi) / 0.7f)) * 0.5f;
      } else {
        const float t = (phase - 0.7f) / 0.3f;
        pulse[i] = expf(t * -3.0f) * cosf((t * kPi) * 0.5f);
      }
    }
  }

  static void saturate(const float *radiated, float *out, int m) {
    for (int i = 0; i < m; ++i)
      out[i] = tanhf(radiated[i] * 0.7f) * 0.95f;
  }

  // Smoothed write-back: the tube keeps 82% of this sample's scattered value
  // and 18% of the previous one, with a small loss. The history holds raw
  // values so that the smoother does not feed on its own output.
  static void write_back(float *x, float *prev, const float *next, int count) {
    for (int k = 0; k < count; ++k) {
      x[k] = (next[k] * 0.82f + prev[k] * 0.18f) * 0.994f;
      prev[k] = next[k];
    }
  }

  // One sample: scatter, excite, reflect, smooth. raw holds the previous
  // sample's unsmoothed scattered values and receives this sample's.
  static void sample(const tube_setup &t, tube_filters &f, waves &w, waves &raw,
                     float glottis, float turbulence, float &lips_out,
                     float &nostrils_out) {
    float new_R[kOral], new_L[kOral], new_NR[kNasal], new_NL[kNasal];
    for (int k = 1; k < kOral; ++k) {
      const float wv = (w.R[k - 1] - w.L[k]) * t.K[k - 1];
      new_R[k] = w.R[k - 1] + wv;
      new_L[k - 1] = w.L[k] + wv;
    }
    new_R[0] = w.L[0] * t.glottal_coeff + glottis;

    new_L[kOral - 1] =
        (t.lip_coeff * w.R[kOral - 1]) * 0.55f + f.lip_refl_filter * 0.45f;
    f.lip_refl_filter = new_L[kOral - 1];

    // Three-port junction at the velum, between oral sections 9 and 10. It
    // replaces the two-port result there; with the velum shut it is an
    // unclamped two-port junction and the nasal wave reflects unchanged.
    const float nl0 = w.nasal_L[0];
    const float pressure = 2.0f *
                           (nl0 * t.an + (t.a9 * w.R[9] + t.a10 * w.L[10])) /
                           t.junction_area;
    new_R[10] = pressure - w.L[10];
    new_L[9] = pressure - w.R[9];
    new_NR[0] = t.velum_open ? pressure - nl0 : nl0;

    for (int k = 1; k < kNasal; ++k) {
      const float wv = (w.nasal_R[k - 1] - w.nasal_L[k]) * t.KN[k - 1];
      new_NR[k] = w.nasal_R[k - 1] + wv;
      new_NL[k - 1] = w.nasal_L[k] + wv;
    }
    new_NL[kNasal - 1] = (t.nostril_coeff * w.nasal_R[kNasal - 1]) * 0.6f +
                         f.nasal_refl_filter * 0.4f;
    f.nasal_refl_filter = new_NL[kNasal - 1];

    if (turbulence != 0.0f && t.turbulent) {
      const int k = t.constriction;
      new_R[k] = new_R[k] + turbulence * t.turbulence_weight;
      new_L[k] = new_L[k] + turbulence * t.turbulence_weight;
    }

    lips_out = w.R[kOral - 1];
    nostrils_out = w.nasal_R[kNasal - 1];

    write_back(w.R, raw.R, new_R, kOral);
    write_back(w.L, raw.L, new_L, kOral);
    write_back(w.nasal_R, raw.nasal_R, new_NR, kNasal);
    write_back(w.nasal_L, raw.nasal_L, new_NL, kNasal);
  }
};

#ifdef TRACTWAVE_VECTOR

// The same tube in whole vectors of L::n sections. Padding lanes start at
// zero and never feed a real section: waves in them only move away from the
// tube, and the junctions past the last section have a zero coefficient.
template <class S> struct vector_engine {
  typedef typename S::v V;
  static constexpr int n = S::n;
  static constexpr int oral_vecs = whole(kOral, n) / n;
  static constexpr int nasal_vecs = whole(kNasal, n) / n;
  static constexpr int oral_junction_vecs = whole(kOral - 1, n) / n;
  static constexpr int nasal_junction_vecs = whole(kNasal - 1, n) / n;

  struct waves {
    V R[oral_vecs], L[oral_vecs];
    V nasal_R[nasal_vecs], nasal_L[nasal_vecs];
  };

  // Reflection coefficients a vector of junctions at a time, straight from
  // the caller's diameters: lane j of vector q is the junction after section
  // q * n + j, and lanes past the last junction get 0.
  static TW_INLINE void coefficients(const float *d, int sections, float *K) {
    constexpr int vecs = whole(kOral, n) / n;
    V lo[vecs] = {};
    load_lanes(lo, d, sections);
    typename S::i lane;
    for (int k = 0; k < n; ++k)
      lane[k] = k;
    for (int q = 0; q < whole(sections - 1, n) / n; ++q) {
      const V hi = next_section<S>(lo[q], q + 1 < vecs ? lo[q + 1] : V{});
      const V a = lo[q] * lo[q];
      const V b = hi * hi;
      const V sum = a + b;
      V r = select<S>(sum > 1e-5f, (a - b) / sum, V{});
      r = select<S>(r > 0.92f, splat<S>(0.92f), r);
      r = select<S>(r < -0.92f, splat<S>(-0.92f), r);
      r = select<S>(lane + q * n < sections - 1, r, V{});
      store<S>(K + q * n, r);
    }
  }

  static TW_INLINE void setup(const block_controls &c, tube_setup &t) {
    coefficients(c.oral, kOral, t.K);
    coefficients(c.nasal, kNasal, t.KN);
    setup_ends(c, t);
  }

  // Whole vectors, and the last partial one through a zeroed buffer so that
  // nothing is read or written past the caller's arrays.
  // Whole vectors, and the last partial one (the oral tube's 25th section)
  // by an overlapping access inside the caller's array, shifted between
  // registers, so that nothing is read or written past its end.
  static TW_INLINE void load_lanes(V *to, const float *from, int count) {
    for (int q = 0; q < count / n; ++q)
      to[q] = load<S>(from + q * n);
    if (count % n)
      to[count / n] = last_section<S>(load<S>(from + count - n));
  }

  static TW_INLINE void store_lanes(float *to, const V *from, int count) {
    for (int q = 0; q < count / n; ++q)
      store<S>(to + q * n, from[q]);
    if (count % n)
      store<S>(to + count - n,
               ending_at_last_section<S>(from[count / n - 1], from[count / n]));
  }

  // True when no section of w holds an infinity or NaN (see all_finite).
  static TW_INLINE bool finite(const waves &w) {
    V sum = {};
    for (int q = 0; q < oral_vecs; ++q)
      sum = sum + ((w.R[q] - w.R[q]) + (w.L[q] - w.L[q]));
    for (int q = 0; q < nasal_vecs; ++q)
      sum =
          sum + ((w.nasal_R[q] - w.nasal_R[q]) + (w.nasal_L[q] - w.nasal_L[q]));
    TW_ALIGN float lanes[n];
    store<S>(lanes, sum);
    return all_finite(lanes, n);
  }

  static TW_INLINE void load_waves(waves &w, const float *R, const float *L_,
                                   const float *nasal_R, const float *nasal_L) {
    load_lanes(w.R, R, kOral);
    load_lanes(w.L, L_, kOral);
    load_lanes(w.nasal_R, nasal_R, kNasal);
    load_lanes(w.nasal_L, nasal_L, kNasal);
  }

  static TW_INLINE void store_waves(const waves &w, float *R, float *L_,
                                    float *nasal_R, float *nasal_L) {
    store_lanes(R, w.R, kOral);
    store_lanes(L_, w.L, kOral);
    store_lanes(nasal_R, w.nasal_R, kNasal);
    store_lanes(nasal_L, w.nasal_L, kNasal);
  }

  static TW_INLINE float wrap(float x) { return wrap_unit(x); }

  // Whole vectors while they are full; a short block's tail in fours, so
  // that one sample does not pay for sixteen.
  static TW_INLINE void pulses(const float *phases, float *pulse, int m) {
    int i = 0;
    for (; i + n <= m; i += n)
      store<S>(pulse + i, glottal_pulse<S>(load<S>(phases + i)));
    for (; i < m; i += 4)
      store<lanes4>(pulse + i, glottal_pulse<lanes4>(load<lanes4>(phases + i)));
  }

  // Writes exactly m samples to the caller's buffer: whole vectors while they
  // fit, the last few through a local buffer.
  static TW_INLINE void saturate(const float *radiated, float *out, int m) {
    int i = 0;
    for (; i + n <= m; i += n)
      store<S>(out + i, vtanh<S>(load<S>(radiated + i) * 0.7f) * 0.95f);
    for (; i + 4 <= m; i += 4)
      store<lanes4>(out + i,
                    vtanh<lanes4>(load<lanes4>(radiated + i) * 0.7f) * 0.95f);
    if (i < m) {
      TW_ALIGN float tail[4];
      store<lanes4>(tail,
                    vtanh<lanes4>(load<lanes4>(radiated + i) * 0.7f) * 0.95f);
      copy_floats(out + i, tail, m - i);
    }
  }

  static TW_INLINE V smooth(V next, V prev) {
    return (next * 0.82f + prev * 0.18f) * 0.994f;
  }

  static TW_INLINE float lane_of(const V *v, int k) { return v[k / n][k % n]; }

  // The two-port junctions of one tube, a vector of junctions at a time: lane
  // j of vector q is the junction after section q * n + j, and its rightward
  // result lands one section further on. Section 0's rightward value comes
  // from outside (the glottis, or the velum for the nasal tube).
  template <int vecs, int junction_vecs>
  static TW_INLINE void scatter(const V *right, const V *left, const V *K,
                                float first, V *new_right, V *new_left) {
    const V zero = {};
    V moved[junction_vecs];
    TW_UNROLL
    for (int q = 0; q < junction_vecs; ++q) {
      const V after = q + 1 < vecs ? left[q + 1] : zero;
      const V from_right = next_section<S>(left[q], after);
      const V w = (right[q] - from_right) * K[q];
      new_left[q] = from_right + w;
      moved[q] = right[q] + w;
    }
    TW_UNROLL
    for (int q = junction_vecs; q < vecs; ++q)
      new_left[q] = zero;
    new_right[0] = with_lane<S>(previous_section<S>(zero, moved[0]), 0, first);
    TW_UNROLL
    for (int q = 1; q < vecs; ++q) {
      const V here = q < junction_vecs ? moved[q] : zero;
      new_right[q] = previous_section<S>(moved[q - 1], here);
    }
  }

  static TW_INLINE void sample(const tube_setup &t, tube_filters &f, waves &w,
                               waves &raw, float glottis, float turbulence,
                               float &lips_out, float &nostrils_out) {
    const V *K = reinterpret_cast<const V *>(t.K);
    const V *KN = reinterpret_cast<const V *>(t.KN);
    V new_R[oral_vecs], new_L[oral_vecs];
    scatter<oral_vecs, oral_junction_vecs>(
        w.R, w.L, K, w.L[0][0] * t.glottal_coeff + glottis, new_R, new_L);

    const float R24 = lane_of(w.R, kOral - 1);
    const float lip = (t.lip_coeff * R24) * 0.55f + f.lip_refl_filter * 0.45f;
    f.lip_refl_filter = lip;
    constexpr int lips = (kOral - 1) / n;
    new_L[lips] = with_lane<S>(new_L[lips], (kOral - 1) % n, lip);

    const float R9 = lane_of(w.R, 9), L10 = lane_of(w.L, 10);
    const float nl0 = w.nasal_L[0][0];
    const float pressure =
        2.0f * (nl0 * t.an + (t.a9 * R9 + t.a10 * L10)) / t.junction_area;
    new_R[10 / n] = with_lane<S>(new_R[10 / n], 10 % n, pressure - L10);
    new_L[9 / n] = with_lane<S>(new_L[9 / n], 9 % n, pressure - R9);
    const float nasal_in = t.velum_open ? pressure - nl0 : nl0;

    V new_NR[nasal_vecs], new_NL[nasal_vecs];
    scatter<nasal_vecs, nasal_junction_vecs>(w.nasal_R, w.nasal_L, KN, nasal_in,
                                             new_NR, new_NL);

    const float NR15 = lane_of(w.nasal_R, kNasal - 1);
    const float nostril =
        (t.nostril_coeff * NR15) * 0.6f + f.nasal_refl_filter * 0.4f;
    f.nasal_refl_filter = nostril;
    constexpr int nostrils = (kNasal - 1) / n;
    new_NL[nostrils] =
        with_lane<S>(new_NL[nostrils], (kNasal - 1) % n, nostril);

    if (turbulence != 0.0f && t.turbulent) {
      const float injected = turbulence * t.turbulence_weight;
      const int lane = t.constriction % n;
      TW_UNROLL
      for (int q = 0; q < oral_vecs; ++q) {
        if (q == t.constriction / n) {
          new_R[q] = with_lane<S>(new_R[q], lane, new_R[q][lane] + injected);
          new_L[q] = with_lane<S>(new_L[q], lane, new_L[q][lane] + injected);
        }
      }
    }

    lips_out = R24;
    nostrils_out = NR15;

    TW_UNROLL
    for (int q = 0; q < oral_vecs; ++q) {
      w.R[q] = smooth(new_R[q], raw.R[q]);
      raw.R[q] = new_R[q];
      w.L[q] = smooth(new_L[q], raw.L[q]);
      raw.L[q] = new_L[q];
    }
    TW_UNROLL
    for (int q = 0; q < nasal_vecs; ++q) {
      w.nasal_R[q] = smooth(new_NR[q], raw.nasal_R[q]);
      raw.nasal_R[q] = new_NR[q];
      w.nasal_L[q] = smooth(new_NL[q], raw.nasal_L[q]);
      raw.nasal_L[q] = new_NL[q];
    }
  }
};

#endif // TRACTWAVE_VECTOR

// ---------------------------------------------------------------------------
// Block driver

// Runs n > 0 samples with an explicit state record; the exported functions
// decide where that record lives. E is the tube and kernel implementation.
template <class E>
#ifdef TRACTWAVE_VECTOR
TW_INLINE
#endif
    void
    run_block_with(tract_state &st, int n, const block_controls &c,
                   const voice_arrays &v, float *out) {
  // The record outlives the voice: one non-finite value left in it by an
  // earlier block would turn every later block on this thread, for every
  // voice, into NaN, so such a record goes back to its initial values before
  // it is used. (That block's own output and the caller's arrays keep what the
  // arithmetic gave.) Checking here rather than at the end of the block that
  // left it lets the check run alongside the set-up instead of waiting for
  // the block's last sample; nothing can look at the record in between.
  typename E::waves wave, raw;
  E::load_waves(raw, st.prev_R, st.prev_L, st.prev_nasal_R, st.prev_nasal_L);
  const float scalars[] = {st.noise_lp1,        st.noise_lp2,
                           st.prev_glottal_raw, st.prev_glottal_dc,
                           st.lip_refl_filter,  st.nasal_refl_filter,
                           st.prev_rad_sample,  st.rad_aperture_state};
  if (!(all_finite(scalars, 8) && E::finite(raw))) {
    reset_state(st);
    E::load_waves(raw, st.prev_R, st.prev_L, st.prev_nasal_R, st.prev_nasal_L);
  }

  tube_setup tube;
  E::setup(c, tube);

  const float rate = c.sample_rate > 8000.0f ? c.sample_rate : 48000.0f;
  const float increment = c.f0 / rate;
  // Once the phase is inside (-1, 1), an increment below 1 in size keeps the
  // sum inside (-2, 2), where one exact subtraction wraps it.
  const bool small_steps = increment < 1.0f && increment > -1.0f;

  source src = {st.rng_state,
                st.noise_lp1,
                st.noise_lp2,
                st.prev_glottal_raw,
                st.prev_glottal_dc,
                c.mix,
                1.0f - c.mix,
                c.breathiness > 0.0f ? c.breathiness : 0.2f,
                c.amp,
                c.breathiness};
  tube_filters filters = {st.lip_refl_filter, st.nasal_refl_filter,
                          st.prev_rad_sample, st.rad_aperture_state};
  float phase = *v.phase;

  E::load_waves(wave, v.R, v.L, v.nasal_R, v.nasal_L);

  TW_ALIGN float phases[kChunk];
  TW_ALIGN float pulse[kChunk];
  TW_ALIGN float radiated[kChunk];

  for (int done = 0; done < n; done += kChunk) {
    const int m = n - done < kChunk ? n - done : kChunk;

    // The glottal pulse depends on nothing the tube does: it is computed a
    // chunk ahead.
    int i = 0;
    if (done == 0 || !small_steps) {
      phase = E::wrap(phase + increment);
      phases[i++] = phase;
    }
    if (small_steps) {
      for (; i < m; ++i) {
        float x = phase + increment;
        if (x >= 1.0f)
          x = x - 1.0f;
        else if (x <= -1.0f)
          x = -(-x - 1.0f);
        phase = x;
        phases[i] = phase;
      }
    } else {
      for (; i < m; ++i) {
        phase = E::wrap(phase + increment);
        phases[i] = phase;
      }
    }
    for (i = m; i < whole(m, 4); ++i)
      phases[i] = 0.0f;
    E::pulses(phases, pulse, m);

    // The tube, one sample at a time. The output hears the lips and nostrils
    // as they stood at the start of each sample.
    for (i = 0; i < m; ++i) {
      float glottis, turbulence, lips_out, nostrils_out;
      src.step(pulse[i], glottis, turbulence);
      E::sample(tube, filters, wave, raw, glottis, turbulence, lips_out,
                nostrils_out);
      radiated[i] = radiate(tube, filters, lips_out, nostrils_out);
    }

    // Saturation, behind the tube: tanh bounds every finite sample to
    // -0.95 ... 0.95.
    for (i = m; i < whole(m, 4); ++i)
      radiated[i] = 0.0f;
    E::saturate(radiated, out + done, m);
  }

  E::store_waves(wave, v.R, v.L, v.nasal_R, v.nasal_L);
  E::store_waves(raw, st.prev_R, st.prev_L, st.prev_nasal_R, st.prev_nasal_L);
  st.rng_state = src.rng;
  st.noise_lp1 = src.noise_lp1;
  st.noise_lp2 = src.noise_lp2;
  st.prev_glottal_raw = src.prev_glottal_raw;
  st.prev_glottal_dc = src.prev_glottal_dc;
  st.lip_refl_filter = filters.lip_refl_filter;
  st.nasal_refl_filter = filters.nasal_refl_filter;
  st.prev_rad_sample = filters.prev_rad_sample;
  st.rad_aperture_state = filters.rad_aperture_state;
  *v.phase = phase;
}

// ---------------------------------------------------------------------------
// Lane width chosen at run time

// What a thread knows about the processor, found on its first block.
enum : uint32_t { kIsaUnknown = 0, kIsaBase, kIsaAvx2, kIsaAvx512 };

#ifdef TRACTWAVE_WIDE_X86
uint32_t detect_isa() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d))
    return kIsaBase;
  const bool osxsave = c & (1u << 27), avx = c & (1u << 28);
  if (!osxsave || !avx)
    return kIsaBase;
  uint32_t xcr0, xcr0_high;
  __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x6) != 0x6 || !__get_cpuid_count(7, 0, &a, &b, &c, &d))
    return kIsaBase;
  // Opmask and both halves of the 512-bit registers saved by the system.
  if ((b & (1u << 16)) && (xcr0 & 0xE0) == 0xE0)
    return kIsaAvx512;
  return (b & (1u << 5)) ? kIsaAvx2 : kIsaBase;
}

__attribute__((target("avx2"), noinline)) void
run_block_avx2(tract_state &st, int n, const block_controls &c,
               const voice_arrays &v, float *out) {
  run_block_with<vector_engine<lanes8>>(st, n, c, v, out);
}

__attribute__((target("avx512f"), noinline)) void
run_block_avx512(tract_state &st, int n, const block_controls &c,
                 const voice_arrays &v, float *out) {
  run_block_with<vector_engine<lanes16>>(st, n, c, v, out);
}
#endif

#ifndef TRACTWAVE_MAX_LANES
#define TRACTWAVE_MAX_LANES 16
#endif

__attribute__((noinline)) void run_block(tract_state &st, uint32_t &isa, int n,
                                         const block_controls &c,
                                         const voice_arrays &v, float *out) {
#ifdef TRACTWAVE_WIDE_X86
  if (isa == kIsaUnknown)
    isa = detect_isa();
  if (isa == kIsaAvx512 && TRACTWAVE_MAX_LANES >= 16)
    return run_block_avx512(st, n, c, v, out);
  if (isa >= kIsaAvx2 && TRACTWAVE_MAX_LANES >= 8)
    return run_block_avx2(st, n, c, v, out);
#endif
  (void)isa;
#ifdef TRACTWAVE_VECTOR
  run_block_with<vector_engine<lanes4>>(st, n, c, v, out);
#else
  run_block_with<plain_engine>(st, n, c, v, out);
#endif
}

// ---------------------------------------------------------------------------
// Floating-point mode

// Subnormal numbers are flushed to zero for the duration of a block: a voice
// that falls silent would otherwise decay into subnormals and stay there (the
// smallest one times 0.994 rounds back to itself), costing some processors
// many times the normal time per operation and never reaching zero. The
// caller's mode is restored on return; exception flags raised meanwhile are
// kept, as any other function would leave them.
struct fp_mode {
#if defined(__SSE__)
  unsigned int saved;
  void enter() {
    saved = __builtin_ia32_stmxcsr();
    __builtin_ia32_ldmxcsr(saved |
                           0x8040u); // flush to zero, denormals are zero
  }
  void leave() {
    __builtin_ia32_ldmxcsr(saved | (__builtin_ia32_stmxcsr() & 0x3Fu));
  }
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
  uint64_t saved;
  void enter() {
    __asm__ volatile("mrs %0, fpcr" : "=r"(saved));
    if (!(saved & (1u << 24)))
      __asm__ volatile("msr fpcr, %0" : : "r"(saved | (1u << 24)));
  }
  void leave() {
    if (!(saved & (1u << 24)))
      __asm__ volatile("msr fpcr, %0" : : "r"(saved));
  }
#else
  void enter() {}
  void leave() {}
#endif
};

// ---------------------------------------------------------------------------
// The parameter path: a parameter vector to the geometry and the engine's
// controls, with fixed reflections at the three ends.

constexpr float kGlottalCoeff = 0.75f;
constexpr float kLipCoeff = -0.85f;
constexpr float kNostrilCoeff = -0.7f;

struct parameter_path {
  float oral[kOral];
  float nasal[kNasal];
  float velum = 0.0f;
  float f0, amp, mix, breathiness;

  explicit parameter_path(const float *p) {
    shape_tract(p, oral, nasal, &velum);
    f0 = p[TRACTWAVE_PITCH] * 380.0f + 70.0f;
    amp = p[TRACTWAVE_VOICING] < 0.01f ? 0.0f : p[TRACTWAVE_VOICING];
    // An out-of-range voice mix (NaN included) means fully voiced, not the
    // nearer bound.
    const float q = p[TRACTWAVE_VOICE_MIX];
    const float share = (q >= 0.0f && q <= 1.0f) ? q : 1.0f;
    mix = (-0.7f * p[TRACTWAVE_BREATHINESS] + 1.0f) * share;
    breathiness = p[TRACTWAVE_BREATHINESS];
  }
};

} // namespace

#ifndef TRACTWAVE_ENGINE_ONLY
// ---------------------------------------------------------------------------
// Entry points

extern "C" {

TRACTWAVE_API void compute_diameters_from_dofs(const float *parameters,
                                               float *oral_out,
                                               float *nasal_out,
                                               float *velum_out) {
  shape_tract(parameters, oral_out, nasal_out, velum_out);
}

TRACTWAVE_API void
step_waveguide_block(int n, float f0, float amp, float mix, float breathiness,
                     const float *oral_diameters, const float *nasal_diameters,
                     float velum, float glottal_coeff, float lip_coeff,
                     float nostril_coeff, float *R, float *L, float *nasal_R,
                     float *nasal_L, float *phase, float *out,
                     float sample_rate) {
  if (n <= 0) {
    *phase = *phase;
    return;
  }
  const block_controls controls = {f0,
                                   amp,
                                   mix,
                                   breathiness,
                                   oral_diameters,
                                   nasal_diameters,
                                   velum,
                                   glottal_coeff,
                                   lip_coeff,
                                   nostril_coeff,
                                   sample_rate};
  const voice_arrays arrays = {R, L, nasal_R, nasal_L, phase};
  thread_slot &slot = thread_record;
  fp_mode mode;
  mode.enter();
  run_block(slot.record, slot.isa, n, controls, arrays, out);
  mode.leave();
}

TRACTWAVE_API void synthesize_waveguide_chunk_ex(int n, const float *parameters,
                                                 float *R, float *L,
                                                 float *nasal_R, float *nasal_L,
                                                 float *phase, float *out,
                                                 float sample_rate) {
  const parameter_path path(parameters);
  step_waveguide_block(n, path.f0, path.amp, path.mix, path.breathiness,
                       path.oral, path.nasal, path.velum, kGlottalCoeff,
                       kLipCoeff, kNostrilCoeff, R, L, nasal_R, nasal_L, phase,
                       out, sample_rate);
}

TRACTWAVE_API void synthesize_waveguide_chunk(int n, const float *parameters,
                                              float *R, float *L,
                                              float *nasal_R, float *nasal_L,
                                              float *phase, float *out) {
  synthesize_waveguide_chunk_ex(n, parameters, R, L, nasal_R, nasal_L, phase,
                                out, 48000.0f);
}

} // extern "C"

#if defined(_WIN32) && defined(__clang__)
// The thread-local storage directory of tractwave.dll. The DLL is linked
// without the C runtime's startup files, so that loading and unloading it
// runs no code at all (its entry point is 0). Those files normally bring the
// TLS directory, with callbacks that set up the runtime's own thread
// bookkeeping; this one has none: the loader copies the template between
// _tls_start and _tls_end into every thread's block, and that copy is the
// thread's initial record. The compiler places thread_local data in ".tls$";
// the linker sorts ".tls" before it and ".tls$ZZZ" after it and addresses
// the data from the start of the merged section, so the template must begin
// exactly there.
extern "C" {
__attribute__((section(".tls"))) char _tls_start = 0;
__attribute__((section(".tls$ZZZ"))) char _tls_end = 0;

// Written by the loader: this module's slot in each thread's TLS array.
uint32_t _tls_index = 0;

typedef void (*tls_callback)(void *module, uint32_t reason, void *reserved);
extern const tls_callback tractwave_no_tls_callbacks[1] = {nullptr};

// IMAGE_TLS_DIRECTORY64, with pointers for its 64-bit addresses so that it
// is constant data; the linker points the image's TLS entry at this symbol.
struct tls_directory {
  const void *start_of_raw_data;
  const void *end_of_raw_data;
  const uint32_t *address_of_index;
  const tls_callback *address_of_callbacks;
  uint32_t size_of_zero_fill;
  uint32_t characteristics;
};

__attribute__((used)) extern const tls_directory _tls_used = {
    &_tls_start, &_tls_end, &_tls_index, tractwave_no_tls_callbacks, 0, 0};
} // extern "C"
#endif
#endif // TRACTWAVE_ENGINE_ONLY
