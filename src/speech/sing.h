// Singing: sung notes to timed phones, and the regions of pitch, vibrato and
// level the renderer follows while it sings them. Planning runs when a
// phrase is queued and may allocate; sung_controls runs in the render call
// and allocates nothing.
#pragma once

#include "articulate.h"
#include "phonemes.h"
#include "plan.h"

#include <stdint.h>

namespace tw::speech {

// A note as the host added it, its syllable parsed into the phrase's tokens.
struct NoteInput {
  double start, duration; // seconds from the phrase's origin
  float hz, velocity;
  int first_token, token_count; // token_count 0: a melisma note
};

// How a phrase is sung: the speaker's settings when it is queued.
struct SingSettings {
  float rate;  // engine samples per second
  float speed; // the consonants' speaking rate
  float vibrato_hz, vibrato_cents, vibrato_delay_s;
  float portamento_s;
};

// A stretch of the renderer's time with one pitch target, from `start` to
// the next region's start: a note (from its first consonant, or from its
// glide when it continues a vowel) or a breath.
struct SungRegion {
  int64_t start;
  int64_t glide_start; // from_hz until here, then a glide to hz
  int32_t glide_length;
  float from_hz, hz;
  int64_t vibrato_start; // vibrato grows in from here
  float vibrato_hz, vibrato_cents;
  float gain; // the note's velocity; a breath's own level
  // A breath swells and fades over this long from its start (0: a note).
  int32_t swell_length;
};

// The most phones and regions plan_phrase makes of `count` notes whose
// syllables hold `tokens` tokens in all.
int sung_phone_bound(int count, int tokens);
int sung_region_bound(int count);

// Plans a phrase: `notes` in time order, not overlapping, the first not a
// melisma (the caller checks). Nothing starts before `earliest` (engine
// samples); the phrase's time 0 lands at *origin, at or after it.
// Phones take their serials from state, which also learns where the phrase
// ends. Returns false when memory for the work runs out (nothing changed).
bool plan_phrase(const NoteInput *notes, int count, const Token *tokens,
                 const SingSettings &settings, int64_t earliest,
                 PlannerState &state, Phone *phones, int *phone_count,
                 SungRegion *regions, int *region_count, int64_t *origin);

// The regions the renderer can see: first ... end - 1, in time order.
struct RegionWindow {
  const SungRegion *slots;
  uint32_t capacity;
  uint64_t first, end;
  const SungRegion &at(uint64_t i) const { return slots[i % capacity]; }
};

// What the renderer carries from one sub-block to the next.
struct SungState {
  uint64_t current = 0; // the region at the renderer's time
  float depth_cents = 0.0f, gain = 1.0f;
  float phase = 0.0f; // of the vibrato, radians
  bool singing = false;
};

// Moves state.current to the region at t (the middle of a sub-block of n
// samples) and, when `sung` (the phone there is sung), sets c.f0 to the
// note's pitch with its glide and vibrato and scales c.amp by its level.
void sung_controls(const RegionWindow &regions, SungState &state, bool sung,
                   int64_t t, int n, float rate, Controls &c);

// The syllables of one word's ARPAbet, written with stress digits and
// separated by " - " (maximal onsets within English's legal onsets).
// Returns the length the full result needs, or -1 with *error_offset set
// for a symbol that is not ARPAbet.
int syllables(const char *arpabet, char *out, int size, int *error_offset);

} // namespace tw::speech
