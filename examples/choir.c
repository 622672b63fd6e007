/* The smallest host of the voices library: a four-voice chord held for one
   second, the voices in one block of memory and rendered together in 10 ms
   blocks, mixed and printed as peak and RMS. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

/* The parameter layout and the pitch map are tractwave.h's; only its macros
   and enums are used, so nothing but the voices library is linked. */
#include "tractwave.h"
#include "tractwave_voices.h"

#define RATE 48000
#define BLOCK 480 /* 10 ms */
#define VOICES 4

int main(void) {
  /* A minor chord on A2 (110 Hz). */
  const float f0[VOICES] = {110.0f, 130.81f, 164.81f, 220.0f};
  const int size = tractwave_voice_size();
  const int alignment = tractwave_voice_alignment();
  void *voices[VOICES];
  float params[VOICES * TRACTWAVE_NUM_PARAMETERS];
  float out[VOICES * BLOCK];
  char *raw, *memory;
  float *p;
  double sum_sq = 0.0, peak = 0.0;
  int block, i, v;

  /* Room for the voices plus slack to align them: C89 has no aligned_alloc. */
  raw = (char *)malloc((size_t)size * VOICES + (size_t)alignment);
  if (raw == NULL)
    return 1;
  memory =
      raw + (alignment - (long)((size_t)raw % (size_t)alignment)) % alignment;
  for (v = 0; v < VOICES; ++v) {
    voices[v] = memory + (size_t)v * size;
    tractwave_voice_init(voices[v]);
    p = params + TRACTWAVE_NUM_PARAMETERS * v;
    for (i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
      p[i] = 0.5f;
    p[TRACTWAVE_PITCH] =
        (f0[v] - TRACTWAVE_PITCH_LOWEST_HZ) / TRACTWAVE_PITCH_SPAN_HZ;
    p[TRACTWAVE_VOICING] = 0.8f;
    p[TRACTWAVE_TONGUE_BODY] = 0.2f + 0.2f * (float)v; /* a vowel each */
    p[TRACTWAVE_VOICE_MIX] = 0.9f;
    p[TRACTWAVE_VELUM] = 0.0f;
  }

  for (block = 0; block < RATE / BLOCK; ++block) {
    tractwave_voices_render(voices, VOICES, BLOCK, params, out, (float)RATE);
    for (i = 0; i < BLOCK; ++i) {
      double mix = 0.0;
      for (v = 0; v < VOICES; ++v)
        mix += out[v * BLOCK + i] / VOICES;
      sum_sq += mix * mix;
      if (fabs(mix) > peak)
        peak = fabs(mix);
    }
  }
  free(raw);
  printf("rendered %d voices x %d samples: peak %.4f, RMS %.4f\n", VOICES, RATE,
         peak, sqrt(sum_sq / RATE));
  return peak > 0.0 && peak <= 0.95 ? 0 : 1;
}
