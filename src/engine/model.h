// The engine's model: build switches, constants, the tract's layout and
// geometry, the record a voice carries between blocks, and every formula of
// the signal path, in the order the signal flows (geometry -> coefficients
// -> source and noise -> tube -> output stage -> the parameter path).
//
// The formulas are templates over a lane set (lanes1 here, the vector lane
// sets in vector.h): every form of the engine instantiates the same ones, and
// each lane does exactly the scalar arithmetic in the same order.
//
// Everything in the signal path is single precision and evaluated in the
// order written; the build forbids multiply-add contraction on x86-64 so that
// results do not depend on the optimiser.
//
// The engine headers are internal: each library includes them into its one
// translation unit, inside an anonymous namespace, so nothing here is
// exported and nothing runs at load.
#ifndef TRACTWAVE_ENGINE_MODEL_H
#define TRACTWAVE_ENGINE_MODEL_H

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
// The tract's layout: oral section 0 at the glottis, kLips at the mouth;
// nasal section 0 at the velum, kNostrils at the nose. The velum's
// three-port junction replaces the two-port one between oral sections
// kVelumBelow and kVelumAbove. Turbulence goes in at the narrowest section
// from kFirstConstriction to the lips, the tongue tip's section preferred.
constexpr int kLips = kOral - 1;
constexpr int kNostrils = kNasal - 1;
constexpr int kVelumBelow = 9;
constexpr int kVelumAbove = kVelumBelow + 1;
constexpr int kFirstConstriction = 4; // sections below never constrict
constexpr int kTipSection = 20;       // preferred place of turbulence

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
constexpr float kPitchSpan = TRACTWAVE_PITCH_SPAN_HZ,
                kLowestPitch = TRACTWAVE_PITCH_LOWEST_HZ; // 70 ... 450 Hz
constexpr float kVoicingGate = 0.01f;
constexpr float kBreathDevoicing = -0.7f;
constexpr float kGlottalCoeff = TRACTWAVE_GLOTTAL_COEFF;
constexpr float kLipCoeff = TRACTWAVE_LIP_COEFF;
constexpr float kNostrilCoeff = TRACTWAVE_NOSTRIL_COEFF;

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

// The articulators that move a band of sections linearly about their
// neutral 0.5, in the order their offsets are added: where bands overlap
// (sections 1-4, 9 and 18) the earlier one goes in first. The tongue tip
// (sections 18-21) and the lips (21-24) follow with rules of their own.
struct articulator {
  int parameter;
  int first, last; // the band of oral sections it moves
  float gain;      // diameter change per unit of the parameter
};
constexpr articulator ARTICULATORS[] = {
    {TRACTWAVE_PHARYNX, 1, 9, -0.8f}, // a wider pharynx narrows above it
    {TRACTWAVE_LARYNX, 0, 4, 0.4f},
    {TRACTWAVE_TONGUE_BODY, 9, 12, 0.7f},
    {TRACTWAVE_TONGUE_BODY, 13, 18, -0.9f},
};

// The tip has two regimes with a deliberate step at kTipStep: a gentle
// shift above, a strong closure (down to -kTipClosure at 0) below.
constexpr int kTipFirst = 18, kTipLast = 21;
constexpr float kTipStep = 0.35f, kTipClosure = 1.5f, kTipGain = 0.5f;

// The lip opening (kLipWidth at 1) blends into the last sections: each keeps
// `keep` of its diameter and takes `share` of the opening.
constexpr float kLipWidth = 2.2f;
struct lip_blend {
  int section;
  float keep, share;
};
constexpr lip_blend LIP_BLEND[] = {
    {kLips - 3, 0.75f, 0.25f},
    {kLips - 2, 0.5f, 0.5f},
    {kLips - 1, 0.25f, 0.75f},
    {kLips, 0.0f, 1.0f},
};

// Every oral section stays within these diameters.
constexpr float kNarrowestSection = 0.05f, kWidestSection = 4.5f;

void add_offset(float *d, int first, int last, float offset) {
  TW_UNROLL_ALL
  for (int k = first; k <= last; ++k)
    d[k] = d[k] + offset;
}

TW_INLINE void add_articulator(float *oral, const float *p,
                               const articulator &a) {
  add_offset(oral, a.first, a.last, (p[a.parameter] - 0.5f) * a.gain);
}

