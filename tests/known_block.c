/* Prints the known-answer block, one number a line with nine significant
   digits: 64 samples of the neutral voice (every parameter 0.5) at 48 kHz,
   from zeroed arrays on a thread that has rendered nothing before, then the
   phase it leaves. CI runs it on every platform, and against the
   WebAssembly build, and compares the outputs with a tolerance. */
#include <stdio.h>

#include "tractwave.h"

int main(void) {
  float params[TRACTWAVE_NUM_PARAMETERS];
  float R[TRACTWAVE_ORAL_SECTIONS] = {0}, L[TRACTWAVE_ORAL_SECTIONS] = {0};
  float nasal_R[TRACTWAVE_NASAL_SECTIONS] = {0};
  float nasal_L[TRACTWAVE_NASAL_SECTIONS] = {0};
  float phase = 0.0f;
  float out[64];
  int i;

  for (i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
    params[i] = 0.5f;
  synthesize_waveguide_chunk(64, params, R, L, nasal_R, nasal_L, &phase, out);
  for (i = 0; i < 64; ++i)
    printf("%.9g\n", out[i]);
  printf("%.9g\n", phase);
  return 0;
}
