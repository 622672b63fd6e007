// The block driver, shared by the plain form (here) and the vector form
// (vector.h): record check, phase advance, a chunk of pulses ahead of the
// tube, the tube a sample at a time, the saturation a chunk behind.
#ifndef TRACTWAVE_ENGINE_DRIVE_H
#define TRACTWAVE_ENGINE_DRIVE_H

#include "model.h"

namespace {

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

  static TW_INLINE void saturate(const float *radiated, float *out, int m) {
    for (int i = 0; i < m; ++i)
      out[i] = saturation<lanes1>(radiated[i]);
  }

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

    new_L[kLips] = lip_reflection(s.lip_coeff, w.R[kLips], f.lip_refl_filter);
    f.lip_refl_filter = new_L[kLips];

    velum_junction<lanes1>(s, w.R[kVelumBelow], w.L[kVelumAbove], w.nasal_L[0],
                           new_R[kVelumAbove], new_L[kVelumBelow], new_NR[0]);

    for (int k = 1; k < kNasal; ++k)
      scatter_junction(w.nasal_R[k - 1], w.nasal_L[k], t.KN[k - 1], new_NR[k],
                       new_NL[k - 1]);
    new_NL[kNostrils] = nostril_reflection(
        s.nostril_coeff, w.nasal_R[kNostrils], f.nasal_refl_filter);
    f.nasal_refl_filter = new_NL[kNostrils];

    if (turbulence != 0.0f && s.turbulent) {
      const int k = s.constriction;
      new_R[k] = new_R[k] + turbulence * s.turbulence_weight;
      new_L[k] = new_L[k] + turbulence * s.turbulence_weight;
    }

    lips_out = w.R[kLips];
    nostrils_out = w.nasal_R[kNostrils];

    write_back(w.R, raw.R, new_R, kOral);
    write_back(w.L, raw.L, new_L, kOral);
    write_back(w.nasal_R, raw.nasal_R, new_NR, kNasal);
    write_back(w.nasal_L, raw.nasal_L, new_NL, kNasal);
  }
};

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

} // namespace

#endif // TRACTWAVE_ENGINE_DRIVE_H