// A resting shape plus one offset per articulator, each confined to its band
// of sections, blended into the lip opening at the mouth end and clamped.
// A fully open velum parameter opens the nasal port just as far as the
// nostrils are fully heard.
void shape_tract(const float *p, float *oral_out, float *nasal_out,
                 float *velum) {
  // Built in a local array and written out once, every parameter read
  // before: the caller's arrays might alias nothing, but the compiler cannot
  // know that.
  const float velum_opening = p[TRACTWAVE_VELUM] * kVelumFull;
  float oral[kOral];
  TW_UNROLL_ALL
  for (int k = 0; k < kOral; ++k)
    oral[k] = RESTING_ORAL[k];

  // Row by row rather than in a loop, so that every band's bounds are
  // constants where the compiler unrolls add_offset.
  static_assert(sizeof ARTICULATORS / sizeof ARTICULATORS[0] == 4,
                "shape_tract applies every row of ARTICULATORS");
  add_articulator(oral, p, ARTICULATORS[0]);
  add_articulator(oral, p, ARTICULATORS[1]);
  add_articulator(oral, p, ARTICULATORS[2]);
  add_articulator(oral, p, ARTICULATORS[3]);

  const float tip = p[TRACTWAVE_TONGUE_TIP];
  const float tip_offset = tip < kTipStep
                               ? ((kTipStep - tip) / -kTipStep) * kTipClosure
                               : (tip - 0.5f) * kTipGain;
  add_offset(oral, kTipFirst, kTipLast, tip_offset);

  const float lip = p[TRACTWAVE_LIPS] * kLipWidth;
  TW_UNROLL_ALL
  for (const lip_blend &b : LIP_BLEND)
    oral[b.section] = oral[b.section] * b.keep + b.share * lip;

  // Both tests are strict so that a NaN passes through instead of being
  // mistaken for a valid width.
  TW_UNROLL_ALL
  for (int k = 0; k < kOral; ++k) {
    float d = oral[k];
    d = d < kNarrowestSection ? kNarrowestSection : d;
    d = d > kWidestSection ? kWidestSection : d;
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

// Each state struct lists its fields once more, in zip, with each field's
// initial value: zip(a, b, f) calls f(field of a, namesake in b, initial
// value) for every field. The batch form moves records into lanes and back
// through it, the check below finds the floats through it, and the initial
// record is made by it; record_fields_complete proves that it names every
// field.

// The source's running state. T is one voice's float or a vector of voices,
// U the matching unsigned integer.
template <class T, class U> struct source_state_of {
  U rng_state;
  T noise_lp1;
  T noise_lp2;
  T prev_glottal_raw;
  T prev_glottal_dc;

  template <class A, class B, class F>
  static constexpr void zip(A &a, B &b, F f) {
    f(a.rng_state, b.rng_state, kNoiseSeed);
    f(a.noise_lp1, b.noise_lp1, 0.0f);
    f(a.noise_lp2, b.noise_lp2, 0.0f);
    f(a.prev_glottal_raw, b.prev_glottal_raw, 0.0f);
    f(a.prev_glottal_dc, b.prev_glottal_dc, 0.0f);
  }
};

// The filters that run from sample to sample at the two ends of the tube and
// in the output stage.
template <class T> struct end_filters_of {
  T lip_refl_filter;
  T nasal_refl_filter;
  T prev_rad_sample;
  T rad_aperture_state;

  template <class A, class B, class F>
  static constexpr void zip(A &a, B &b, F f) {
    f(a.lip_refl_filter, b.lip_refl_filter, 0.0f);
    f(a.nasal_refl_filter, b.nasal_refl_filter, 0.0f);
    f(a.prev_rad_sample, b.prev_rad_sample, 0.0f);
    f(a.rad_aperture_state, b.rad_aperture_state, 0.0f);
  }
};

// The smoother's history: each section's raw scattered value of the previous
// sample, all zero at first.
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

  // The scalar fields, source first.
  template <class A, class B, class F>
  static constexpr void zip(A &a, B &b, F f) {
    source_state::zip(a.source, b.source, f);
    end_filters::zip(a.filters, b.filters, f);
  }
};

constexpr engine_record initial_record() {
  engine_record r{};
  engine_record::zip(
      r, r, [](auto &field, auto &, auto initial) { field = initial; });
  return r;
}

constexpr engine_record kInitialRecord = initial_record();

// Whether a field is one voice's float (the record check's business) rather
// than the noise generator's integer state.
template <class T> struct is_float { static constexpr bool value = false; };
template <> struct is_float<float> { static constexpr bool value = true; };

// How many of the scalar fields are floats, and whether zip covers every
// byte of the scalar structs.
constexpr int record_float_fields() {
  engine_record r{};
  int count = 0;
  engine_record::zip(r, r, [&count](auto &field, auto &, auto) {
    count += is_float<decltype(+field)>::value ? 1 : 0;
  });
  return count;
}

constexpr bool record_fields_complete() {
  engine_record r{};
  int bytes = 0;
  engine_record::zip(r, r, [&bytes](auto &field, auto &, auto) {
    bytes += static_cast<int>(sizeof field);
  });
  return bytes == static_cast<int>(sizeof(source_state) + sizeof(end_filters));
}

static_assert(record_fields_complete(), "zip names every field of the record");

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
  constexpr int count = record_float_fields();
  float scalars[count];
  int k = 0;
  engine_record::zip(r, r, [&](const auto &field, const auto &, auto) {
    if constexpr (is_float<decltype(+field)>::value)
      scalars[k++] = field;
  });
  return all_finite(scalars, count);
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
  setup_velum_junction<lanes1>(c.oral[kVelumBelow], c.oral[kVelumAbove],
                               c.velum, t.s);
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
// closing branch. Both branches are evaluated and each lane picks its own;
// a lane needs only its own branch's cosine, so one cosine of the picked
// argument serves both (the same bits as two, at half the cost).
template <class S> TW_INLINE typename S::v glottal_pulse(typename S::v phase) {
  typedef typename S::v V;
  const auto opening = phase < kOpenPhase;
  const V t = (phase - kOpenPhase) / kClosingPhase;
  const V c =
      S::cos(S::pick(opening, (phase * kPi) / kOpenPhase, (t * kPi) * 0.5f));
  const V open = (1.0f - c) * 0.5f;
  const V closing = S::exp(t * kClosingDecay) * c;
  return S::pick(opening, open, closing);
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

// The three-port junction at the velum, between oral sections kVelumBelow
// and kVelumAbove. It
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

// ---------------------------------------------------------------------------
// The parameter path

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

} // namespace

#endif // TRACTWAVE_ENGINE_MODEL_H
