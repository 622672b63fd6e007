/*
 * tractwave voices: independent voices in memory the caller owns.
 *
 * The same engine as tractwave.h, with a voice's whole state (wave arrays,
 * glottal phase, noise generator, filter states and smoother history) in one
 * block of caller-owned memory instead of partly in the calling thread's
 * record. Voices never share anything: any number of them can be rendered on
 * one thread, in any order, interleaved or in batches, and each gives exactly
 * the samples it would give alone.
 *
 * A voice rendered here gives bit for bit the samples that the functions of
 * tractwave.h (same version, same platform build) give for the same calls
 * made on a new thread of its own, starting from zeroed arrays and phase.
 *
 * Conventions for every function below:
 * - Nothing is allocated, no lock is taken, no file is opened, no error is
 *   reported. Invalid numbers propagate through the arithmetic; pointer
 *   validity, sizes and non-overlap are the caller's responsibility.
 * - "Finite input" has the meaning given in tractwave.h (values up to 1e6 in
 *   magnitude). A block whose input is not finite writes non-finite samples
 *   and leaves non-finite waves in that voice; the voice's filter and noise
 *   state is then restored to its initial values at its next block, so the
 *   voice recovers once its waves are reset (tractwave_voice_init). Other
 *   voices are never affected.
 * - Subnormal numbers are flushed to zero for the duration of a call; the
 *   caller's floating-point mode is restored before it returns.
 * - A voice is plain memory: it holds no pointer, not even into itself.
 *   Copying its bytes (memcpy) to another block of the same size and
 *   alignment forks it: both continue from the same state, independently
 *   (snapshot, undo, look-ahead). Its contents are private to the library and
 *   may change between versions; only copy it within one process and version.
 * - One voice must not be used by two threads at once. Different voices may
 *   be rendered on different threads at the same time.
 */
#ifndef TRACTWAVE_VOICES_H
#define TRACTWAVE_VOICES_H

#define TRACTWAVE_VOICES_VERSION_MAJOR 1
#define TRACTWAVE_VOICES_VERSION_MINOR 0
#define TRACTWAVE_VOICES_VERSION_PATCH 0

/*
 * TRACTWAVE_VOICES_API marks the exported functions. Define
 * TRACTWAVE_VOICES_STATIC when linking a static build;
 * TRACTWAVE_VOICES_BUILDING is set only while the library itself is
 * compiled.
 */
#if defined(TRACTWAVE_VOICES_STATIC)
#define TRACTWAVE_VOICES_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(TRACTWAVE_VOICES_BUILDING)
#define TRACTWAVE_VOICES_API __declspec(dllexport)
#else
#define TRACTWAVE_VOICES_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#define TRACTWAVE_VOICES_API __attribute__((visibility("default")))
#else
#define TRACTWAVE_VOICES_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Bytes of memory one voice needs: a positive multiple of
 * tractwave_voice_alignment(), so that voices laid out one after another in
 * an array all stay aligned. Constant for a given build of the library.
 */
TRACTWAVE_VOICES_API int tractwave_voice_size(void);

/*
 * The alignment, in bytes, that a voice's memory must have: a power of two
 * (64, a cache line, so that voices rendered on different threads never
 * share one). Memory from malloc is not always aligned this much; use
 * aligned_alloc, posix_memalign, _aligned_malloc or alignas.
 */
TRACTWAVE_VOICES_API int tractwave_voice_alignment(void);

/*
 * Makes voice a fresh voice: waves and glottal phase zero, noise generator
 * and filter states at the initial values every new thread of tractwave.h
 * starts from. Overwrites all tractwave_voice_size() bytes; nothing is read.
 * Also the way to reset a voice at any time.
 *
 * voice  tractwave_voice_size() bytes, aligned to
 *        tractwave_voice_alignment(), owned by the caller. Every other
 *        function requires a voice that went through this function (or is a
 *        byte copy of one that did).
 */
TRACTWAVE_VOICES_API void tractwave_voice_init(void *voice);

