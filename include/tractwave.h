/*
 * tractwave: a real-time speech-sound synthesiser.
 *
 * The vocal tract is a digital waveguide: an oral tube of 25 sections
 * (index 0 at the glottis, 24 at the lips) and a nasal tube of 16 sections
 * (index 0 at the velum, 15 at the nostrils), joined by a three-port junction
 * between oral sections 9 and 10. A glottal pulse train, aspiration noise and
 * turbulence noise excite the tubes; the waves leaving the lips and nostrils
 * become one mono output sample per step.
 *
 * Conventions for every function below:
 * - Nothing is allocated, no lock is taken, no error is reported. Invalid
 *   numbers propagate through the arithmetic; pointer validity, array sizes
 *   and non-overlap are the caller's responsibility.
 * - "Finite input" below means finite values up to 1e6 in magnitude, far
 *   beyond any meaningful one, wave arrays up to 1e20, and end reflection
 *   coefficients within -1 ... 1. Values so large that single-precision
 *   products overflow (a diameter, the velum or the mix beyond about 1e19, a
 *   parameter near 1e38, waves near 1e27 with a velum of 1e6) behave like
 *   non-finite ones.
 * - All arrays belong to the caller. The library keeps only a small record
 *   per thread (noise generator, filter states, smoother history), which
 *   starts from fixed initial values on every new thread.
 * - Calls on different threads are independent. Calls on one thread share
 *   that thread's record, so voices rendered on the same thread share their
 *   noise sequence and filter states.
 */
#ifndef TRACTWAVE_H
#define TRACTWAVE_H

#define TRACTWAVE_VERSION_MAJOR 1
#define TRACTWAVE_VERSION_MINOR 0
#define TRACTWAVE_VERSION_PATCH 0

/* Sizes of the arrays that cross the boundary. */
#define TRACTWAVE_NUM_PARAMETERS 10
#define TRACTWAVE_ORAL_SECTIONS 25
#define TRACTWAVE_NASAL_SECTIONS 16

/*
 * TRACTWAVE_API marks the exported functions. Define TRACTWAVE_STATIC when
 * linking a static build; TRACTWAVE_BUILDING is set only while the library
 * itself is compiled.
 */
#if defined(TRACTWAVE_STATIC)
#define TRACTWAVE_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(TRACTWAVE_BUILDING)
#define TRACTWAVE_API __declspec(dllexport)
#else
#define TRACTWAVE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#define TRACTWAVE_API __attribute__((visibility("default")))
#else
#define TRACTWAVE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Articulatory parameter vector: 10 consecutive floats, nominally 0 to 1,
 * with 0.5 as the neutral value of the shape parameters. No element is
 * clamped; values outside 0 to 1 extrapolate linearly.
 *
 *   index  name          effect
 *   0      pitch         fundamental frequency: 70 Hz at 0, 450 Hz at 1
 *   1      voicing       excitation amplitude; below 0.01 it is silent
 *   2      pharynx       widens (< 0.5) or narrows (> 0.5) sections 1 to 9
 *   3      tongue_body   moves width between sections 9-12 and 13-18
 *   4      tongue_tip    below 0.35 closes sections 18-21 strongly
 *   5      larynx        widens (> 0.5) or narrows sections 0 to 4
 *   6      voice_mix     voiced share of the glottal excitation; a value
 *                        outside 0 to 1 (or NaN) counts as 1
 *   7      velum         velum opening: nasal coupling
 *   8      lips          lip opening, blended into sections 21 to 24
 *   9      breathiness   aspiration and turbulence noise amount
 */
enum {
  TRACTWAVE_PITCH = 0,
  TRACTWAVE_VOICING = 1,
  TRACTWAVE_PHARYNX = 2,
  TRACTWAVE_TONGUE_BODY = 3,
  TRACTWAVE_TONGUE_TIP = 4,
  TRACTWAVE_LARYNX = 5,
  TRACTWAVE_VOICE_MIX = 6,
  TRACTWAVE_VELUM = 7,
  TRACTWAVE_LIPS = 8,
  TRACTWAVE_BREATHINESS = 9
};

/*
 * The pitch parameter's map: f0 in Hz = pitch x TRACTWAVE_PITCH_SPAN_HZ +
 * TRACTWAVE_PITCH_LOWEST_HZ, so pitch = (f0 - lowest) / span.
 */
#define TRACTWAVE_PITCH_LOWEST_HZ 70.0f
#define TRACTWAVE_PITCH_SPAN_HZ 380.0f

/*
 * The reflection coefficients at the tube ends that the chunk functions
 * use, and a host of step_waveguide_block normally passes.
 */
#define TRACTWAVE_GLOTTAL_COEFF 0.75f
#define TRACTWAVE_LIP_COEFF (-0.85f)
#define TRACTWAVE_NOSTRIL_COEFF (-0.7f)

