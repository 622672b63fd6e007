// tractwave: the whole library.
//
// Sections follow the signal: geometry -> coefficients -> source and noise ->
// scattering -> output -> entry points. Everything in the signal path is
// single precision and evaluated in the order written; the build forbids
// multiply-add contraction on x86-64 so that results do not depend on the
// optimiser.

#include "tractwave.h"

#include <math.h>
#include <stdint.h>

namespace {

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr int kNasal = TRACTWAVE_NASAL_SECTIONS;

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
  for (int k = first; k <= last; ++k)
    d[k] = d[k] + offset;
}

void shape_tract(const float *p, float *oral, float *nasal, float *velum) {
  for (int k = 0; k < kOral; ++k)
    oral[k] = RESTING_ORAL[k];
  for (int k = 0; k < kNasal; ++k)
    nasal[k] = RESTING_NASAL[k];

  // Offsets are added in this order; where bands overlap (sections 1-4, 9 and
  // 18) the earlier articulator's offset goes in first.
  add_offset(oral, 1, 9, (0.5f - p[TRACTWAVE_PHARYNX]) * 0.8f);
  add_offset(oral, 0, 4, (p[TRACTWAVE_LARYNX] - 0.5f) * 0.4f);
  const float body = p[TRACTWAVE_TONGUE_BODY];
  add_offset(oral, 9, 12, 0.7f * (body - 0.5f));
  add_offset(oral, 13, 18, (body - 0.5f) * -0.9f);

  // The tip has two regimes with a deliberate step at 0.35: a gentle shift
  // above, a strong closure (down to -1.5 at 0) below.
  const float tip = p[TRACTWAVE_TONGUE_TIP];
  const float tip_offset =
      tip < 0.35f ? ((0.35f - tip) / -0.35f) * 1.5f : (tip - 0.5f) * 0.5f;
  add_offset(oral, 18, 21, tip_offset);

  const float lip = p[TRACTWAVE_LIPS] * 2.2f;
  oral[21] = oral[21] * 0.75f + 0.25f * lip;
  oral[22] = oral[22] * 0.5f + 0.5f * lip;
  oral[23] = oral[23] * 0.25f + 0.75f * lip;
  oral[24] = oral[24] * 0.0f + lip;

  // Both tests are strict so that a NaN passes through instead of being
  // mistaken for a valid width.
  for (int k = 0; k < kOral; ++k) {
    if (oral[k] < 0.05f)
      oral[k] = 0.05f;
    if (oral[k] > 4.5f)
      oral[k] = 4.5f;
  }
  *velum = p[TRACTWAVE_VELUM] * 0.55f;
}

// ---------------------------------------------------------------------------
// Coefficients

