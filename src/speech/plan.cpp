#include "plan.h"

#include <math.h>

namespace tw::speech {

namespace {

// Silence after each kind of boundary, in ms at speed 1 (a comma's pause
// about half a sentence's, as in Klatt's rule 1: pauses at punctuation).
constexpr float kPauseMs[] = {0.0f, 0.0f, 160.0f, 320.0f, 320.0f};
constexpr float kExplicitPauseMs = 250.0f;
// Anything queued starts this long after the render position, so that the
// render call never finds a phone that began before it looked.
constexpr float kLeadMs = 10.0f;

// Klatt's (1979) duration rules, as the MITalk system states them (Allen,
// Hunnicutt & Klatt 1987, ch. 9): each multiplies the part of a phone's
// inherent duration above its minimum,
//   duration = minimum + (inherent - minimum) x product of the factors.
// The factors are Klatt's unless a note says otherwise.
struct DurationRules {
  float phrase_final;       // rule 2: the syllable before a pause
  float not_word_final;     // rule 4: a vowel not in its word's last syllable
  float polysyllabic;       // rule 5: a vowel in a word of several syllables
  float not_word_initial;   // rule 6: a consonant after its word's start
  float unstressed_vowel;   // rule 7 (Klatt 0.5; 0.55 kept the hVd words)
  float unstressed_minimum; // rule 7: the minimum halves as well
  float secondary_stress;   // rule 7 for secondary stress (ours)
  float before_voiceless;   // rule 9: a vowel before a voiceless obstruent
  float before_nasal;       // rule 9
  float before_voiced_fricative; // rule 9
  float before_voiced_stop;      // rule 9
  float cluster;                 // rule 10: a consonant beside another
  float between_consonants;      // rule 10: a consonant with one on each side
};
constexpr DurationRules kRules = {1.4f, 0.85f, 0.8f, 0.85f, 0.55f, 0.5f, 0.8f,
                                  0.7f, 0.85f, 1.6f, 1.2f,  0.7f,  0.5f};

// Aspiration after a voiceless stop's release, in ms at speed 1: voice onset
// times of English /p t k/ (Klatt 1975, "Voice onset time, frication and
// aspiration in word-initial consonant clusters": about 60 ms before a
// stressed vowel, shorter unstressed, short after /s/, longest before a
// sonorant, where the sonorant itself is devoiced).
struct AspirationRules {
  float final_release, after_s, stressed, unstressed, before_sonorant, other;
  float affricate; // an affricate's frication takes part of it
};
constexpr AspirationRules kAspiration = {20.0f, 15.0f, 60.0f, 30.0f,
                                         45.0f, 10.0f, 0.5f};

bool is_consonant(uint8_t id) {
  return !is_vowel(id) && kPhonemes[id].kind != Kind::pause;
}

bool is_obstruent(uint8_t id) {
  switch (kPhonemes[id].kind) {
  case Kind::stop:
  case Kind::affricate:
  case Kind::fricative:
  case Kind::flap:
    return true;
  case Kind::vowel:
  case Kind::diphthong:
  case Kind::nasal:
  case Kind::liquid:
  case Kind::glide:
  case Kind::aspirate:
  case Kind::glottal_stop:
  case Kind::pause:
    return false;
  }
  return false;
}

bool is_sonorant_consonant(uint8_t id) {
  const Kind k = kPhonemes[id].kind;
  return k == Kind::nasal || k == Kind::liquid || k == Kind::glide;
}

bool voiceless_stop(uint8_t id) {
  const Kind k = kPhonemes[id].kind;
  return (k == Kind::stop || k == Kind::affricate) && !kPhonemes[id].voiced;
}

// Positions only the planner needs, kept in the flags' spare bits while it
// works and cleared before the phones leave it.
enum PlanningFlags : uint8_t {
  kFinalSyllable = 16,     // in the last syllable before a pause
  kWordFinalSyllable = 32, // in its word's last syllable
  kPolysyllabic = 64,      // in a word of more than one syllable
  kPlanningFlags = kFinalSyllable | kWordFinalSyllable | kPolysyllabic,
};

// American English taps /t d/ between a vowel and an unstressed vowel of
// the same word ("water", "city", "ladder": Kahn 1976; Zue & Laferriere
// 1979 found the tap in nearly every such /t/ and /d/). Spoken as full
// stops, the male voice's "water" was heard as "doctor".
bool tapped(const Token *tokens, int count, int i, int t_id, int d_id) {
  const Token &t = tokens[i];
  return (t.phoneme == t_id || t.phoneme == d_id) && i > 0 && i + 1 < count &&
         t.boundary == kNoBoundary && tokens[i - 1].boundary == kNoBoundary &&
         is_vowel(tokens[i - 1].phoneme) && is_vowel(tokens[i + 1].phoneme) &&
         tokens[i + 1].stress == kUnstressed;
}

// Tokens to phones, with the pauses that boundaries ask for.
int lay_out(const Token *tokens, int count, float ms, float speed, Phone *out) {
  const int t_id = phoneme_id("T"), d_id = phoneme_id("D");
  const uint8_t tap = static_cast<uint8_t>(phoneme_id("DX"));
  int n = 0;
  for (int i = 0; i < count; ++i) {
    const Token &t = tokens[i];
    Phone &p = out[n++];
    p = Phone{};
    p.phoneme = tapped(tokens, count, i, t_id, d_id) ? tap : t.phoneme;
    p.stress = t.stress;
    p.offset = t.offset;
    p.boundary = t.boundary;
    if (t.phoneme == kPause)
      p.length = static_cast<int32_t>(kExplicitPauseMs * ms / speed);
    if (kPauseMs[t.boundary] > 0.0f && t.phoneme != kPause) {
      Phone &pause = out[n++];
      pause = Phone{};
      pause.phoneme = kPause;
      pause.offset = t.offset;
      pause.boundary = t.boundary;
      // Pauses shrink less than speech when speaking fast.
      pause.length =
          static_cast<int32_t>(kPauseMs[t.boundary] * ms / sqrtf(speed));
    }
  }
  return n;
}

// Word and syllable positions, in one pass each way so that planning stays
// linear in the text however few vowels it has.
void mark_positions(Phone *out, int n) {
  bool at_word_start = true;
  for (int i = 0; i < n; ++i) {
    Phone &p = out[i];
    if (p.phoneme == kPause) {
      at_word_start = true;
      continue;
    }
    if (at_word_start)
      p.flags |= kWordInitial;
    at_word_start = p.boundary != kNoBoundary;
    if (at_word_start)
      p.flags |= kWordFinal;
  }
  // A text that ends without punctuation leaves its phrase open: what comes
  // next may continue it, so its last syllable is not phrase-final.
  int last_pause = -1;
  for (int i = 0; i < n; ++i)
    if (out[i].phoneme == kPause)
      last_pause = i;
  const bool ends_closed = n > 0 && out[n - 1].boundary >= kContinuation;
  // Forwards: whether a vowel (not a pause) came last, at or before i, and
  // how many vowels the word has had.
  bool vowel_before = false;
  int word_vowels = 0, word_start = 0;
  for (int i = 0; i < n; ++i) {
    Phone &p = out[i];
    if (p.phoneme == kPause) {
      vowel_before = false;
      continue;
    }
    if (p.flags & kWordInitial) {
      word_vowels = 0;
      word_start = i;
    }
    if (is_vowel(p.phoneme)) {
      vowel_before = true;
      ++word_vowels;
    }
    if (vowel_before)
      p.flags |= kFinalSyllable; // until the backward pass finds a vowel after
    if ((p.flags & kWordFinal) && word_vowels > 1)
      for (int j = word_start; j <= i; ++j)
        out[j].flags |= kPolysyllabic;
  }
  // Backwards: a vowel after i before the next pause means i is not in the
  // phrase's last syllable; the first vowel, word end or pause after it
  // decides whether it is in its word's last syllable.
  bool vowel_after = false, word_final_after = true;
  for (int i = n - 1; i >= 0; --i) {
    Phone &p = out[i];
    if (p.phoneme == kPause) {
      vowel_after = false;
      word_final_after = true;
      continue;
    }
    const bool closed = i < last_pause || ends_closed;
    if (vowel_after || !closed)
      p.flags &= static_cast<uint8_t>(~kFinalSyllable);
    if ((p.flags & kWordFinal) || word_final_after)
      p.flags |= kWordFinalSyllable;
    if (is_vowel(p.phoneme)) {
      vowel_after = true;
      word_final_after = false;
    } else if (p.flags & kWordFinal) {
      word_final_after = true;
    }
  }
}

// Rule 9: what follows a vowel in its syllable changes its length, fully at
// the end of a phrase and half as much elsewhere.
float postvocalic_factor(const Phone *out, int n, int i) {
  if (i + 1 >= n || !is_consonant(out[i + 1].phoneme) ||
      (out[i].flags & kWordFinal))
    return 1.0f;
  const uint8_t c = out[i + 1].phoneme;
  const Kind k = kPhonemes[c].kind;
  float factor = 1.0f;
  if (k == Kind::nasal)
    factor = kRules.before_nasal;
  else if (is_obstruent(c) && !kPhonemes[c].voiced)
    factor = kRules.before_voiceless;
  else if (k == Kind::fricative && kPhonemes[c].voiced)
    factor = kRules.before_voiced_fricative;
  else if (is_obstruent(c) && kPhonemes[c].voiced)
    factor = kRules.before_voiced_stop;
  return (out[i].flags & kFinalSyllable) ? factor : 0.5f * (1.0f + factor);
}

void durations(Phone *out, int n, float ms, float speed) {
  for (int i = 0; i < n; ++i) {
    Phone &p = out[i];
    if (p.phoneme == kPause)
      continue;
    const PhonemeInfo &info = kPhonemes[p.phoneme];
    float percent = 1.0f;
    float minimum = info.minimum_ms;
    if (is_vowel(p.phoneme)) {
      if (p.stress == kUnstressed) {
        percent *= kRules.unstressed_vowel;
        minimum *= kRules.unstressed_minimum;
      } else if (p.stress == kSecondary) {
        percent *= kRules.secondary_stress;
      }
      if (!(p.flags & kWordFinalSyllable))
        percent *= kRules.not_word_final;
      if (p.flags & kPolysyllabic)
        percent *= kRules.polysyllabic;
      percent *= postvocalic_factor(out, n, i);
    } else {
      const bool before = i > 0 && is_consonant(out[i - 1].phoneme) &&
                          !(p.flags & kWordInitial);
      const bool after = i + 1 < n && is_consonant(out[i + 1].phoneme) &&
                         !(p.flags & kWordFinal);
      if (before && after)
        percent *= kRules.between_consonants;
      else if (before || after)
        percent *= kRules.cluster;
      if (!(p.flags & kWordInitial))
        percent *= kRules.not_word_initial;
    }
    if (p.flags & kFinalSyllable)
      percent *= kRules.phrase_final;
    const float length_ms = minimum + (info.inherent_ms - minimum) * percent;
    p.length = static_cast<int32_t>(length_ms * ms / speed);
    if (p.length < 1)
      p.length = 1;
  }
}

// Silence around phones, and aspiration after voiceless stops.
void releases(Phone *out, int n, const PlannerState &state, float ms,
              float speed) {
  for (int i = 0; i < n; ++i) {
    Phone &p = out[i];
    if (p.phoneme == kPause)
      continue;
    const bool silence_before =
        i == 0 ? !state.phrase_open : out[i - 1].phoneme == kPause;
    if (silence_before)
      p.flags |= kAfterSilence;
    if (i + 1 == n ? p.boundary >= kContinuation : out[i + 1].phoneme == kPause)
      p.flags |= kBeforeSilence;
    if (!voiceless_stop(p.phoneme))
      continue;
    float aspiration_ms;
    if (i + 1 >= n || out[i + 1].phoneme == kPause) {
      aspiration_ms = kAspiration.final_release;
    } else if (i > 0 && out[i - 1].phoneme != kPause &&
               out[i - 1].phoneme == phoneme_id("S") &&
               !(p.flags & kWordInitial)) {
      aspiration_ms = kAspiration.after_s; // "sp", "st", "sk"
    } else if (is_vowel(out[i + 1].phoneme)) {
      aspiration_ms = out[i + 1].stress == kUnstressed ? kAspiration.unstressed
                                                       : kAspiration.stressed;
    } else if (is_sonorant_consonant(out[i + 1].phoneme)) {
      aspiration_ms = kAspiration.before_sonorant;
    } else {
      aspiration_ms = kAspiration.other;
    }
    if (kPhonemes[p.phoneme].kind == Kind::affricate)
      aspiration_ms *= kAspiration.affricate;
    p.aspiration = static_cast<int32_t>(aspiration_ms * ms / speed);
  }
}

void times(Phone *out, int n, const PlanSettings &settings,
           PlannerState &state) {
  const float ms = settings.rate / 1000.0f;
  int64_t t = state.end;
  const int64_t earliest = settings.now + static_cast<int64_t>(kLeadMs * ms);
  if (t < earliest) {
    t = earliest;
    state.phrase_open = false;
  }
  for (int i = 0; i < n; ++i) {
    out[i].start = t;
    t += out[i].length;
    out[i].serial = state.serial++;
    out[i].flags &= static_cast<uint8_t>(~kPlanningFlags);
  }
  state.end = t;
}

// Pitch of one phrase, out[first ... last]: a declining baseline, accents on
// stressed vowels, and a final fall (statement), rise (question) or slight
// rise (continuation) from the nuclear accent to the end of the phrase, in
// the manner of Pierrehumbert's (1981) target-and-interpolation contours.
struct Intonation {
  float declination_per_s; // share of the pitch lost per second
  float declination_floor; // no more than this in all
  float first_accent, later_accent, secondary_accent, unaccented;
  float question_dip, question_end;
  float continuation_dip, continuation_end;
  float statement_end;
};
// Set by ear and by the recogniser on the digits and hVd words: a 10% fall
// over two seconds and accents 12-22% above it, within the ranges
// 't Hart, Collier & Cohen (1990) report for declarative English.
constexpr Intonation kIntonation = {0.05f, 0.15f, 1.22f, 1.12f, 1.05f, 0.97f,
                                    0.95f, 1.45f, 0.97f, 1.06f, 0.78f};

void phrase_pitch(Phone *out, int n, int first, int last,
                  const PlanSettings &settings, PlannerState &state,
                  PitchAnchor *anchors) {
  const float f0 = settings.f0;
  if (!state.phrase_open || (out[first].flags & kAfterSilence))
    state.phrase_start = out[first].start;
  const uint8_t boundary =
      last + 1 < n ? out[last + 1].boundary : out[last].boundary;
  const bool open = last + 1 >= n && boundary < kContinuation;

  int count_anchors = 0;
  const auto baseline = [&](int64_t when) {
    const float seconds =
        static_cast<float>(when - state.phrase_start) / settings.rate;
    float fall = kIntonation.declination_per_s * seconds;
    if (fall > kIntonation.declination_floor)
      fall = kIntonation.declination_floor;
    return f0 * (1.0f - fall);
  };
  // The nuclear accent: the last primary stress, else the last stress, else
  // the last vowel.
  int nuclear = -1, last_stress = -1, last_vowel = -1;
  for (int i = last; i >= first && nuclear < 0; --i) {
    if (!is_vowel(out[i].phoneme))
      continue;
    if (out[i].stress == kPrimary)
      nuclear = i;
    if (last_stress < 0 && out[i].stress != kUnstressed)
      last_stress = i;
    if (last_vowel < 0)
      last_vowel = i;
  }
  if (nuclear < 0)
    nuclear = last_stress >= 0 ? last_stress : last_vowel;
  anchors[count_anchors++] = {out[first].start, baseline(out[first].start)};
  // A phrase continued from the last text has had its first accent.
  bool first_accent =
      !(state.phrase_open && first == 0 && state.phrase_accented);
  const int64_t end = out[last].start + out[last].length;
  for (int i = first; i <= last; ++i) {
    if (!is_vowel(out[i].phoneme))
      continue;
    const Phone &v = out[i];
    const int64_t at = v.start + v.length * 35 / 100;
    float accent = kIntonation.unaccented;
    if (v.stress == kPrimary) {
      accent =
          first_accent ? kIntonation.first_accent : kIntonation.later_accent;
      first_accent = false;
    } else if (v.stress == kSecondary) {
      accent = kIntonation.secondary_accent;
    }
    if (i == nuclear && !open) {
      const int64_t onset = v.start + v.length / 5;
      if (boundary == kQuestion) {
        anchors[count_anchors++] = {onset,
                                    kIntonation.question_dip * baseline(at)};
        anchors[count_anchors++] = {end, kIntonation.question_end * f0};
      } else if (boundary == kContinuation) {
        anchors[count_anchors++] = {onset, accent * baseline(at)};
        anchors[count_anchors++] = {v.start + v.length * 4 / 5,
                                    kIntonation.continuation_dip *
                                        baseline(at)};
        anchors[count_anchors++] = {end, kIntonation.continuation_end *
                                             baseline(end)};
      } else {
        anchors[count_anchors++] = {onset, accent * baseline(at)};
        anchors[count_anchors++] = {end, kIntonation.statement_end * f0};
      }
      break;
    }
    anchors[count_anchors++] = {at, accent * baseline(at)};
  }
  if (open)
    anchors[count_anchors++] = {end, baseline(end)};
  // Phones and anchors both run forwards in time: one pass over each.
  int cursor = 1;
  const auto pitch_at = [&](int64_t when) {
    if (when <= anchors[0].t || count_anchors == 1)
      return anchors[0].hz;
    while (cursor < count_anchors - 1 && anchors[cursor].t < when)
      ++cursor;
    const PitchAnchor &x = anchors[cursor - 1], &y = anchors[cursor];
    if (when >= y.t)
      return y.hz;
    const float w =
        static_cast<float>(when - x.t) / static_cast<float>(y.t - x.t);
    return x.hz + (y.hz - x.hz) * w;
  };
  for (int i = first; i <= last; ++i) {
    Phone &p = out[i];
    p.f0[0] = pitch_at(p.start);
    p.f0[1] = pitch_at(p.start + p.length / 2);
    p.f0[2] = pitch_at(p.start + p.length);
  }
  state.phrase_open = open;
  state.phrase_accented = open && !first_accent;
}

} // namespace

int planned_phones(const Token *tokens, int count) {
  int n = 0;
  for (int i = 0; i < count; ++i) {
    ++n;
    if (kPauseMs[tokens[i].boundary] > 0.0f && tokens[i].phoneme != kPause)
      ++n;
  }
  return n;
}

void plan(const Token *tokens, int count, const PlanSettings &settings,
          PlannerState &state, Phone *out, PitchAnchor *scratch) {
  const float ms = settings.rate / 1000.0f;
  const int n = lay_out(tokens, count, ms, settings.speed, out);
  mark_positions(out, n);
  durations(out, n, ms, settings.speed);
  releases(out, n, state, ms, settings.speed);
  times(out, n, settings, state);
  int first = 0;
  while (first < n) {
    if (out[first].phoneme == kPause) {
      out[first].f0[0] = out[first].f0[1] = out[first].f0[2] = settings.f0;
      ++first;
      continue;
    }
    int last = first;
    while (last + 1 < n && out[last + 1].phoneme != kPause)
      ++last;
    phrase_pitch(out, n, first, last, settings, state, scratch);
    first = last + 1;
  }
  if (n > 0 && out[n - 1].phoneme == kPause)
    state.phrase_open = false;
}

} // namespace tw::speech
