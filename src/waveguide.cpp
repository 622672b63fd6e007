// tractwave: the whole library.
//
// The model comes first, in the order the signal flows: geometry ->
// reflection coefficients -> glottal source and noise -> the tube, one
// section at a time -> output stage -> block driver -> entry points. The
// vector form of the tube and the platform code (per-thread record, CPU
// dispatch, floating-point mode) follow the model they serve.
//
// Everything in the signal path is single precision and evaluated in the
// order written; the build forbids multiply-add contraction on x86-64 so that
// results do not depend on the optimiser.
//
// The engine exists in two forms over one set of formulas: the plain form,
// one section at a time with the C library's math functions, and the vector
// form, the default wherever the compiler has vector extensions, which keeps
// the tube's sections in vector lanes. The formulas below are written once,
// as templates over a lane set, and every form instantiates them; each
// vector lane does exactly the scalar arithmetic in the same order, so the
// forms differ only where the math kernels round differently from the C
// library. The plain form (TRACTWAVE_PLAIN) is the reference the vector form
// is tested against, and the fallback where there are no vector extensions.
//
// Compiled with TRACTWAVE_ENGINE_ONLY, the file is the engine alone, without
// the exported functions and the per-thread record, for libraries that keep
// a voice's record elsewhere (tractwave_voices).

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
// The wide lane sets only ever run inlined into functions compiled for the
// matching instruction set, so the calling convention of a wide vector
// argument, which depends on it, never comes into play.
#pragma GCC diagnostic ignored "-Wpsabi"
#else
#define TW_ALIGN alignas(16)
#endif

// The engine's helpers melt into the block driver that calls them, in every
// form: the vector form needs it for speed, and where the build fuses
// multiply-adds (arm64) the same inlining everywhere means the same fused
// operations in every library built from this file.
#if defined(__GNUC__) || defined(__clang__)
#define TW_INLINE inline __attribute__((always_inline))
#else
#define TW_INLINE inline
#endif
#ifdef TRACTWAVE_VECTOR
#define TW_UNROLL _Pragma("GCC unroll 8")
#else
#define TW_UNROLL
#endif

#if defined(__GNUC__) || defined(__clang__)
#define TW_UNROLL_ALL _Pragma("GCC unroll 32")
#else
#define TW_UNROLL_ALL
#endif