// Kelly-Lochbaum reflection coefficient between two sections. The clamp keeps
// every junction lossy enough that the tube cannot ring up without limit.
float reflection(float d_prev, float d_next) {
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

thread_local tract_state thread_record = {
    kNoiseSeed, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, {}, {}, {}, {}, 0.0f, 0.0f};

bool all_finite(const float *x, int count) {
  // x - x is 0 for every finite x and NaN for NaN and both infinities; the
  // accumulated sum stays 0 only if every element was finite.
  float acc = 0.0f;
  for (int k = 0; k < count; ++k)
    acc = acc + (x[k] - x[k]);
  return acc == 0.0f;
}

bool state_finite(const tract_state &s) {
  const float scalars[] = {s.noise_lp1,        s.noise_lp2,
                           s.prev_glottal_raw, s.prev_glottal_dc,
                           s.lip_refl_filter,  s.nasal_refl_filter,
                           s.prev_rad_sample,  s.rad_aperture_state};
  return all_finite(scalars, 8) && all_finite(s.prev_R, kOral) &&
         all_finite(s.prev_L, kOral) && all_finite(s.prev_nasal_R, kNasal) &&
         all_finite(s.prev_nasal_L, kNasal);
}

void clear_history(float *x, int count) {
  for (int k = 0; k < count; ++k)
    x[k] = 0.0f;
}

// Back to what a new thread starts from. Written out field by field rather
// than as a struct copy, which the compiler would turn into a memcpy call.
void reset_state(tract_state &s) {
  s.rng_state = kNoiseSeed;
  s.noise_lp1 = s.noise_lp2 = 0.0f;
  s.prev_glottal_raw = s.prev_glottal_dc = 0.0f;
  s.lip_refl_filter = s.nasal_refl_filter = 0.0f;
  clear_history(s.prev_R, kOral);
  clear_history(s.prev_L, kOral);
  clear_history(s.prev_nasal_R, kNasal);
  clear_history(s.prev_nasal_L, kNasal);
  s.prev_rad_sample = s.rad_aperture_state = 0.0f;
}

// ---------------------------------------------------------------------------
// Source and noise

constexpr float kPi = 3.1415927f;

// One period of glottal flow: a raised cosine over the open phase, then an
// exponentially damped quarter cosine closing it. A NaN phase falls into the
// closing branch.
float glottal_pulse(float phase) {
  if (phase < 0.7f)
    return (1.0f - cosf((phase * kPi) / 0.7f)) * 0.5f;
  const float t = (phase - 0.7f) / 0.3f;
  return expf(t * -3.0f) * cosf((t * kPi) * 0.5f);
}

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

// ---------------------------------------------------------------------------
// Scattering and output: one block of the engine

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

// Smoothed write-back: the tube keeps 82% of this sample's scattered value and
// 18% of the previous one, with a small loss. The history holds raw values so
// that the smoother does not feed on its own output.
void write_back(float *x, float *prev, const float *next, int count) {
  for (int k = 0; k < count; ++k) {
    x[k] = (next[k] * 0.82f + prev[k] * 0.18f) * 0.994f;
    prev[k] = next[k];
  }
}

// Runs n > 0 samples with an explicit state record; the exported functions
// decide where that record lives.
void run_block(tract_state &st, int n, const block_controls &c,
               const voice_arrays &v, float *out) {
  float K[kOral];
  float KN[kNasal];
  K[0] = 0.0f;
  KN[0] = 0.0f;
  for (int k = 1; k < kOral; ++k)
    K[k] = reflection(c.oral[k - 1], c.oral[k]);
  for (int k = 1; k < kNasal; ++k)
    KN[k] = reflection(c.nasal[k - 1], c.nasal[k]);

  const float rate = c.sample_rate > 8000.0f ? c.sample_rate : 48000.0f;
  const float increment = c.f0 / rate;
  const float aspiration_gain = c.breathiness > 0.0f ? c.breathiness : 0.2f;
  const float unvoiced = 1.0f - c.mix;

  // Turbulence goes in at the narrowest section from 4 to 24; section 20 (the
  // tongue tip) is preferred on ties.
  int constriction = 20;
  float d_min = c.oral[20];
  for (int k = 4; k < kOral; ++k) {
    if (c.oral[k] < d_min) {
      d_min = c.oral[k];
      constriction = k;
    }
  }
  const float turbulence_weight = d_min / -0.75f + 1.0f;
  const bool turbulent = d_min < 0.75f;

  const float a9 = c.oral[9] * c.oral[9];
  const float a10 = c.oral[10] * c.oral[10];
  const float an = c.velum * c.velum;
  float nose_gain = c.velum / 0.55f;
  if (nose_gain < 0.0f)
    nose_gain = 0.0f;
  if (nose_gain > 1.0f)
    nose_gain = 1.0f;
  const bool velum_open = c.velum > 0.001f;
  const float lip_transmission = 1.0f - c.lip_coeff;
  const float nostril_transmission = 1.0f - c.nostril_coeff;

  uint32_t rng = st.rng_state;
  float noise_lp1 = st.noise_lp1;
  float noise_lp2 = st.noise_lp2;
  float prev_glottal_raw = st.prev_glottal_raw;
  float prev_glottal_dc = st.prev_glottal_dc;
  float lip_refl_filter = st.lip_refl_filter;
  float nasal_refl_filter = st.nasal_refl_filter;
  float prev_rad_sample = st.prev_rad_sample;
  float rad_aperture_state = st.rad_aperture_state;
  float phase = *v.phase;

  float *R = v.R, *L = v.L, *nasal_R = v.nasal_R, *nasal_L = v.nasal_L;
  float new_R[kOral], new_L[kOral], new_nasal_R[kNasal], new_nasal_L[kNasal];

  for (int i = 0; i < n; ++i) {
    phase = fmodf(phase + increment, 1.0f);
    const float pulse = glottal_pulse(phase);
    rng = xorshift32(rng);

    for (int k = 1; k < kOral; ++k) {
      const float w = (R[k - 1] - L[k]) * K[k];
      new_R[k] = R[k - 1] + w;
      new_L[k - 1] = L[k] + w;
    }

    const float noise = aspiration_noise(rng);
    noise_lp1 = noise_lp1 + (noise - noise_lp1) * 0.35f;
    noise_lp2 = noise_lp2 + (noise_lp1 - noise_lp2) * 0.35f;
    const float flow = (pulse * c.mix) * 0.85f;
    prev_glottal_dc = prev_glottal_dc * 0.995f + (flow - prev_glottal_raw);

    new_R[0] =
        L[0] * c.glottal_coeff +
        (prev_glottal_dc * c.mix + (unvoiced * noise_lp2) * aspiration_gain) *
            c.amp;

    new_L[kOral - 1] =
        (c.lip_coeff * R[kOral - 1]) * 0.55f + lip_refl_filter * 0.45f;
    lip_refl_filter = new_L[kOral - 1];

    // Three-port junction at the velum, between oral sections 9 and 10. It
    // replaces the two-port result there; with the velum shut it is an
    // unclamped two-port junction and the nasal wave reflects unchanged.
    const float nl0 = nasal_L[0];
    float denom = (a9 + a10) + an;
    if (denom < 1e-6f)
      denom = 1e-6f;
    const float pressure =
        2.0f * (nl0 * an + (a9 * R[9] + a10 * L[10])) / denom;
    new_R[10] = pressure - L[10];
    new_L[9] = pressure - R[9];
    new_nasal_R[0] = velum_open ? pressure - nl0 : nl0;

    for (int k = 1; k < kNasal; ++k) {
      const float w = (nasal_R[k - 1] - nasal_L[k]) * KN[k];
      new_nasal_R[k] = nasal_R[k - 1] + w;
      new_nasal_L[k - 1] = nasal_L[k] + w;
    }

    new_nasal_L[kNasal - 1] = (c.nostril_coeff * nasal_R[kNasal - 1]) * 0.6f +
                              nasal_refl_filter * 0.4f;
    nasal_refl_filter = new_nasal_L[kNasal - 1];

    const float turbulence = c.breathiness * noise_lp2;
    if (turbulence != 0.0f && turbulent) {
      new_R[constriction] =
          new_R[constriction] + turbulence * turbulence_weight;
      new_L[constriction] =
          new_L[constriction] + turbulence * turbulence_weight;
    }

    // The output hears the lips and nostrils as they stood at the start of the
    // sample, before the write-back below.
    const float lips_out = R[kOral - 1];
    const float nostrils_out = nasal_R[kNasal - 1];

    write_back(R, st.prev_R, new_R, kOral);
    write_back(L, st.prev_L, new_L, kOral);
    write_back(nasal_R, st.prev_nasal_R, new_nasal_R, kNasal);
    write_back(nasal_L, st.prev_nasal_L, new_nasal_L, kNasal);

    const float radiated =
        ((nostrils_out * nostril_transmission) * 0.75f) * nose_gain +
        lips_out * lip_transmission;
    // Emphasis against 0.95 x the previous value, then a one-pole smoother;
    // tanh bounds every finite sample to -0.95 ... 0.95.
    rad_aperture_state =
        ((radiated - prev_rad_sample) * 0.45f + radiated * 0.55f) * 0.35f +
        rad_aperture_state * 0.65f;
    out[i] = tanhf(rad_aperture_state * 0.7f) * 0.95f;
    prev_rad_sample = radiated * 0.95f;

    prev_glottal_raw = flow;
  }

  st.rng_state = rng;
  st.noise_lp1 = noise_lp1;
  st.noise_lp2 = noise_lp2;
  st.prev_glottal_raw = prev_glottal_raw;
  st.prev_glottal_dc = prev_glottal_dc;
  st.lip_refl_filter = lip_refl_filter;
  st.nasal_refl_filter = nasal_refl_filter;
  st.prev_rad_sample = prev_rad_sample;
  st.rad_aperture_state = rad_aperture_state;
  *v.phase = phase;

  // The record outlives the voice: one non-finite value left in it would turn
  // every later block on this thread, for every voice, into NaN. The block's
  // own output and the caller's arrays keep what the arithmetic gave.
  if (!state_finite(st))
    reset_state(st);
}

} // namespace

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
  run_block(thread_record, n, controls, arrays, out);
}

