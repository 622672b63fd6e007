/* Prints the native library's first 64-sample block for a fresh voice with
   every parameter at 0.5, then the phase, one number a line, for the
   WebAssembly comparison in known_answer.test.mjs. */
#include <stdio.h>

#include "tractwave.h"

int main(void) {
  float R[TRACTWAVE_ORAL_SECTIONS] = {0}, L[TRACTWAVE_ORAL_SECTIONS] = {0};
  float nasal_R[TRACTWAVE_NASAL_SECTIONS] = {0};
  float nasal_L[TRACTWAVE_NASAL_SECTIONS] = {0};
  float params[TRACTWAVE_NUM_PARAMETERS];
  float phase = 0.0f, out[64];
  int i;
  for (i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
    params[i] = 0.5f;
  synthesize_waveguide_chunk(64, params, R, L, nasal_R, nasal_L, &phase, out);
  for (i = 0; i < 64; ++i)
    printf("%.9g\n", out[i]);
  printf("%.9g\n", phase);
  return 0;
}