/*
 * One block of audio from a parameter vector: what
 * synthesize_waveguide_chunk_ex does for the caller's arrays and phase and
 * the thread's record, done over this voice's own state.
 *
 * voice        an initialised voice, read and written.
 * n            number of samples; n <= 0 touches nothing.
 * parameters   10 floats, read only, as in tractwave.h (pitch, voicing,
 *              pharynx, tongue_body, tongue_tip, larynx, voice_mix, velum,
 *              lips, breathiness; nominally 0 to 1, not clamped).
 * out          n floats, written; within -0.95 ... 0.95 for finite input.
 * sample_rate  samples per second; 8000 or less (and NaN) means 48000. The
 *              tube advances one section per sample, so formants scale with
 *              the rate; the pitch is in Hz at any rate.
 *
 * The geometry is rebuilt from the parameters on every call, so a changed
 * parameter vector takes effect at the next block boundary, without
 * interpolation. out must not overlap the voice or the parameters.
 */
TRACTWAVE_VOICES_API void tractwave_voice_render(void *voice, int n,
                                                 const float *parameters,
                                                 float *out, float sample_rate);

/*
 * One block of the engine over an explicit geometry and explicit controls:
 * what step_waveguide_block does, over this voice's own state. For hosts that
 * shape the tract themselves (a speech layer, research tools).
 *
 * voice            an initialised voice, read and written.
 * n                number of samples; n <= 0 touches nothing.
 * f0               fundamental frequency in Hz; negative runs the phase
 *                  backwards.
 * amp              excitation amplitude (0 silences the glottis).
 * mix              voiced share of the glottal excitation; 1 - mix scales
 *                  the aspiration noise. Not clamped.
 * breathiness      noise amount: the aspiration gain when > 0 (otherwise
 *                  0.2), and the turbulence injected at the narrowest oral
 *                  section among sections 4 to 24 when it is narrower than
 *                  0.75.
 * oral_diameters   25 floats, read: section diameters, glottis (0) to lips
 *                  (24), in the units of compute_diameters_from_dofs
 *                  (0.05 ... 4.5 there).
 * nasal_diameters  16 floats, read: velum (0) to nostrils (15).
 * velum            velum opening; 0.55 or more radiates the nostrils fully,
 *                  0.001 or less closes the nasal tube.
 * glottal_coeff    reflection at the glottis (the parameter path uses 0.75).
 * lip_coeff        reflection at the lips (-0.85); within -1 ... 1.
 * nostril_coeff    reflection at the nostrils (-0.7); within -1 ... 1.
 * out              n floats, written; within -0.95 ... 0.95 for finite input.
 * sample_rate      as for tractwave_voice_render.
 *
 * The arrays are read before anything is written; out must not overlap the
 * voice or the arrays.
 */
TRACTWAVE_VOICES_API void tractwave_voice_render_geometry(
    void *voice, int n, float f0, float amp, float mix, float breathiness,
    const float *oral_diameters, const float *nasal_diameters, float velum,
    float glottal_coeff, float lip_coeff, float nostril_coeff, float *out,
    float sample_rate);

/*
 * One block of many voices in one call, each with its own parameter vector,
 * all at one rate and block length. On x86-64 and in WebAssembly the engine
 * runs one voice per vector lane (16 voices at a time with AVX-512, 8 with
 * AVX2, 4 with SSE2 or wasm SIMD), so a batch costs less per voice than
 * rendering its voices one by one. Builds that fuse multiply-adds (arm64)
 * render a batch voice by voice, since fused operations round differently
 * in lane-per-voice code. The result is exactly what tractwave_voice_render
 * gives for each voice alone, whatever the batch size, the order of the
 * voices or the instruction set.
 *
 * voices       count pointers to initialised voices, each read and written.
 *              The same voice must not appear twice.
 * count        number of voices; count <= 0 does nothing.
 * n            samples per voice; n <= 0 does nothing.
 * parameters   count x 10 floats, read only: voice i's vector is
 *              parameters[10 i ... 10 i + 9].
 * out          count x n floats, written voice after voice: voice i's block
 *              is out[n i ... n i + n - 1].
 * sample_rate  as for tractwave_voice_render.
 *
 * out must not overlap the voices or the parameters.
 */
TRACTWAVE_VOICES_API void
tractwave_voices_render(void *const *voices, int count, int n,
                        const float *parameters, float *out, float sample_rate);

#ifdef __cplusplus
}
#endif

#endif /* TRACTWAVE_VOICES_H */