namespace {

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr int kNasal = TRACTWAVE_NASAL_SECTIONS;

// ---------------------------------------------------------------------------
// Model constants, used by every form of the engine

// Tube: junctions, ends and the write-back smoother.
constexpr float kAreaFloor = 1e-5f;     // a junction with less area passes all
constexpr float kMaxReflection = 0.92f; // keeps every junction lossy
constexpr float kSmoothNew = 0.82f;     // share of this sample's scattered wave
constexpr float kSmoothOld = 0.18f;     // share of the previous sample's
constexpr float kTubeLoss = 0.994f;     // the only loss inside the tubes
constexpr float kLipNew = 0.55f, kLipOld = 0.45f;       // lip reflection filter
constexpr float kNostrilNew = 0.6f, kNostrilOld = 0.4f; // nostril filter
constexpr float kVelumAreaFloor = 1e-6f; // guards the velum junction's divide
constexpr float kVelumClosed = 0.001f;   // at or below: no nasal coupling
constexpr float kVelumFull = 0.55f;      // at or above: nostrils fully heard

// Source: glottal pulse, noise, DC blocker, turbulence.
constexpr float kPi = 3.1415927f;
constexpr float kOpenPhase = 0.7f;     // raised-cosine opening, then closing
constexpr float kClosingPhase = 0.3f;  // the rest of the cycle
constexpr float kClosingDecay = -3.0f; // exponential decay over the closing
constexpr uint32_t kNoiseSeed = 0x12345678u;
constexpr uint32_t kNoiseMask = 0x7FFFFFFFu;
constexpr float kNoiseScale = 9.31322574615478515625e-10f; // 2^-30
constexpr float kNoiseAmplitude = 0.25f;
constexpr float kNoisePole = 0.35f; // both low-pass stages
constexpr float kFlowGain = 0.85f;
constexpr float kDcPole = 0.995f;
constexpr float kQuietAspiration = 0.2f;  // aspiration gain without breathiness
constexpr float kTurbulenceWidth = 0.75f; // narrower sections are turbulent
constexpr int kTipSection = 20;           // preferred place of turbulence
constexpr int kFirstConstriction = 4;     // sections below never constrict

// Output stage.
constexpr float kNoseRadiation = 0.75f;
constexpr float kEmphasisDifference = 0.45f, kEmphasisDirect = 0.55f;
constexpr float kApertureNew = 0.35f, kApertureOld = 0.65f;
constexpr float kRadiationMemory = 0.95f; // the emphasis subtracts 0.95 x
constexpr float kDrive = 0.7f, kCeiling = 0.95f; // tanh saturation

// Rates: at or below kLowestRate the engine runs as at kDefaultRate.
constexpr float kLowestRate = 8000.0f;
constexpr float kDefaultRate = 48000.0f;

// The parameter path.
constexpr float kPitchSpan = 380.0f, kLowestPitch = 70.0f; // 70 ... 450 Hz
constexpr float kVoicingGate = 0.01f;
constexpr float kBreathDevoicing = -0.7f;
constexpr float kGlottalCoeff = 0.75f;
constexpr float kLipCoeff = -0.85f;
constexpr float kNostrilCoeff = -0.7f;

// Element-wise copies, written as loops: the library calls no memcpy.
void copy_floats(float *to, const float *from, int count) {
  for (int k = 0; k < count; ++k)
    to[k] = from[k];
}

void zero_floats(float *x, int count) {
  for (int k = 0; k < count; ++k)
    x[k] = 0.0f;
}

// Loop bound covering count elements in whole groups of `lanes`.
constexpr int whole(int count, int lanes) {
  return (count + lanes - 1) / lanes * lanes;
}

// One value at a time: the lane set of the plain form, and of the parts of
// the vector form that run per sample (source, ends, output stage). Its math
// is the C library's. The vector lane sets further down offer the same
// members over several lanes.
struct lanes1 {
  typedef float v;
  typedef bool mask;
  typedef int i;
  typedef uint32_t u;
  template <class T> static TW_INLINE T pick(mask m, T a, T b) {
    return m ? a : b;
  }
  static TW_INLINE v splat(float x) { return x; }
  static TW_INLINE v to_float(u x) { return static_cast<float>(x); }
  static TW_INLINE v cos(v x) { return cosf(x); }
  static TW_INLINE v exp(v x) { return expf(x); }
  static TW_INLINE v tanh(v x) { return tanhf(x); }
};

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

// A resting shape plus one offset per articulator, each confined to its band
// of sections, blended into the lip opening at the mouth end and clamped.
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
// Engine record: everything a voice carries between blocks that the caller
// does not pass in. The four-function library keeps one per thread; the
// voices library keeps one in every voice. Plain data with a constant
// initialiser, so that a thread's copy is filled from the TLS template by the
// platform, with none of our code running.

// The source's running state. T is one voice's float or a vector of voices,
// U the matching unsigned integer.
template <class T, class U> struct source_state_of {
  U rng_state;
  T noise_lp1;
  T noise_lp2;
  T prev_glottal_raw;
  T prev_glottal_dc;

  // Calls f with each field and its namesake in other.
  template <class Other, class F> void zip(Other &other, F f) {
    f(rng_state, other.rng_state);
    f(noise_lp1, other.noise_lp1);
    f(noise_lp2, other.noise_lp2);
    f(prev_glottal_raw, other.prev_glottal_raw);
    f(prev_glottal_dc, other.prev_glottal_dc);
  }
};

// The filters that run from sample to sample at the two ends of the tube and
// in the output stage.
template <class T> struct end_filters_of {
  T lip_refl_filter;
  T nasal_refl_filter;
  T prev_rad_sample;
  T rad_aperture_state;

  template <class Other, class F> void zip(Other &other, F f) {
    f(lip_refl_filter, other.lip_refl_filter);
    f(nasal_refl_filter, other.nasal_refl_filter);
    f(prev_rad_sample, other.prev_rad_sample);
    f(rad_aperture_state, other.rad_aperture_state);
  }
};

// The smoother's history: each section's raw scattered value of the previous
// sample.
struct wave_history {
  float prev_R[kOral];
  float prev_L[kOral];
  float prev_nasal_R[kNasal];
  float prev_nasal_L[kNasal];
};

typedef source_state_of<float, uint32_t> source_state;
typedef end_filters_of<float> end_filters;

struct engine_record {
  source_state source;
  end_filters filters;
  wave_history history;
};

// The noise seed is the only value that is not zero.
constexpr engine_record kInitialRecord = {{kNoiseSeed, 0.0f, 0.0f, 0.0f, 0.0f},
                                          {0.0f, 0.0f, 0.0f, 0.0f},
                                          {{}, {}, {}, {}}};

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

inline bool scalars_finite(const engine_record &r) {
  const float scalars[] = {
      r.source.noise_lp1,        r.source.noise_lp2,
      r.source.prev_glottal_raw, r.source.prev_glottal_dc,
      r.filters.lip_refl_filter, r.filters.nasal_refl_filter,
      r.filters.prev_rad_sample, r.filters.rad_aperture_state};
  return all_finite(scalars, 8);
}

// Back to the initial record. The history is zeroed by loops rather than
// copied as one struct, which the compiler would turn into a memcpy call.
void reset_record(engine_record &r) {
  r.source = kInitialRecord.source;
  r.filters = kInitialRecord.filters;
  zero_floats(r.history.prev_R, kOral);
  zero_floats(r.history.prev_L, kOral);
  zero_floats(r.history.prev_nasal_R, kNasal);
  zero_floats(r.history.prev_nasal_L, kNasal);
}

// ---------------------------------------------------------------------------
// Coefficients: what the tube needs to know about a block, worked out once

// The block's inputs, as the caller gave them.
struct block_controls {
  float f0, amp, mix, breathiness;
  const float *oral;
  const float *nasal;
  float velum;
  float glottal_coeff, lip_coeff, nostril_coeff;
  float sample_rate;
};

// The caller's half of a voice.
struct voice_arrays {
  float *R, *L, *nasal_R, *nasal_L;
  float *phase;
};

// Per-block values at the ends, the velum junction and the constriction:
// one voice's scalars (lanes1), or a vector of voices in the voices
// library's batch engine.
template <class S> struct block_scalars_of {
  typename S::v glottal_coeff, lip_coeff, nostril_coeff;
  typename S::v a9, a10, an, junction_area; // areas at the velum junction
  typename S::mask velum_open;
  typename S::i constriction;
  typename S::v turbulence_weight;
  typename S::mask turbulent;
  typename S::v nose_gain, lip_transmission, nostril_transmission;
};

typedef block_scalars_of<lanes1> block_scalars;

// Coefficient arrays hold whole vectors of the widest lane set, plus one.
constexpr int kOralSlots = whole(kOral, 16) + 16;
constexpr int kNasalSlots = whole(kNasal, 16) + 16;

struct tube_setup {
  // K[j] belongs to the junction between sections j and j + 1; lanes past the
  // last junction hold 0, which passes a wave through untouched.
  TW_ALIGN float K[kOralSlots];
  TW_ALIGN float KN[kNasalSlots];
  block_scalars s;
};

// Kelly-Lochbaum reflection coefficient between two sections, clamped so that
// the tube cannot ring up without limit.
template <class S>
TW_INLINE typename S::v reflection(typename S::v d_prev, typename S::v d_next) {
  typedef typename S::v V;
  const V a = d_prev * d_prev;
  const V b = d_next * d_next;
  const V sum = a + b;
  V r = S::pick(sum > kAreaFloor, (a - b) / sum, S::splat(0.0f));
  r = S::pick(r > kMaxReflection, S::splat(kMaxReflection), r);
  r = S::pick(r < -kMaxReflection, S::splat(-kMaxReflection), r);
  return r;
}

// The narrowest of sections 4 to 24, scanning upwards from the tongue tip's
// section 20 as the first candidate and taking a section only when it is
// strictly narrower, so that a NaN is never taken and ties go to section 20,
// then to the lowest index. d[k] is section k's diameter.
template <class S, class D>
TW_INLINE typename S::i find_constriction(const D &d, typename S::v &d_min) {
  typedef typename S::i I;
  I constriction = I{} + kTipSection;
  d_min = d[kTipSection];
  for (int k = kFirstConstriction; k < kOral; ++k) {
    const typename S::mask narrower = d[k] < d_min;
    d_min = S::pick(narrower, d[k], d_min);
    constriction = S::pick(narrower, I{} + k, constriction);
  }
  return constriction;
}

// The three-port junction at the velum: areas of the two oral sections it
// joins and of the nasal port.
template <class S>
TW_INLINE void setup_velum_junction(typename S::v d9, typename S::v d10,
                                    typename S::v velum,
                                    block_scalars_of<S> &s) {
  s.a9 = d9 * d9;
  s.a10 = d10 * d10;
  s.an = velum * velum;
  s.junction_area = (s.a9 + s.a10) + s.an;
  s.junction_area = S::pick(s.junction_area < kVelumAreaFloor,
                            S::splat(kVelumAreaFloor), s.junction_area);
  s.velum_open = velum > kVelumClosed;
}

// Turbulence goes in at the narrowest section, weighted by how narrow it is.
template <class S>
TW_INLINE void setup_turbulence(typename S::i constriction, typename S::v d_min,
                                block_scalars_of<S> &s) {
  s.constriction = constriction;
  s.turbulence_weight = d_min / -kTurbulenceWidth + 1.0f;
  s.turbulent = d_min < kTurbulenceWidth;
}

// Reflections at the glottis, lips and nostrils, what the lips and nostrils
// let through, and how much of the nose is heard.
template <class S>
TW_INLINE void setup_ends(typename S::v glottal_coeff, typename S::v lip_coeff,
                          typename S::v nostril_coeff, typename S::v velum,
                          block_scalars_of<S> &s) {
  s.glottal_coeff = glottal_coeff;
  s.lip_coeff = lip_coeff;
  s.nostril_coeff = nostril_coeff;
  typename S::v nose_gain = velum / kVelumFull;
  nose_gain = S::pick(nose_gain < 0.0f, S::splat(0.0f), nose_gain);
  nose_gain = S::pick(nose_gain > 1.0f, S::splat(1.0f), nose_gain);
  s.nose_gain = nose_gain;
  s.lip_transmission = 1.0f - lip_coeff;
  s.nostril_transmission = 1.0f - nostril_coeff;
}

// Everything a block needs before its first sample. E supplies the
// coefficient loops and the constriction search in its own form.
template <class E>
TW_INLINE void setup_block(const block_controls &c, tube_setup &t) {
  E::coefficients(c.oral, kOral, t.K);
  E::coefficients(c.nasal, kNasal, t.KN);
  setup_velum_junction<lanes1>(c.oral[9], c.oral[10], c.velum, t.s);
  float d_min;
  const int constriction = E::narrowest(c.oral, d_min);
  setup_turbulence<lanes1>(constriction, d_min, t.s);
  setup_ends<lanes1>(c.glottal_coeff, c.lip_coeff, c.nostril_coeff, c.velum,
                     t.s);
}

// ---------------------------------------------------------------------------
// Source and noise

// A rate at or below the lowest (NaN included) would stretch the tube beyond
// use: the engine runs as at 48 kHz instead.
inline float effective_rate(float sample_rate) {
  return sample_rate > kLowestRate ? sample_rate : kDefaultRate;
}

// One period of glottal flow: a raised cosine over the open phase, then an
// exponentially damped quarter cosine closing it. A NaN phase falls into the
// closing branch. Both branches are evaluated and each lane picks its own.
template <class S> TW_INLINE typename S::v glottal_pulse(typename S::v phase) {
  typedef typename S::v V;
  const V open = (1.0f - S::cos((phase * kPi) / kOpenPhase)) * 0.5f;
  const V t = (phase - kOpenPhase) / kClosingPhase;
  const V closing = S::exp(t * kClosingDecay) * S::cos((t * kPi) * 0.5f);
  return S::pick(phase < kOpenPhase, open, closing);
}

template <class U> TW_INLINE U xorshift32(U x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

// The source's per-block constants.
template <class T> struct source_controls_of {
  T mix, unvoiced, aspiration_gain, amp, breathiness;
};
typedef source_controls_of<float> source_controls;

template <class S>
TW_INLINE source_controls_of<typename S::v>
controls_of_source(typename S::v mix, typename S::v amp,
                   typename S::v breathiness) {
  return {mix, 1.0f - mix,
          S::pick(breathiness > 0.0f, breathiness, S::splat(kQuietAspiration)),
          amp, breathiness};
}

// One sample of the source: noise through two low-pass stages, the glottal
// flow through the DC blocker, and from them the excitation at the glottis
// and the turbulence amount. The voiced part is scaled by the voiced share
// twice, once in the flow and once at the glottis.
template <class S>
TW_INLINE void source_step(source_state_of<typename S::v, typename S::u> &s,
                           const source_controls_of<typename S::v> &c,
                           typename S::v pulse, typename S::v &glottis,
                           typename S::v &turbulence) {
  typedef typename S::v V;
  s.rng_state = xorshift32(s.rng_state);
  const V noise = (S::to_float(s.rng_state & kNoiseMask) * kNoiseScale - 1.0f) *
                  kNoiseAmplitude;
  s.noise_lp1 = s.noise_lp1 + (noise - s.noise_lp1) * kNoisePole;
  s.noise_lp2 = s.noise_lp2 + (s.noise_lp1 - s.noise_lp2) * kNoisePole;
  const V flow = (pulse * c.mix) * kFlowGain;
  s.prev_glottal_dc = s.prev_glottal_dc * kDcPole + (flow - s.prev_glottal_raw);
  glottis = (s.prev_glottal_dc * c.mix +
             (c.unvoiced * s.noise_lp2) * c.aspiration_gain) *
            c.amp;
  turbulence = c.breathiness * s.noise_lp2;
  s.prev_glottal_raw = flow;
}

// ---------------------------------------------------------------------------
// Tube

// Scattering at one junction between a section and the next: the wave going
// right from the first and the wave going left from the second exchange the
// share the reflection coefficient gives.
template <class T>
TW_INLINE void scatter_junction(T right, T left, T k, T &new_right,
                                T &new_left) {
  const T w = (right - left) * k;
  new_right = right + w;
  new_left = left + w;
}

// One-pole reflections at the lips and nostrils; each result is also the
// filter's new state.
template <class T> TW_INLINE T lip_reflection(T coeff, T R24, T filter) {
  return (coeff * R24) * kLipNew + filter * kLipOld;
}
template <class T>
TW_INLINE T nostril_reflection(T coeff, T nasal_R15, T filter) {
  return (coeff * nasal_R15) * kNostrilNew + filter * kNostrilOld;
}

// The three-port junction at the velum, between oral sections 9 and 10. It
// replaces the two-port result there; with the velum shut it is an unclamped
// two-port junction and the nasal wave reflects back unchanged.
template <class S>
TW_INLINE void velum_junction(const block_scalars_of<S> &s, typename S::v R9,
                              typename S::v L10, typename S::v nasal_L0,
                              typename S::v &new_R10, typename S::v &new_L9,
                              typename S::v &new_nasal_R0) {
  typedef typename S::v V;
  const V pressure =
      2.0f * (nasal_L0 * s.an + (s.a9 * R9 + s.a10 * L10)) / s.junction_area;
  new_R10 = pressure - L10;
  new_L9 = pressure - R9;
  new_nasal_R0 = S::pick(s.velum_open, pressure - nasal_L0, nasal_L0);
}

// Smoothed write-back: the tube keeps 82% of this sample's scattered value
// and 18% of the previous one, with a small loss. The history holds raw
// values so that the smoother does not feed on its own output.
template <class T> TW_INLINE T smooth(T next, T prev) {
  return (next * kSmoothNew + prev * kSmoothOld) * kTubeLoss;
}

// The plain form: one section at a time, the C library's math.
struct plain_engine {
  struct waves {
    float R[kOral], L[kOral], nasal_R[kNasal], nasal_L[kNasal];
  };

  static TW_INLINE void coefficients(const float *d, int sections, float *K) {
    for (int j = 0; j < sections - 1; ++j)
      K[j] = reflection<lanes1>(d[j], d[j + 1]);
  }

  static TW_INLINE int narrowest(const float *d, float &d_min) {
    return find_constriction<lanes1>(d, d_min);
  }

  static TW_INLINE bool finite(const waves &w) {
    return all_finite(w.R, kOral) && all_finite(w.L, kOral) &&
           all_finite(w.nasal_R, kNasal) && all_finite(w.nasal_L, kNasal);
  }

  static TW_INLINE void load_waves(waves &w, const float *R, const float *L,
                                   const float *nasal_R, const float *nasal_L) {
    copy_floats(w.R, R, kOral);
    copy_floats(w.L, L, kOral);
    copy_floats(w.nasal_R, nasal_R, kNasal);
    copy_floats(w.nasal_L, nasal_L, kNasal);
  }

  static TW_INLINE void store_waves(const waves &w, float *R, float *L,
                                    float *nasal_R, float *nasal_L) {
    copy_floats(R, w.R, kOral);
    copy_floats(L, w.L, kOral);
    copy_floats(nasal_R, w.nasal_R, kNasal);
    copy_floats(nasal_L, w.nasal_L, kNasal);
  }

  static TW_INLINE float wrap(float x) { return fmodf(x, 1.0f); }

  static TW_INLINE void pulses(const float *phases, float *pulse, int m) {
    for (int i = 0; i < m; ++i)
      pulse[i] = glottal_pulse<lanes1>(phases[i]);
  }

  static TW_INLINE void saturate(const float *radiated, float *out, int m);

  static TW_INLINE void write_back(float *x, float *prev, const float *next,
                                   int count) {
    for (int k = 0; k < count; ++k) {
      x[k] = smooth(next[k], prev[k]);
      prev[k] = next[k];
    }
  }

  // One sample: scatter, excite, reflect, smooth. raw holds the previous
  // sample's unsmoothed scattered values and receives this sample's. Every
  // read sees the waves as they stood at the start of the sample.
  static TW_INLINE void sample(const tube_setup &t, end_filters &f, waves &w,
                               waves &raw, float glottis, float turbulence,
                               float &lips_out, float &nostrils_out) {
    const block_scalars &s = t.s;
    float new_R[kOral], new_L[kOral], new_NR[kNasal], new_NL[kNasal];
    for (int k = 1; k < kOral; ++k)
      scatter_junction(w.R[k - 1], w.L[k], t.K[k - 1], new_R[k], new_L[k - 1]);
    new_R[0] = w.L[0] * s.glottal_coeff + glottis;

    new_L[kOral - 1] =
        lip_reflection(s.lip_coeff, w.R[kOral - 1], f.lip_refl_filter);
    f.lip_refl_filter = new_L[kOral - 1];

    velum_junction<lanes1>(s, w.R[9], w.L[10], w.nasal_L[0], new_R[10],
                           new_L[9], new_NR[0]);

    for (int k = 1; k < kNasal; ++k)
      scatter_junction(w.nasal_R[k - 1], w.nasal_L[k], t.KN[k - 1], new_NR[k],
                       new_NL[k - 1]);
    new_NL[kNasal - 1] = nostril_reflection(
        s.nostril_coeff, w.nasal_R[kNasal - 1], f.nasal_refl_filter);
    f.nasal_refl_filter = new_NL[kNasal - 1];

    if (turbulence != 0.0f && s.turbulent) {
      const int k = s.constriction;
      new_R[k] = new_R[k] + turbulence * s.turbulence_weight;
      new_L[k] = new_L[k] + turbulence * s.turbulence_weight;
    }

    lips_out = w.R[kOral - 1];
    nostrils_out = w.nasal_R[kNasal - 1];

    write_back(w.R, raw.R, new_R, kOral);
    write_back(w.L, raw.L, new_L, kOral);
    write_back(w.nasal_R, raw.nasal_R, new_NR, kNasal);
    write_back(w.nasal_L, raw.nasal_L, new_NL, kNasal);
  }
};

// ---------------------------------------------------------------------------
// Output stage

// Radiation: the waves leaving the lips and (as far as the velum lets them be
// heard) the nostrils, emphasised against 0.95 x the previous radiated value,
// then smoothed by a one pole. Returns the smoother's state, which the
// saturation turns into the output sample.
template <class S>
TW_INLINE typename S::v
radiate(const block_scalars_of<S> &s, end_filters_of<typename S::v> &f,
        typename S::v lips_out, typename S::v nostrils_out) {
  typedef typename S::v V;
  const V x =
      ((nostrils_out * s.nostril_transmission) * kNoseRadiation) * s.nose_gain +
      lips_out * s.lip_transmission;
  f.rad_aperture_state =
      ((x - f.prev_rad_sample) * kEmphasisDifference + x * kEmphasisDirect) *
          kApertureNew +
      f.rad_aperture_state * kApertureOld;
  f.prev_rad_sample = x * kRadiationMemory;
  return f.rad_aperture_state;
}

// tanh bounds every finite sample to -0.95 ... 0.95.
template <class S> TW_INLINE typename S::v saturation(typename S::v x) {
  return S::tanh(x * kDrive) * kCeiling;
}

TW_INLINE void plain_engine::saturate(const float *radiated, float *out,
                                      int m) {
  for (int i = 0; i < m; ++i)
    out[i] = saturation<lanes1>(radiated[i]);
}

// ---------------------------------------------------------------------------
// Block driver

// Samples per pass. The glottal pulse is computed a chunk ahead of the tube
// and the saturation a chunk behind it, where the vector form runs their
// math over whole vectors.
constexpr int kChunk = 64;

// The record outlives the voice: one non-finite value left in it by an
// earlier block would turn every later block that uses it into NaN, so such
// a record goes back to its initial values before it is used. (That block's
// own output and the caller's arrays keep what the arithmetic gave.)
// Checking here rather than at the end of the block that left it lets the
// check run alongside the set-up instead of waiting for the block's last
// sample; nothing can look at the record in between. Leaves the history in
// raw.
template <class E>
TW_INLINE void load_checked_record(engine_record &r, typename E::waves &raw) {
  wave_history &h = r.history;
  E::load_waves(raw, h.prev_R, h.prev_L, h.prev_nasal_R, h.prev_nasal_L);
  if (!(scalars_finite(r) && E::finite(raw))) {
    reset_record(r);
    E::load_waves(raw, h.prev_R, h.prev_L, h.prev_nasal_R, h.prev_nasal_L);
  }
}

// The phases of the next m samples. The first sample of a block wraps with
// the full remainder, since the caller's phase may be anywhere; once the
// phase is inside (-1, 1), an increment below 1 in size keeps each sum
// inside (-2, 2), where one exact subtraction gives the same remainder.
template <class E>
TW_INLINE float advance_phase(float phase, float increment, bool small_steps,
                              bool block_start, float *phases, int m) {
  int i = 0;
  if (block_start || !small_steps) {
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
  // The vector form reads whole groups of four.
  for (i = m; i < whole(m, 4); ++i)
    phases[i] = 0.0f;
  return phase;
}

template <class E>
TW_INLINE void store_record(engine_record &r, const typename E::waves &raw,
                            const source_state &source,
                            const end_filters &filters) {
  wave_history &h = r.history;
  E::store_waves(raw, h.prev_R, h.prev_L, h.prev_nasal_R, h.prev_nasal_L);
  r.source = source;
  r.filters = filters;
}

// Runs n > 0 samples over an explicit record; the callers decide where that
// record lives. E is the form of the tube and of the math kernels.
template <class E>
TW_INLINE void run_block_with(engine_record &record, int n,
                              const block_controls &c, const voice_arrays &v,
                              float *out) {
  typename E::waves wave, raw;
  load_checked_record<E>(record, raw);

  tube_setup tube;
  setup_block<E>(c, tube);
  const float increment = c.f0 / effective_rate(c.sample_rate);
  const bool small_steps = increment < 1.0f && increment > -1.0f;
  const source_controls controls =
      controls_of_source<lanes1>(c.mix, c.amp, c.breathiness);
  source_state source = record.source;
  end_filters filters = record.filters;
  float phase = *v.phase;
  E::load_waves(wave, v.R, v.L, v.nasal_R, v.nasal_L);

  TW_ALIGN float phases[kChunk];
  TW_ALIGN float pulse[kChunk];
  TW_ALIGN float radiated[kChunk];
  for (int done = 0; done < n; done += kChunk) {
    const int m = n - done < kChunk ? n - done : kChunk;

    // The glottal pulse depends on nothing the tube does: a chunk ahead.
    phase =
        advance_phase<E>(phase, increment, small_steps, done == 0, phases, m);
    E::pulses(phases, pulse, m);

    // The tube, one sample at a time. The output hears the lips and nostrils
    // as they stood at the start of each sample.
    for (int i = 0; i < m; ++i) {
      float glottis, turbulence, lips_out, nostrils_out;
      source_step<lanes1>(source, controls, pulse[i], glottis, turbulence);
      E::sample(tube, filters, wave, raw, glottis, turbulence, lips_out,
                nostrils_out);
      radiated[i] = radiate<lanes1>(tube.s, filters, lips_out, nostrils_out);
    }

    // Saturation, a chunk behind.
    for (int i = m; i < whole(m, 4); ++i)
      radiated[i] = 0.0f;
    E::saturate(radiated, out + done, m);
  }

  E::store_waves(wave, v.R, v.L, v.nasal_R, v.nasal_L);
  store_record<E>(record, raw, source, filters);
  *v.phase = phase;
}

// Defined with the platform code at the end of the file: the block on the
// widest vector form this processor offers, with the caller's floating-point
// mode set aside. isa caches what the processor offers (0 until known).
void run_block(engine_record &record, uint32_t &isa, int n,
               const block_controls &c, const voice_arrays &v, float *out);

// ---------------------------------------------------------------------------
// Entry points

// A parameter vector to the geometry and the engine's controls, with fixed
// reflections at the three ends.
struct parameter_path {
  float oral[kOral];
  float nasal[kNasal];
  float velum = 0.0f;
  float f0, amp, mix, breathiness;

  parameter_path() = default;
  explicit parameter_path(const float *p) { compute(p); }

  void compute(const float *p) {
    shape_tract(p, oral, nasal, &velum);
    f0 = p[TRACTWAVE_PITCH] * kPitchSpan + kLowestPitch;
    amp = p[TRACTWAVE_VOICING] < kVoicingGate ? 0.0f : p[TRACTWAVE_VOICING];
    // An out-of-range voice mix (NaN included) means fully voiced, not the
    // nearer bound.
    const float q = p[TRACTWAVE_VOICE_MIX];
    const float share = (q >= 0.0f && q <= 1.0f) ? q : 1.0f;
    mix = (kBreathDevoicing * p[TRACTWAVE_BREATHINESS] + 1.0f) * share;
    breathiness = p[TRACTWAVE_BREATHINESS];
  }

  block_controls controls(float sample_rate) const;
};

// The controls of a block over an explicit geometry, as the callers pass them.
inline block_controls geometry_controls(float f0, float amp, float mix,
                                        float breathiness, const float *oral,
                                        const float *nasal, float velum,
                                        float glottal_coeff, float lip_coeff,
                                        float nostril_coeff,
                                        float sample_rate) {
  return {f0,    amp,           mix,       breathiness,   oral,       nasal,
          velum, glottal_coeff, lip_coeff, nostril_coeff, sample_rate};
}

inline block_controls parameter_path::controls(float sample_rate) const {
  return geometry_controls(f0, amp, mix, breathiness, oral, nasal, velum,
                           kGlottalCoeff, kLipCoeff, kNostrilCoeff,
                           sample_rate);
}

#ifndef TRACTWAVE_ENGINE_ONLY
// Defined with the platform code: run_block over the calling thread's record.
void run_on_this_thread(int n, const block_controls &c, const voice_arrays &v,
                        float *out);
#endif

} // namespace

#ifndef TRACTWAVE_ENGINE_ONLY
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
    // An empty block writes the phase back unchanged, as every block does,
    // so that the phase is written by every call whatever its length.
    *phase = *phase;
    return;
  }
  const voice_arrays arrays = {R, L, nasal_R, nasal_L, phase};
  run_on_this_thread(n,
                     geometry_controls(f0, amp, mix, breathiness,
                                       oral_diameters, nasal_diameters, velum,
                                       glottal_coeff, lip_coeff, nostril_coeff,
                                       sample_rate),
                     arrays, out);
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
                                out, kDefaultRate);
}

} // extern "C"
#endif // TRACTWAVE_ENGINE_ONLY