/*
 * Turns a parameter vector into the tract geometry.
 *
 * parameters  10 floats, read only (see the table above).
 * oral_out    25 floats, fully overwritten with the oral section diameters
 *             (arbitrary length units), each clamped to 0.05 ... 4.5; a NaN
 *             passes the clamp unchanged.
 * nasal_out   16 floats, fully overwritten with the fixed nasal profile.
 * velum_out   one float, overwritten with the velum opening, velum x 0.55
 *             (not clamped).
 *
 * Pure: keeps no state and touches no per-thread record. The four pointers
 * must not overlap.
 */
TRACTWAVE_API void compute_diameters_from_dofs(const float *parameters,
                                               float *oral_out,
                                               float *nasal_out,
                                               float *velum_out);

/*
 * Runs the waveguide engine for one block over an explicit geometry.
 *
 * n                  number of samples to produce. n <= 0 touches nothing
 *                    but rewrites *phase with its own value.
 * f0                 fundamental frequency in Hz. A negative value runs the
 *                    glottal phase backwards.
 * amp                overall excitation amplitude (0 silences the glottis).
 * mix                voiced share of the glottal excitation; 1 - mix scales
 *                    the aspiration noise. Not clamped.
 * breathiness        noise amount: the aspiration gain when > 0 (otherwise
 *                    the gain is 0.2), and the turbulence amount injected at
 *                    the narrowest oral section among sections 4 to 24 when
 *                    that section is narrower than 0.75.
 * oral_diameters     25 floats, read (usually from
 *                    compute_diameters_from_dofs).
 * nasal_diameters    16 floats, read.
 * velum              velum opening; 0.55 or more radiates the nostrils fully,
 *                    0.001 or less closes the nasal tube.
 * glottal_coeff      reflection coefficient at the glottis (the chunk
 *                    functions use 0.75).
 * lip_coeff          reflection coefficient at the lips (-0.85).
 * nostril_coeff      reflection coefficient at the nostrils (-0.7).
 * R, L               25 floats each, read and written: the oral waves
 *                    towards the lips and towards the glottis.
 * nasal_R, nasal_L   16 floats each, read and written: the nasal waves
 *                    towards the nostrils and towards the velum.
 * phase              one float, read and written: the glottal phase, in
 *                    0 <= phase < 1 for a non-negative f0.
 * out                n floats, written. Every sample of a block with finite
 *                    inputs lies within -0.95 ... 0.95.
 * sample_rate        samples per second. A value of 8000 or less (and NaN)
 *                    means 48000. The tube advances one section per sample,
 *                    so formants scale with the rate.
 *
 * A voice's state is its four wave arrays and its phase, which the caller
 * keeps (all zero for a new voice), plus the calling thread's record. The
 * wave arrays, the phase and out must not overlap one another. A block whose
 * inputs are not finite writes non-finite samples and waves, but the thread's
 * record is then restored to its initial values, so later voices on the
 * thread are not affected.
 */
TRACTWAVE_API void
step_waveguide_block(int n, float f0, float amp, float mix, float breathiness,
                     const float *oral_diameters, const float *nasal_diameters,
                     float velum, float glottal_coeff, float lip_coeff,
                     float nostril_coeff, float *R, float *L, float *nasal_R,
                     float *nasal_L, float *phase, float *out,
                     float sample_rate);

/*
 * One block of audio at 48000 Hz straight from a parameter vector: builds the
 * geometry with compute_diameters_from_dofs and runs step_waveguide_block
 * with f0 = pitch x 380 + 70, amp = voicing (0 below 0.01),
 * mix = (1 - 0.7 x breathiness) x voice_mix, and the reflection coefficients
 * 0.75 (glottis), -0.85 (lips) and -0.7 (nostrils).
 *
 * n           number of samples; n <= 0 writes nothing.
 * parameters  10 floats, read only.
 * R, L        the voice's 25-float oral wave arrays, read and written.
 * nasal_R, nasal_L  the voice's 16-float nasal wave arrays, read and written.
 * phase       the voice's glottal phase, read and written.
 * out         n floats, written, within -0.95 ... 0.95 for finite input.
 *
 * The geometry is rebuilt on every call, so a changed parameter vector takes
 * effect at the next block boundary without interpolation.
 */
TRACTWAVE_API void synthesize_waveguide_chunk(int n, const float *parameters,
                                              float *R, float *L,
                                              float *nasal_R, float *nasal_L,
                                              float *phase, float *out);

/*
 * As synthesize_waveguide_chunk, at sample_rate samples per second (a value
 * of 8000 or less, or NaN, means 48000). With 48000 it gives exactly the
 * output of synthesize_waveguide_chunk.
 */
TRACTWAVE_API void synthesize_waveguide_chunk_ex(int n, const float *parameters,
                                                 float *R, float *L,
                                                 float *nasal_R, float *nasal_L,
                                                 float *phase, float *out,
                                                 float sample_rate);

#ifdef __cplusplus
}
#endif

#endif /* TRACTWAVE_H */
