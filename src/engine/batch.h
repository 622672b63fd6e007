// The batch form: many voices at once, one voice per vector lane, each lane
// doing exactly what the per-voice engine does for that voice. Voice is the
// voices library's voice: its record, its four wave arrays and its phase.
#ifndef TRACTWAVE_ENGINE_BATCH_H
#define TRACTWAVE_ENGINE_BATCH_H

#include "platform.h"

#include <stddef.h>

namespace {

// A batch runs one voice per vector lane wherever the engine is vectorised,
// except where the build fuses multiply-adds (arm64): a fused operation
// rounds once, and the compiler fuses the lane-per-voice code differently
// from the per-voice engine, so a voice in a batch would part from the same
// voice alone in the last bits. There a batch renders voice by voice.
#if defined(TRACTWAVE_VECTOR) && !defined(__aarch64__)
#define TRACTWAVE_VOICE_LANES 1
#endif

#ifdef TRACTWAVE_VOICE_LANES
// A record the engine may use: no infinity or NaN anywhere in it.
bool record_finite(const engine_record &r) {
  const wave_history &h = r.history;
  return scalars_finite(r) && all_finite(h.prev_R, kOral) &&
         all_finite(h.prev_L, kOral) && all_finite(h.prev_nasal_R, kNasal) &&
         all_finite(h.prev_nasal_L, kNasal);
}

// ---------------------------------------------------------------------------
// Many voices at once, one voice per vector lane

// The engine's formulas over vectors whose lanes are voices. Each lane does
// exactly what the per-voice engine does for that voice, in the same order,
// so a voice gives the same bits whichever lane or batch it runs in. No lane
// ever looks at another: a voice never hears its neighbours.
template <class S, class Voice> struct batch_engine {
  typedef typename S::v V;
  typedef typename S::i I;
  typedef typename S::u U;
  static constexpr int n = S::n;

  // The four wave arrays of both tubes, a vector of voices per section.
  struct waves {
    V R[kOral], L[kOral], nasal_R[kNasal], nasal_L[kNasal];
  };

  // Up to n voices, lane j holding voice j. Within a block the tubes keep
  // only the raw scattered waves of the last two samples (raw[recent] and
  // raw[older]); a smoothed wave is recomputed from them where a junction
  // reads it, which takes the same arithmetic as writing it back smoothed
  // and half the stores. smoothed holds the voices' waves at the block's
  // start and end.
  struct group {
    waves smoothed;
    waves raw[2];
    V K[kOral - 1], KN[kNasal - 1];
    source_state_of<V, U> source;
    source_controls_of<V> controls;
    end_filters_of<V> filters;
    block_scalars_of<S> s;
    V phase, increment;
    // The sections where some lane may inject turbulence (empty when
    // first > last), and for each the lanes that inject there.
    int first_turbulent, last_turbulent;
    I injects_at[kOral];
  };

  static TW_INLINE void gather(V *lanes, const float *values, int count,
                               int lane) {
    for (int k = 0; k < count; ++k)
      lanes[k][lane] = values[k];
  }
  static TW_INLINE void scatter(float *values, const V *lanes, int count,
                                int lane) {
    for (int k = 0; k < count; ++k)
      values[k] = lanes[k][lane];
  }

  // Loads the voices into lanes (their history into raw[0]) and works out
  // the block's per-lane constants. Lanes past count repeat voice 0 and are
  // never stored.
  static TW_INLINE void load(group &g, Voice *const *voices, int count,
                             const block_controls *controls,
                             float sample_rate) {
    V oral[kOral], nasal[kNasal], f0, amp, mix, breathiness, velum;
    V glottal_coeff, lip_coeff, nostril_coeff;
    for (int j = 0; j < n; ++j) {
      Voice &v = *voices[j < count ? j : 0];
      const block_controls &c = controls[j < count ? j : 0];
      if (j < count && !record_finite(v.record))
        reset_record(v.record);
      const wave_history &h = v.record.history;
      gather(g.smoothed.R, v.R, kOral, j);
      gather(g.smoothed.L, v.L, kOral, j);
      gather(g.smoothed.nasal_R, v.nasal_R, kNasal, j);
      gather(g.smoothed.nasal_L, v.nasal_L, kNasal, j);
      gather(g.raw[0].R, h.prev_R, kOral, j);
      gather(g.raw[0].L, h.prev_L, kOral, j);
      gather(g.raw[0].nasal_R, h.prev_nasal_R, kNasal, j);
      gather(g.raw[0].nasal_L, h.prev_nasal_L, kNasal, j);
      engine_record::zip(v.record, g,
                         [j](auto &one, auto &many, auto) { many[j] = one; });
      g.phase[j] = v.phase;
      gather(oral, c.oral, kOral, j);
      gather(nasal, c.nasal, kNasal, j);
      f0[j] = c.f0;
      amp[j] = c.amp;
      mix[j] = c.mix;
      breathiness[j] = c.breathiness;
      velum[j] = c.velum;
      glottal_coeff[j] = c.glottal_coeff;
      lip_coeff[j] = c.lip_coeff;
      nostril_coeff[j] = c.nostril_coeff;
    }

    for (int k = 0; k < kOral - 1; ++k)
      g.K[k] = reflection<S>(oral[k], oral[k + 1]);
    for (int k = 0; k < kNasal - 1; ++k)
      g.KN[k] = reflection<S>(nasal[k], nasal[k + 1]);
    setup_velum_junction<S>(oral[kVelumBelow], oral[kVelumAbove], velum, g.s);
    V d_min;
    const I constriction = find_constriction<S>(oral, d_min);
    setup_turbulence<S>(constriction, d_min, g.s);
    setup_ends<S>(glottal_coeff, lip_coeff, nostril_coeff, velum, g.s);
    g.controls = controls_of_source<S>(mix, amp, breathiness);
    g.increment = f0 / effective_rate(sample_rate);

    g.first_turbulent = kOral;
    g.last_turbulent = -1;
    for (int j = 0; j < n; ++j) {
      if (g.s.turbulent[j]) {
        const int k = g.s.constriction[j];
        g.first_turbulent = k < g.first_turbulent ? k : g.first_turbulent;
        g.last_turbulent = k > g.last_turbulent ? k : g.last_turbulent;
      }
    }
    for (int k = g.first_turbulent; k <= g.last_turbulent; ++k)
      g.injects_at[k] = g.s.turbulent & (g.s.constriction == k);
  }

  // The smoothed waves from the last two raw ones, exactly as the per-voice
  // engine writes them back, and raw[recent] as the history.
  static TW_INLINE void store(group &g, const waves &recent, const waves &older,
                              Voice *const *voices, int count) {
    waves &x = g.smoothed;
    for (int k = 0; k < kOral; ++k) {
      x.R[k] = smooth(recent.R[k], older.R[k]);
      x.L[k] = smooth(recent.L[k], older.L[k]);
    }
    for (int k = 0; k < kNasal; ++k) {
      x.nasal_R[k] = smooth(recent.nasal_R[k], older.nasal_R[k]);
      x.nasal_L[k] = smooth(recent.nasal_L[k], older.nasal_L[k]);
    }
    for (int j = 0; j < count; ++j) {
      Voice &v = *voices[j];
      wave_history &h = v.record.history;
      scatter(v.R, x.R, kOral, j);
      scatter(v.L, x.L, kOral, j);
      scatter(v.nasal_R, x.nasal_R, kNasal, j);
      scatter(v.nasal_L, x.nasal_L, kNasal, j);
      scatter(h.prev_R, recent.R, kOral, j);
      scatter(h.prev_L, recent.L, kOral, j);
      scatter(h.prev_nasal_R, recent.nasal_R, kNasal, j);
      scatter(h.prev_nasal_L, recent.nasal_L, kNasal, j);
      engine_record::zip(v.record, g,
                         [j](auto &one, auto &many, auto) { one = many[j]; });
      v.phase = g.phase[j];
    }
  }

  // The waves as a sample reads them: at a block's first sample the voices'
  // own smoothed waves, after it smoothed from the last two raw samples.
  template <bool first> struct reader {
    const waves &smoothed, &recent, &older;
    TW_INLINE V R(int k) const {
      return first ? smoothed.R[k] : smooth(recent.R[k], older.R[k]);
    }
    TW_INLINE V L(int k) const {
      return first ? smoothed.L[k] : smooth(recent.L[k], older.L[k]);
    }
    TW_INLINE V nasal_R(int k) const {
      return first ? smoothed.nasal_R[k]
                   : smooth(recent.nasal_R[k], older.nasal_R[k]);
    }
    TW_INLINE V nasal_L(int k) const {
      return first ? smoothed.nasal_L[k]
                   : smooth(recent.nasal_L[k], older.nasal_L[k]);
    }
  };

  // A section's new raw waves, with the turbulence some lanes inject there
  // first, replace the older of the two raw samples kept.
  static TW_INLINE void finish_section(const group &g, waves &to, int k,
                                       V new_R, V new_L, I injecting,
                                       V injected) {
    if (k >= g.first_turbulent && k <= g.last_turbulent) {
      const I here = injecting & g.injects_at[k];
      new_R = S::pick(here, as_blended(new_R + injected), new_R);
      new_L = S::pick(here, as_blended(new_L + injected), new_L);
    }
    to.R[k] = new_R;
    to.L[k] = new_L;
  }

  // One sample of every lane: the per-voice engine's sample with the same
  // arithmetic, single sections included as that engine blends them in. Each
  // tube is swept from its start, and a section's new waves are stored as
  // soon as both are known, once nothing else reads its old ones. The new
  // raw waves go to older, which becomes the recent sample. Returns the
  // radiation smoother's state.
  template <bool first>
  static TW_INLINE V sample(group &g, const waves &recent, waves &older,
                            V pulse) {
    const reader<first> w = {g.smoothed, recent, older};
    V glottis, turbulence;
    source_step<S>(g.source, g.controls, pulse, glottis, turbulence);
    const I injecting = turbulence != 0.0f;
    const V injected = turbulence * g.s.turbulence_weight;

    const V lips_out = w.R(kLips);
    const V nostrils_out = w.nasal_R(kNostrils);
    const V nasal_L0 = w.nasal_L(0);

    // Oral tube. right is section k - 1's old rightward wave, new_right its
    // new one.
    V right = w.R(0);
    V new_right = as_blended(w.L(0) * g.s.glottal_coeff + glottis);
    V nasal_in;
    TW_UNROLL_ALL
    for (int k = 1; k < kOral; ++k) {
      const V left = w.L(k);
      const V right_here = k == kLips ? lips_out : w.R(k);
      V new_R, new_L_before;
      if (k == kVelumAbove) {
        velum_junction<S>(g.s, right, left, nasal_L0, new_R, new_L_before,
                          nasal_in);
        new_R = as_blended(new_R);
        new_L_before = as_blended(new_L_before);
        nasal_in = as_blended(nasal_in);
      } else {
        scatter_junction(right, left, g.K[k - 1], new_R, new_L_before);
      }
      finish_section(g, older, k - 1, new_right, new_L_before, injecting,
                     injected);
      right = right_here;
      new_right = new_R;
    }
    const V lip =
        lip_reflection(g.s.lip_coeff, right, g.filters.lip_refl_filter);
    g.filters.lip_refl_filter = lip;
    finish_section(g, older, kLips, new_right, as_blended(lip), injecting,
                   injected);

    // Nasal tube, fed at the velum.
    right = w.nasal_R(0);
    new_right = nasal_in;
    TW_UNROLL_ALL
    for (int k = 1; k < kNasal; ++k) {
      const V left = w.nasal_L(k);
      const V right_here = k == kNostrils ? nostrils_out : w.nasal_R(k);
      V new_R, new_L_before;
      scatter_junction(right, left, g.KN[k - 1], new_R, new_L_before);
      older.nasal_R[k - 1] = new_right;
      older.nasal_L[k - 1] = new_L_before;
      right = right_here;
      new_right = new_R;
    }
    const V nostril = nostril_reflection(g.s.nostril_coeff, right,
                                         g.filters.nasal_refl_filter);
    g.filters.nasal_refl_filter = nostril;
    older.nasal_R[kNostrils] = new_right;
    older.nasal_L[kNostrils] = as_blended(nostril);

    return radiate<S>(g.s, g.filters, lips_out, nostrils_out);
  }

  // Each voice's samples from lanes to its block: n samples at a time by a
  // transposition between registers, one vector store per voice, and the
  // last few lane by lane. Overwrites radiated.
  static TW_INLINE void write_out(V *radiated, int m, int count,
                                  float *const *out, int done) {
    int i = 0;
    for (; i + n <= m; i += n) {
      transpose<S>(radiated + i);
      for (int j = 0; j < count; ++j)
        __builtin_memcpy(out[j] + done + i, &radiated[i + j], sizeof(V));
    }
    for (; i < m; ++i)
      for (int j = 0; j < count; ++j)
        out[j][done + i] = radiated[i][j];
  }

  // Whether every lane of x lies in [0, 1) (NaN does not).
  static TW_INLINE bool within_unit(V x) {
    bool all = true;
    for (int j = 0; j < n; ++j)
      all &= x[j] >= 0.0f && x[j] < 1.0f;
    return all;
  }

  // The phases of the next m samples, wrapped exactly as the per-voice
  // engine wraps them. The full remainder is a chain of seven dependent
  // operations per sample, which the tube cannot overlap as it comes before
  // the pulse; with every lane's phase in [0, 1) and increment in [0, 1)
  // (every forward pitch below the rate), each sum lies in [0, 2), where one
  // exact subtraction gives the same remainder.
  static TW_INLINE void advance_phase(group &g, bool forward_steps, V *phases,
                                      int m) {
    if (forward_steps && within_unit(g.phase)) {
      for (int i = 0; i < m; ++i) {
        const V x = g.phase + g.increment;
        g.phase = S::pick(x < 1.0f, x, x - 1.0f);
        phases[i] = g.phase;
      }
    } else {
      for (int i = 0; i < m; ++i) {
        g.phase = wrap_unit<S>(g.phase + g.increment);
        phases[i] = g.phase;
      }
    }
  }

  // One block of up to n voices; out[j] receives voice j's samples.
  static TW_INLINE void render(Voice *const *voices, int count, int samples,
                               const block_controls *controls,
                               float *const *out, float sample_rate) {
    group g;
    load(g, voices, count, controls, sample_rate);
    V pulse[kChunk], radiated[kChunk];
    const bool forward_steps = within_unit(g.increment);
    // raw[0] holds the history, the raw waves before the first sample; each
    // sample writes its own over the older of the two, so after sample t
    // the recent ones are in raw[(t + 1) % 2].
    for (int done = 0; done < samples; done += kChunk) {
      const int m = samples - done < kChunk ? samples - done : kChunk;
      const int whole_m = whole(m, kLockstep);
      // The pulse depends on nothing the tube does, so it is computed a
      // chunk ahead, several vectors at a time.
      advance_phase(g, forward_steps, pulse, m);
      for (int i = m; i < whole_m; ++i)
        pulse[i] = V{};
      in_lockstep<S, pulse_kernel>(pulse, whole_m);
      int i = 0;
      if (done == 0) {
        radiated[i] = sample<true>(g, g.raw[0], g.raw[1], pulse[i]);
        ++i;
      }
      for (; i < m; ++i)
        radiated[i] = (done + i) % 2 == 1
                          ? sample<false>(g, g.raw[1], g.raw[0], pulse[i])
                          : sample<false>(g, g.raw[0], g.raw[1], pulse[i]);
      for (int i = m; i < whole_m; ++i)
        radiated[i] = V{};
      in_lockstep<S, saturation_kernel>(radiated, whole_m);
      write_out(radiated, m, count, out, done);
    }
    const int recent = samples % 2;
    store(g, g.raw[recent], g.raw[1 - recent], voices, count);
  }
};

// Up to kMaxGroup voices of one batch call: their controls and where their
// samples go.
constexpr int kMaxGroup = 16;

template <class S, class Voice>
TW_INLINE void render_group(Voice *const *voices, int count, int n,
                            const float *parameters, float *out,
                            float sample_rate) {
  // The geometry lives only as long as the block, as in the per-voice path.
  parameter_path paths[kMaxGroup];
  block_controls controls[kMaxGroup];
  float *outs[kMaxGroup];
  for (int j = 0; j < count; ++j) {
    paths[j].compute(parameters +
                     static_cast<ptrdiff_t>(j) * TRACTWAVE_NUM_PARAMETERS);
    controls[j] = paths[j].controls(sample_rate);
    outs[j] = out + static_cast<ptrdiff_t>(j) * n;
  }
  // The caller's floating-point mode holds while the parameters are mapped,
  // as in the per-voice path: with subnormals flushed, a subnormal voice mix
  // would count as 0 instead of out of range.
  fp_mode mode;
  mode.enter();
  batch_engine<S, Voice>::render(voices, count, n, controls, outs, sample_rate);
  mode.leave();
}

#endif // TRACTWAVE_VOICE_LANES

} // namespace

#endif // TRACTWAVE_ENGINE_BATCH_H
