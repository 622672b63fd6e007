// Planning: tokens to timed phones with pitch targets. Runs when text is
// queued, never in the render call.
#pragma once

#include "phonemes.h"

#include <stdint.h>

namespace tw::speech {

enum PhoneFlags : uint8_t {
  kAfterSilence = 1,  // nothing audible before it (phrase start)
  kBeforeSilence = 2, // nothing audible after it
  kWordInitial = 4,
  kWordFinal = 8,
  // Sung: its pitch and level follow its note (src/speech/sing.h), and a
  // diphthong holds its first vowel until its last moments.
  kSung = 128,
};

// One phone on the speaker's clock (samples at the engine's rate).
struct Phone {
  int64_t start;
  int32_t length; // > 0
  uint8_t phoneme, stress, flags;
  uint8_t boundary; // what follows it in the text (a Boundary)
  // Aspiration after a voiceless stop's release, in samples: the next phone
  // starts voiceless for this long.
  int32_t aspiration;
  float f0[3];     // Hz at the start, middle and end
  uint32_t offset; // byte offset of the symbol in its queued text
  uint32_t serial; // counts the phones of all queued texts, from 0
};

// What the planner remembers between queued texts.
struct PlannerState {
  int64_t end = 0; // where the last planned phone ends
  bool phrase_open = false;
  bool phrase_accented = false; // the open phrase has had its first accent
  int64_t phrase_start = 0;     // for declination
  uint32_t serial = 0;
};

struct PlanSettings {
  float rate;  // engine samples per second
  float speed; // 1 is normal, 2 twice as fast
  float f0;    // the voice's speaking pitch in Hz
  int64_t now; // the render position: nothing is planned before it
};

// Number of phones plan() makes from count tokens (pauses included).
int planned_phones(const Token *tokens, int count);

// A point of the pitch contour, while planning.
struct PitchAnchor {
  int64_t t;
  float hz;
};

// Writes planned_phones(tokens, count) phones to out. scratch holds at least
// 3 x count + 2 anchors.
void plan(const Token *tokens, int count, const PlanSettings &settings,
          PlannerState &state, Phone *out, PitchAnchor *scratch);

} // namespace tw::speech