namespace {

#ifdef TRACTWAVE_VECTOR
// ---------------------------------------------------------------------------
// Vector form: lane sets and math kernels

// A lane set: a float vector, its integer and unsigned twins, and the
// members lanes1 offers, over every lane at once.
template <int N, class V, class I, class U> struct lane_set {
  static constexpr int n = N;
  typedef V v;
  typedef I i;
  typedef U u;
  typedef I mask;

  template <class T> static TW_INLINE T pick(I m, T a, T b) {
    return m ? a : b;
  }
  static TW_INLINE V splat(float x) { return V{} + x; }
  static TW_INLINE V to_float(U x) { return __builtin_convertvector(x, V); }
  static TW_INLINE V cos(V x);
  static TW_INLINE V exp(V x);
  static TW_INLINE V tanh(V x);
};

#define TW_LANE_TYPES(N)                                                       \
  typedef float f32x##N __attribute__((vector_size(4 * N)));                   \
  typedef int32_t i32x##N __attribute__((vector_size(4 * N)));                 \
  typedef uint32_t u32x##N __attribute__((vector_size(4 * N)));                \
  typedef lane_set<N, f32x##N, i32x##N, u32x##N> lanes##N;

TW_LANE_TYPES(4)
#ifdef TRACTWAVE_WIDE_X86
TW_LANE_TYPES(8)
TW_LANE_TYPES(16)
#endif

template <class To, class From> TW_INLINE To bits(From x) {
  static_assert(sizeof(To) == sizeof(From), "same size");
  To to;
  __builtin_memcpy(&to, &x, sizeof to);
  return to;
}

// Loads and stores at any float alignment; the fixed-size copies compile to
// single vector moves.
template <class S> TW_INLINE typename S::v load(const float *p) {
  typename S::v x;
  __builtin_memcpy(&x, p, sizeof x);
  return x;
}
template <class S> TW_INLINE void store(float *p, typename S::v x) {
  __builtin_memcpy(p, &x, sizeof x);
}
template <class S> TW_INLINE typename S::v vabs(typename S::v x) {
  typedef typename S::i I;
  return bits<typename S::v>(bits<I>(x) & 0x7FFFFFFF);
}

// Cosine for the arguments the glottal pulse uses (|x| below a few hundred):
// reduction by multiples of pi/4 in three exact parts, then the minimax sine
// or cosine polynomial of the octant. Within a few ulp of a correctly rounded
// cosf; NaN and infinities give NaN.
template <int N, class v, class i, class U>
TW_INLINE v lane_set<N, v, i, U>::cos(v x) {
  const v ax = vabs<lane_set>(x);
  i j = __builtin_convertvector(ax * 1.27323954473516f, i);
  j = (j + 1) & ~1;
  const v y = __builtin_convertvector(j, v);
  const v r = ((ax - y * 0.78515625f) - y * 2.4187564849853515625e-4f) -
              y * 3.77489497744594108e-8f;
  const v z = r * r;
  const v c = ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z +
               4.166664568298827e-2f) *
                  z * z -
              0.5f * z + 1.0f;
  const v s =
      ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z *
          r +
      r;
  const v value = pick((j & 2) != 0, s, c);
  const i negative = ((j + 2) & 4) << 29;
  return bits<v>(bits<i>(value) ^ negative);
}

