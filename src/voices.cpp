// tractwave voices: the engine of src/engine/ over voices that live in the
// caller's memory. The same headers make the four-function library, so the
// model exists once and both libraries give the same bits for the same
// voice.

#include "engine/batch.h"

#include "tractwave_voices.h"

#include <stddef.h>

namespace {

// A voice: everything the four-function library keeps in the caller's arrays
// and in the thread's record, in one plain block with no pointers, so that a
// byte copy is a fork. The instruction set found on the voice's first block
// is kept here, not in a global, so that the library has no mutable state of
// its own.
struct voice_state {
  engine_record record;
  float R[kOral], L[kOral], nasal_R[kNasal], nasal_L[kNasal];
  float phase;
  uint32_t isa;
};

constexpr int kVoiceAlignment = 64;
constexpr int kVoiceSize =
    static_cast<int>((sizeof(voice_state) + kVoiceAlignment - 1) /
                     kVoiceAlignment * kVoiceAlignment);
static_assert(alignof(voice_state) <= kVoiceAlignment, "voice alignment");

voice_state &as_voice(void *memory) {
  return *static_cast<voice_state *>(memory);
}

void render_one(voice_state &v, int n, const block_controls &c, float *out) {
  const voice_arrays arrays = {v.R, v.L, v.nasal_R, v.nasal_L, &v.phase};
  run_block(v.record, v.isa, n, c, arrays, out);
}

void render_parameters(voice_state &v, int n, const float *parameters,
                       float *out, float sample_rate) {
  const parameter_path path(parameters);
  render_one(v, n, path.controls(sample_rate), out);
}

// The batch's voices through the per-voice engine, one after another.
void render_one_by_one(voice_state *const *voices, int count, int n,
                       const float *parameters, float *out, float sample_rate) {
  for (int i = 0; i < count; ++i)
    render_parameters(*voices[i], n,
                      parameters +
                          static_cast<ptrdiff_t>(i) * TRACTWAVE_NUM_PARAMETERS,
                      out + static_cast<ptrdiff_t>(i) * n, sample_rate);
}

#ifdef TRACTWAVE_VOICE_LANES
// A group costs about as much as this many voices rendered one by one (the
// per-voice engine keeps one voice's sections in lanes), measured on x86-64:
// a smaller remainder runs voice by voice.
template <class S> constexpr int group_worth() {
  return S::n == 16 ? 7 : S::n == 8 ? 5 : 4;
}

// Full groups of S, then the remainder voice by voice or in the narrowest
// set that holds it: the lanes a voice runs in never change its bits.
template <class S>
TW_INLINE void render_groups(voice_state *const *voices, int count, int n,
                             const float *parameters, float *out,
                             float sample_rate) {
  int first = 0;
  for (; count - first >= S::n; first += S::n)
    render_group<S, voice_state>(
        voices + first, S::n, n,
        parameters + static_cast<ptrdiff_t>(first) * TRACTWAVE_NUM_PARAMETERS,
        out + static_cast<ptrdiff_t>(first) * n, sample_rate);
  const int rest = count - first;
  const float *p =
      parameters + static_cast<ptrdiff_t>(first) * TRACTWAVE_NUM_PARAMETERS;
  float *o = out + static_cast<ptrdiff_t>(first) * n;
  if (rest < group_worth<S>()) {
    render_one_by_one(voices + first, rest, n, p, o, sample_rate);
    return;
  }
#ifdef TRACTWAVE_WIDE_X86
  if constexpr (S::n == 16) {
    if (rest > 8) {
      render_group<lanes16, voice_state>(voices + first, rest, n, p, o,
                                         sample_rate);
      return;
    }
  }
  if constexpr (S::n >= 8)
    render_group<lanes8, voice_state>(voices + first, rest, n, p, o,
                                      sample_rate);
#endif
}
#endif // TRACTWAVE_VOICE_LANES

// A batch as a dispatcher's job: full groups of S, or voice by voice where
// the build keeps voices out of lanes.
struct batch_job {
  voice_state *const *voices;
  int count, n;
  const float *parameters;
  float *out;
  float sample_rate;
  template <class S> TW_INLINE void run() const {
#ifdef TRACTWAVE_VOICE_LANES
    if constexpr (S::n > 1) {
      render_groups<S>(voices, count, n, parameters, out, sample_rate);
      return;
    }
#endif
    render_one_by_one(voices, count, n, parameters, out, sample_rate);
  }
};

// Whole groups of the widest lane set the processor offers, and the
// remainder in the narrowest set that holds it.
void render_batch(voice_state *const *voices, int count, int n,
                  const float *parameters, float *out, float sample_rate) {
  uint32_t isa = voices[0]->isa;
#if defined(TRACTWAVE_WIDE_X86)
  // The first voice's answer serves the whole batch, and every voice keeps
  // it, as it would after a block of its own.
  known_isa(isa);
  for (int i = 0; i < count; ++i)
    voices[i]->isa = isa;
#endif
  on_widest(isa, batch_job{voices, count, n, parameters, out, sample_rate});
}

} // namespace

extern "C" {

TRACTWAVE_VOICES_API int tractwave_voice_size(void) { return kVoiceSize; }

TRACTWAVE_VOICES_API int tractwave_voice_alignment(void) {
  return kVoiceAlignment;
}

TRACTWAVE_VOICES_API void tractwave_voice_init(void *voice) {
  // Every byte, padding included, so that two fresh voices compare equal.
  unsigned char *bytes = static_cast<unsigned char *>(voice);
  for (int k = 0; k < kVoiceSize; ++k)
    bytes[k] = 0;
  voice_state &v = as_voice(voice);
  reset_record(v.record);
  v.isa = kIsaUnknown;
}

TRACTWAVE_VOICES_API void tractwave_voice_render(void *voice, int n,
                                                 const float *parameters,
                                                 float *out,
                                                 float sample_rate) {
  if (n <= 0)
    return;
  render_parameters(as_voice(voice), n, parameters, out, sample_rate);
}

TRACTWAVE_VOICES_API void tractwave_voice_render_geometry(
    void *voice, int n, float f0, float amp, float mix, float breathiness,
    const float *oral_diameters, const float *nasal_diameters, float velum,
    float glottal_coeff, float lip_coeff, float nostril_coeff, float *out,
    float sample_rate) {
  if (n <= 0)
    return;
  render_one(as_voice(voice), n,
             geometry_controls(f0, amp, mix, breathiness, oral_diameters,
                               nasal_diameters, velum, glottal_coeff, lip_coeff,
                               nostril_coeff, sample_rate),
             out);
}

TRACTWAVE_VOICES_API void tractwave_voices_render(void *const *voices,
                                                  int count, int n,
                                                  const float *parameters,
                                                  float *out,
                                                  float sample_rate) {
  if (count <= 0 || n <= 0)
    return;
  voice_state *const *v = reinterpret_cast<voice_state *const *>(voices);
  render_batch(v, count, n, parameters, out, sample_rate);
}

} // extern "C"
