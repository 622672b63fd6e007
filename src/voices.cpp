// tractwave voices: the engine of waveguide.cpp over voices that live in the
// caller's memory. waveguide.cpp is compiled into this library with its
// exported functions and its per-thread record left out, so the model exists
// once and both libraries give the same bits for the same voice.

#define TRACTWAVE_ENGINE_ONLY
#include "waveguide.cpp"

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
  render_one(as_voice(voice), n, controls, out);
}

TRACTWAVE_VOICES_API void tractwave_voices_render(void *const *voices,
                                                  int count, int n,
                                                  const float *parameters,
                                                  float *out,
                                                  float sample_rate) {
  if (count <= 0 || n <= 0)
    return;
  for (int i = 0; i < count; ++i)
    render_parameters(as_voice(voices[i]), n,
                      parameters + static_cast<ptrdiff_t>(i) * 10,
                      out + static_cast<ptrdiff_t>(i) * n, sample_rate);
}

} // extern "C"