// exp for |x| up to about 87: x = n ln2 + r, a degree-6 polynomial for e^r,
// and 2^n built in the exponent field. NaN stays NaN.
template <int N, class v, class i, class U>
TW_INLINE v lane_set<N, v, i, U>::exp(v x) {
  x = pick(x > 88.0f, splat(88.0f), x);
  x = pick(x < -87.0f, splat(-87.0f), x);
  const v f = x * 1.44269504088896341f + 0.5f;
  const v t = __builtin_convertvector(__builtin_convertvector(f, i), v);
  const v n = pick(t > f, t - 1.0f, t);
  const v r = (x - n * 0.693359375f) - n * -2.12194440e-4f;
  const v z = r * r;
  const v p =
      (((((1.9875691500e-4f * r + 1.3981999507e-3f) * r + 8.3334519073e-3f) *
             r +
         4.1665795894e-2f) *
            r +
        1.6666665459e-1f) *
           r +
       5.0000001201e-1f) *
          z +
      r + 1.0f;
  return p * bits<v>((__builtin_convertvector(n, i) + 127) << 23);
}

// tanh: an odd polynomial near zero, where 1 - 2 / (e^2x + 1) would lose small
// values to cancellation; that form elsewhere, saturating to exactly 1.
template <int N, class v, class i, class U>
TW_INLINE v lane_set<N, v, i, U>::tanh(v x) {
  const v ax = vabs<lane_set>(x);
  const v z = x * x;
  const v near_zero =
      ((((-5.70498872745e-3f * z + 2.06390887954e-2f) * z - 5.37397155531e-2f) *
            z +
        1.33314422036e-1f) *
           z -
       3.33332819422e-1f) *
          z * x +
      x;
  const v e = exp(pick(ax > 20.0f, splat(40.0f), ax + ax));
  const v far = 1.0f - 2.0f / (e + 1.0f);
  const i sign = bits<i>(x) & static_cast<int32_t>(0x80000000u);
  return pick(ax < 0.625f, near_zero, bits<v>(bits<i>(far) | sign));
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

// The same over every lane.
template <class S> TW_INLINE typename S::v wrap_unit(typename S::v x) {
  typedef typename S::v V;
  typedef typename S::i I;
  const V whole_part =
      __builtin_convertvector(__builtin_convertvector(x, I), V);
  const V f = S::pick(vabs<S>(x) < 8388608.0f, x - whole_part, x * 0.0f);
  const I sign = bits<I>(x) & static_cast<int32_t>(0x80000000u);
  return bits<V>((bits<I>(f) & 0x7FFFFFFF) | sign);
}

// ---------------------------------------------------------------------------
// Vector form: moving sections between lanes

// The tube moves waves one section per sample, so each junction needs its
// neighbour's value: next_section gives elements k + 1 ... from the vectors
// holding k ..., previous_section elements k - 1 ... . The shift happens
// between registers, never through a misaligned reload of a value stored a
// moment earlier, which the processor could not forward from its store
// buffer.
template <class S>
typename S::v next_section(typename S::v here, typename S::v after);
template <class S>
typename S::v previous_section(typename S::v before, typename S::v here);

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

// What a single section's value becomes when the vector form blends it into
// a vector of sections: a broadcast adds it to +0, which turns -0 into +0
// (and nothing else). The batch form of the voices library does the same at
// the same places, so that both vector forms give the same bits.
template <class T> TW_INLINE T as_blended(T x) { return T{} + x; }

// x in lane `lane` of v, again without a round trip through memory.
template <class S>
TW_INLINE typename S::v with_lane(typename S::v v, int lane, float x) {
  typename S::i index;
  for (int k = 0; k < S::n; ++k)
    index[k] = k;
  typename S::i mask = index == lane;
#if defined(__x86_64__) && !defined(__clang__)
  // Keeps GCC from merging this blend with neighbouring shuffles into a
  // permutation it can only build lane by lane.
  __asm__("" : "+x"(mask));
#endif
  return S::pick(mask, S::splat(x), v);
}

// The oral tube's 25 sections fill whole vectors but for one section (four
// and eight lanes) or nine (sixteen). last_section takes the vector that ends
// at section 24 and gives the last partial vector, padded with zeros;
// ending_at_last_section gives, from the last two vectors, the one that ends
// at section 24, for a store that stays inside the caller's array.
static_assert(kOral % 4 == 1 && kOral % 8 == 1 && kOral % 16 == 9,
              "tail shuffles assume 25 oral sections");
// One section over: the neighbour shifts do it.
template <class S> TW_INLINE typename S::v last_section(typename S::v ending) {
  return previous_section<S>(ending, typename S::v{});
}
template <class S>
TW_INLINE typename S::v ending_at_last_section(typename S::v before,
                                               typename S::v last) {
  return next_section<S>(before, last);
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

// ---------------------------------------------------------------------------
// Vector form: the tube in whole vectors of sections

// Padding lanes start at zero and never feed a real section: waves in them
// only move away from the tube, and the junctions past the last section have
// a zero coefficient.
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
      const V r = reflection<S>(lo[q], hi);
      store<S>(K + q * n, S::pick(lane + q * n < sections - 1, r, V{}));
    }
  }

  // The scalar search's answer without a branch per section: lane-wise
  // minima, then the first section equal to the minimum, unless section 20
  // already holds it.
  static TW_INLINE int narrowest(const float *d, float &d_min) {
    typedef lanes4::v V4;
    constexpr float kInf = __builtin_inff();
    const V4 sections[6] = {load<lanes4>(d + 4),  load<lanes4>(d + 8),
                            load<lanes4>(d + 12), load<lanes4>(d + 16),
                            load<lanes4>(d + 20), V4{d[24], kInf, kInf, kInf}};
    V4 m = lanes4::splat(d[kTipSection]);
    for (const V4 &x : sections)
      m = lanes4::pick(x < m, x, m);
    float least = m[0];
    for (int k = 1; k < 4; ++k)
      least = m[k] < least ? m[k] : least;
    d_min = least;
    if (!(least < d[kTipSection]))
      return kTipSection;
    for (int k = kFirstConstriction; k < kOral; ++k)
      if (d[k] == least)
        return k;
    return kTipSection;
  }

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
    TW_ALIGN float lane_sums[n];
    store<S>(lane_sums, sum);
    return all_finite(lane_sums, n);
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
      store<S>(out + i, saturation<S>(load<S>(radiated + i)));
    for (; i + 4 <= m; i += 4)
      store<lanes4>(out + i, saturation<lanes4>(load<lanes4>(radiated + i)));
    if (i < m) {
      TW_ALIGN float tail[4];
      store<lanes4>(tail, saturation<lanes4>(load<lanes4>(radiated + i)));
      copy_floats(out + i, tail, m - i);
    }
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
      scatter_junction(right[q], next_section<S>(left[q], after), K[q],
                       moved[q], new_left[q]);
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

  // The plain form's sample, with the sections in lanes: the ends, the velum
  // junction and the turbulence work on single lanes, blended in.
  static TW_INLINE void sample(const tube_setup &t, end_filters &f, waves &w,
                               waves &raw, float glottis, float turbulence,
                               float &lips_out, float &nostrils_out) {
    const block_scalars &s = t.s;
    const V *K = reinterpret_cast<const V *>(t.K);
    const V *KN = reinterpret_cast<const V *>(t.KN);
    V new_R[oral_vecs], new_L[oral_vecs];
    scatter<oral_vecs, oral_junction_vecs>(
        w.R, w.L, K, w.L[0][0] * s.glottal_coeff + glottis, new_R, new_L);

    const float R24 = lane_of(w.R, kOral - 1);
    const float lip = lip_reflection(s.lip_coeff, R24, f.lip_refl_filter);
    f.lip_refl_filter = lip;
    constexpr int lips = (kOral - 1) / n;
    new_L[lips] = with_lane<S>(new_L[lips], (kOral - 1) % n, lip);

    const float nasal_L0 = w.nasal_L[0][0];
    float new_R10, new_L9, nasal_in;
    velum_junction<lanes1>(s, lane_of(w.R, 9), lane_of(w.L, 10), nasal_L0,
                           new_R10, new_L9, nasal_in);
    new_R[10 / n] = with_lane<S>(new_R[10 / n], 10 % n, new_R10);
    new_L[9 / n] = with_lane<S>(new_L[9 / n], 9 % n, new_L9);

    V new_NR[nasal_vecs], new_NL[nasal_vecs];
    scatter<nasal_vecs, nasal_junction_vecs>(w.nasal_R, w.nasal_L, KN, nasal_in,
                                             new_NR, new_NL);

    const float NR15 = lane_of(w.nasal_R, kNasal - 1);
    const float nostril =
        nostril_reflection(s.nostril_coeff, NR15, f.nasal_refl_filter);
    f.nasal_refl_filter = nostril;
    constexpr int nostrils = (kNasal - 1) / n;
    new_NL[nostrils] =
        with_lane<S>(new_NL[nostrils], (kNasal - 1) % n, nostril);

    if (turbulence != 0.0f && s.turbulent) {
      const float injected = turbulence * s.turbulence_weight;
      const int lane = s.constriction % n;
      TW_UNROLL
      for (int q = 0; q < oral_vecs; ++q) {
        if (q == s.constriction / n) {
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
// Platform: the instruction set, chosen at run time

// What a thread (or a voice) knows about the processor, found on its first
// block.
enum : uint32_t { kIsaUnknown = 0, kIsaBase, kIsaAvx2, kIsaAvx512 };

#ifndef TRACTWAVE_MAX_LANES
#define TRACTWAVE_MAX_LANES 16
#endif

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
run_block_avx2(engine_record &record, int n, const block_controls &c,
               const voice_arrays &v, float *out) {
  run_block_with<vector_engine<lanes8>>(record, n, c, v, out);
}

__attribute__((target("avx512f"), noinline)) void
run_block_avx512(engine_record &record, int n, const block_controls &c,
                 const voice_arrays &v, float *out) {
  run_block_with<vector_engine<lanes16>>(record, n, c, v, out);
}
#endif

__attribute__((noinline)) void
run_block_widest(engine_record &record, uint32_t &isa, int n,
                 const block_controls &c, const voice_arrays &v, float *out) {
#ifdef TRACTWAVE_WIDE_X86
  if (isa == kIsaUnknown)
    isa = detect_isa();
  if (isa == kIsaAvx512 && TRACTWAVE_MAX_LANES >= 16)
    return run_block_avx512(record, n, c, v, out);
  if (isa >= kIsaAvx2 && TRACTWAVE_MAX_LANES >= 8)
    return run_block_avx2(record, n, c, v, out);
#endif
  (void)isa;
#ifdef TRACTWAVE_VECTOR
  run_block_with<vector_engine<lanes4>>(record, n, c, v, out);
#else
  run_block_with<plain_engine>(record, n, c, v, out);
#endif
}

// ---------------------------------------------------------------------------
// Platform: floating-point mode

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

void run_block(engine_record &record, uint32_t &isa, int n,
               const block_controls &c, const voice_arrays &v, float *out) {
  fp_mode mode;
  mode.enter();
  run_block_widest(record, isa, n, c, v, out);
  mode.leave();
}

#ifndef TRACTWAVE_ENGINE_ONLY
// ---------------------------------------------------------------------------
// Platform: the per-thread record

// A thread's record, and what the thread found out about the processor on
// its first block. Constant-initialised, so the platform fills every
// thread's copy from the TLS template.
struct thread_state {
  engine_record record;
  uint32_t isa;
};

thread_local thread_state this_thread = {kInitialRecord, kIsaUnknown};

void run_on_this_thread(int n, const block_controls &c, const voice_arrays &v,
                        float *out) {
  thread_state &t = this_thread;
  run_block(t.record, t.isa, n, c, v, out);
}
#endif

} // namespace

#if defined(_WIN32) && defined(__clang__) && !defined(TRACTWAVE_ENGINE_ONLY)
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
