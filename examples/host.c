/* The smallest tractwave host: one voice, 10 ms blocks at 48 kHz, a vowel
   glide from "ah" towards "ee" over one second. Prints the peak and RMS. */
#include <math.h>
#include <stdio.h>

#include "tractwave.h"

#define RATE 48000
#define BLOCK 480 /* 10 ms */

int main(void) {
  /* The voice's state: all zero for a new voice. */
  float R[TRACTWAVE_ORAL_SECTIONS] = {0}, L[TRACTWAVE_ORAL_SECTIONS] = {0};
  float nasal_R[TRACTWAVE_NASAL_SECTIONS] = {0};
  float nasal_L[TRACTWAVE_NASAL_SECTIONS] = {0};
  float phase = 0.0f;
  float params[TRACTWAVE_NUM_PARAMETERS] = {0.4f, 0.8f, 0.5f, 0.3f, 0.6f,
                                            0.5f, 0.9f, 0.0f, 0.9f, 0.1f};
  float out[BLOCK];
  double sum_sq = 0.0, peak = 0.0;
  int block, i;

  for (block = 0; block < RATE / BLOCK; ++block) {
    float t = (float)block / (RATE / BLOCK);
    params[TRACTWAVE_TONGUE_BODY] = 0.3f + 0.5f * t;
    params[TRACTWAVE_LIPS] = 0.9f - 0.5f * t;
    synthesize_waveguide_chunk_ex(BLOCK, params, R, L, nasal_R, nasal_L, &phase,
                                  out, (float)RATE);
    for (i = 0; i < BLOCK; ++i) {
      sum_sq += (double)out[i] * out[i];
      if (fabs(out[i]) > peak)
        peak = fabs(out[i]);
    }
  }
  printf("rendered %d samples: peak %.4f, RMS %.4f\n", RATE, peak,
         sqrt(sum_sq / RATE));
  return peak > 0.0 && peak <= 0.95 ? 0 : 1;
}
