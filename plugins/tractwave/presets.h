// The instrument's presets: the browser playground's shapes without their
// pitch, which the notes give, each with the gain that puts a held middle C
// of it near -6 dBFS (the vowels differ in loudness by more than 20 dB).
// lv2/presets.ttl says the same for LV2 hosts; the tests hold the two
// together.
#ifndef TRACTWAVE_PLUGIN_PRESETS_H
#define TRACTWAVE_PLUGIN_PRESETS_H

#include "instrument.h"

namespace tractwave_lv2 {

struct Preset {
  const char *id;    // the last part of its LV2 URI
  const char *label; // what hosts list
  // voicing, pharynx, tongue_body, tongue_tip, larynx, voice_mix, velum,
  // lips, breathiness, gain
  float values[kTractControls + 1];
};

constexpr int kNumPresets = 8;
constexpr Preset kPresets[kNumPresets] = {
    {"ah",
     "ah",
     {0.8f, 0.75f, 0.15f, 0.5f, 0.5f, 0.9f, 0.0f, 0.95f, 0.1f, 28.0f}},
    {"ee",
     "ee",
     {0.8f, 0.25f, 0.9f, 0.55f, 0.5f, 0.9f, 0.0f, 0.55f, 0.1f, 20.0f}},
    {"oo",
     "oo",
     {0.8f, 0.4f, 0.25f, 0.5f, 0.4f, 0.9f, 0.0f, 0.12f, 0.1f, 10.5f}},
    {"eh",
     "eh",
     {0.8f, 0.45f, 0.7f, 0.5f, 0.5f, 0.9f, 0.0f, 0.75f, 0.1f, 25.0f}},
    {"mm",
     "mm (nasal)",
     {0.8f, 0.5f, 0.5f, 0.5f, 0.5f, 0.9f, 1.0f, 0.0f, 0.05f, 6.0f}},
    {"nn",
     "nn (nasal)",
     {0.8f, 0.5f, 0.6f, 0.0f, 0.5f, 0.9f, 1.0f, 0.6f, 0.05f, 15.0f}},
    {"whisper",
     "whisper",
     {0.7f, 0.5f, 0.5f, 0.5f, 0.5f, 0.0f, 0.0f, 0.7f, 0.8f, 31.5f}},
    {"ss",
     "ss (hiss)",
     {0.6f, 0.5f, 0.6f, 0.34f, 0.5f, 0.1f, 0.0f, 0.5f, 1.0f, 28.0f}},
};

} // namespace tractwave_lv2

#endif