TRACTWAVE_API void synthesize_waveguide_chunk_ex(int n, const float *parameters,
                                                 float *R, float *L,
                                                 float *nasal_R, float *nasal_L,
                                                 float *phase, float *out,
                                                 float sample_rate) {
  float oral[kOral];
  float nasal[kNasal];
  float velum = 0.0f;
  shape_tract(parameters, oral, nasal, &velum);

  const float *p = parameters;
  const float f0 = p[TRACTWAVE_PITCH] * 380.0f + 70.0f;
  const float amp = p[TRACTWAVE_VOICING] < 0.01f ? 0.0f : p[TRACTWAVE_VOICING];
  // An out-of-range voice mix (NaN included) means fully voiced, not the
  // nearer bound.
  const float q = p[TRACTWAVE_VOICE_MIX];
  const float share = (q >= 0.0f && q <= 1.0f) ? q : 1.0f;
  const float mix = (-0.7f * p[TRACTWAVE_BREATHINESS] + 1.0f) * share;

  step_waveguide_block(n, f0, amp, mix, p[TRACTWAVE_BREATHINESS], oral, nasal,
                       velum, 0.75f, -0.85f, -0.7f, R, L, nasal_R, nasal_L,
                       phase, out, sample_rate);
}

TRACTWAVE_API void synthesize_waveguide_chunk(int n, const float *parameters,
                                              float *R, float *L,
                                              float *nasal_R, float *nasal_L,
                                              float *phase, float *out) {
  synthesize_waveguide_chunk_ex(n, parameters, R, L, nasal_R, nasal_L, phase,
                                out, 48000.0f);
}

} // extern "C"
