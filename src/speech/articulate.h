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

// The RMS level every vowel shape is brought to; the other levels of the
// speech layer are set against it.
constexpr float kVowelRms = 0.05f;

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

// The filters the output stage colours noise with.
enum class Colour : uint8_t { flat, high_pass, band_pass, low_pass };

struct Controls {
  float f0, amp, mix, breathiness;
  float oral[kOral];
  float nasal[kNasal];
  float velum, glottal_coeff, lip_coeff, nostril_coeff;
  Source source;
  // How much of the output is coloured (0 ... 1), by which filter, at which
  // corner (a fraction of the engine's rate) and Q: the engine's turbulence
  // has the same low-heavy spectrum at every place, where a talker's
  // fricatives and bursts are shaped by the place.
  float colour_amount;
  Colour colour;
  float colour_corner, colour_q;
  // The first three formants the tract is at or moving to (fractions of the
  // engine's rate: the vowel's, drawn towards a consonant's locus while it
  // forms and releases) and how much to sharpen them (0 ... 1): the
  // engine's waves lose energy at every step, which leaves its upper
  // formants broad and weak and their transitions faint.
  float formant[3], sharpen;
  // Voicing the tube cannot radiate: with the tract shut (a voiced stop's
  // closure) or nearly so (a voiced fricative) a talker's voicing still
  // comes out through the walls of the throat and cheeks as a low murmur,
  // the voice bar. Its level against a vowel's (0 ... 1) and the glottal
  // pulse's step in cycles per engine sample.
  float voice_bar, bar_step;
  // How far a nasal murmur's own low resonance is brought out (0 ... 1).
  float murmur;
  int64_t serial; // -1 in silence
  int phoneme;    // -1 in silence
  bool sounding;  // false once everything queued has died away
};

// Per-voice constants the renderer needs.
struct VoiceSetup {
  float rate;                          // the engine's rate
  float log_shape[kShapeCount][kOral]; // the vowel table's log diameters
  float shape_gain_db[kShapeCount];    // level compensation of each shape
  // The same with the velum open: the nose, once coupled, radiates far
  // more than the narrow oral tract of a vowel like IY.
  float nasalised_gain_db[kShapeCount];
  float nasal_gain_db; // the same for a nasal murmur
  // Breathiness that brings a voiceless fricative at each place to its
  // level against a vowel.
  float frication_gain[kPlaceCount];
  // While calibrating: the velum held at this opening (< 0: as articulated).
  float force_velum = -1.0f;
};

// The controls at sample t, given the phone being spoken (or the next one in
// a gap) as `current`.
void articulate(const PhoneWindow &window, uint64_t current, int64_t t,
                const VoiceSetup &voice, Controls &c);

// The engine arguments for a source at a geometry: amp, mix and breathiness
// such that the voiced part and the aspiration reach the asked levels.
void source_to_engine(const Source &s, float gain, Controls &c);

// The level of a place's voiceless fricatives relative to a vowel, and the
// fricative whose measured level sets the gain of the place's noise
// (nullptr: none, its gain stays 1).
float frication_level(Place place);
const char *frication_calibrated_by(Place place);

// Reference source of a vowel, for measuring the shapes' levels.
Source vowel_source();

} // namespace tw::speech
