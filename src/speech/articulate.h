// Articulation: from the planned phones around a moment to the engine's
// controls at that moment. Runs in the render call: no allocation, bounded
// work.
#pragma once

#include "plan.h"

#include "tractwave.h"

#include <stdint.h>

namespace tw::speech {

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr int kNasal = TRACTWAVE_NASAL_SECTIONS;

struct VowelShape {
  const char *name, *source;
  float target_hz[3];
  float oral[kOral];
};
extern const VowelShape kVowelShapes[kShapeCount];

// The phones the renderer can see: serials first ... end - 1, in time order.
struct PhoneWindow {
  const Phone *slots;
  uint32_t capacity;
  uint64_t first, end;
  const Phone &at(uint64_t serial) const { return slots[serial % capacity]; }
};

// Source levels before level compensation: voicing, aspiration and the
// breathiness argument (turbulence at constrictions, aspiration gain).
struct Source {
  float voicing, aspiration, breathiness;
};

struct Controls {
  float f0, amp, mix, breathiness;
  float oral[kOral];
  float nasal[kNasal];
  float velum, glottal_coeff, lip_coeff, nostril_coeff;
  Source source;
  // How much of the output is high-passed (0 ... 1) and where (a fraction of
  // the engine's rate): sibilants lose the low frequencies the engine's
  // turbulence has.
  float sibilance, sibilant_cutoff;
  // The first three formants of the vowel the tract is in or between
  // (fractions of the engine's rate) and how much to sharpen them (0 ... 1):
  // the engine's waves lose energy at every step, which leaves its upper
  // formants broad and weak.
  float formant[3], sharpen;
  int64_t serial; // -1 in silence
  int phoneme;    // -1 in silence
  bool sounding;  // false once everything queued has died away
};

// Per-voice constants the renderer needs.
struct VoiceSetup {
  float rate;                          // the engine's rate
  float log_shape[kShapeCount][kOral]; // the vowel table's log diameters
  float shape_gain_db[kShapeCount];    // level compensation of each shape
  float nasal_gain_db;                 // the same for a nasal murmur
  // Breathiness that brings a voiceless fricative at each place (a Place)
  // to a vowel's level.
  float frication_gain[9];
};

// The controls at sample t, given the phone being spoken (or the next one in
// a gap) as `current`.
void articulate(const PhoneWindow &window, uint64_t current, int64_t t,
                const VoiceSetup &voice, Controls &c);

// The engine arguments for a source at a geometry: amp, mix and breathiness
// such that the voiced part and the aspiration reach the asked levels.
void source_to_engine(const Source &s, float gain, Controls &c);

// The level of a place's voiceless fricatives relative to a vowel.
float frication_level(Place place);

// Reference source of a vowel, for measuring the shapes' levels.
Source vowel_source();

} // namespace tw::speech
