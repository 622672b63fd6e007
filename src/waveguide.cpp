// tractwave: the four-function library. The engine is in src/engine/ (the
// model, the block driver, the vector form and the platform code); this file
// adds what belongs to this library alone: the per-thread record and the four
// exported functions.

#include "engine/platform.h"

namespace {

// A thread's record, and what the thread found out about the processor on
// its first block. Constant-initialised, so the platform fills every
// thread's copy from the TLS template.
struct thread_state {
  engine_record record;
  uint32_t isa;
};

thread_local thread_state this_thread = {kInitialRecord, kIsaUnknown};

// One block on the calling thread's record. An empty block writes the phase
// back unchanged, as every block does, so that the phase is written by every
// call whatever its length.
void run_on_this_thread(int n, const block_controls &c, const voice_arrays &v,
                        float *out) {
  if (n <= 0) {
    *v.phase = *v.phase;
    return;
  }
  thread_state &t = this_thread;
  run_block(t.record, t.isa, n, c, v, out);
}

} // namespace

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
  run_on_this_thread(n,
                     geometry_controls(f0, amp, mix, breathiness,
                                       oral_diameters, nasal_diameters, velum,
                                       glottal_coeff, lip_coeff, nostril_coeff,
                                       sample_rate),
                     {R, L, nasal_R, nasal_L, phase}, out);
}

TRACTWAVE_API void synthesize_waveguide_chunk_ex(int n, const float *parameters,
                                                 float *R, float *L,
                                                 float *nasal_R, float *nasal_L,
                                                 float *phase, float *out,
                                                 float sample_rate) {
  const parameter_path path(parameters);
  run_on_this_thread(n, path.controls(sample_rate),
                     {R, L, nasal_R, nasal_L, phase}, out);
}

TRACTWAVE_API void synthesize_waveguide_chunk(int n, const float *parameters,
                                              float *R, float *L,
                                              float *nasal_R, float *nasal_L,
                                              float *phase, float *out) {
  synthesize_waveguide_chunk_ex(n, parameters, R, L, nasal_R, nasal_L, phase,
                                out, kDefaultRate);
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
