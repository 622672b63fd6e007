#include "plan.h"

#include <math.h>

namespace tw::speech {

namespace {

// Silence after each kind of boundary, in ms at speed 1.
constexpr float kPauseMs[] = {0.0f, 0.0f, 160.0f, 320.0f, 320.0f};
constexpr float kExplicitPauseMs = 250.0f;
// Anything queued starts this long after the render position, so that the
// render call never finds a phone that began before it looked.
constexpr float kLeadMs = 10.0f;

bool is_consonant(uint8_t id) {
  return !is_vowel(id) && kPhonemes[id].kind != Kind::pause;
}

bool is_obstruent(uint8_t id) {
  const Kind k = kPhonemes[id].kind;
  return k == Kind::stop || k == Kind::affricate || k == Kind::fricative ||
         k == Kind::flap;
}

bool is_sonorant_consonant(uint8_t id) {
  const Kind k = kPhonemes[id].kind;
  return k == Kind::nasal || k == Kind::liquid || k == Kind::glide;
}

bool voiceless_stop(uint8_t id) {
  const Kind k = kPhonemes[id].kind;
  return (k == Kind::stop || k == Kind::affricate) && !kPhonemes[id].voiced;
}

// One phone before timing: its token, word and phrase position, and the
// rule factors collected for it.
struct Draft {
  uint8_t phoneme, stress, boundary;
  uint32_t offset;
  bool word_initial, word_final, phrase_final_syllable;
  float pause_ms; // for pauses
};

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
  typedef PitchAnchor Anchor;
  const float ms = settings.rate / 1000.0f;
  const float speed = settings.speed;

  // Phones in order, with the pauses that boundaries ask for.
  int n = 0;
  for (int i = 0; i < count; ++i) {
    const Token &t = tokens[i];
    Phone &p = out[n++];
    p = Phone{};
    p.phoneme = t.phoneme;
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

  // Word positions: a word ends at a token with a boundary.
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

  int last_pause = -1;
  for (int i = 0; i < n; ++i)
    if (out[i].phoneme == kPause)
      last_pause = i;

  // Durations, after Klatt's rules, simplified: inherent and minimum
  // durations, stress, phrase-final lengthening, the voicing of what follows
  // a vowel, shortening in clusters and in longer words.
  for (int i = 0; i < n; ++i) {
    Phone &p = out[i];
    if (p.phoneme == kPause)
      continue;
    const PhonemeInfo &info = kPhonemes[p.phoneme];
    float percent = 1.0f;
    float minimum = info.minimum_ms;
    // The phrase-final syllable: the last vowel before a pause or the end,
    // and the consonants after it.
    bool final_syllable = false;
    int next_vowel = -1;
    for (int j = i; j < n && out[j].phoneme != kPause; ++j)
      if (j > i && is_vowel(out[j].phoneme)) {
        next_vowel = j;
        break;
      }
    // A text that ends without punctuation leaves its phrase open: what
    // comes next may continue it, so its last syllable is not phrase-final.
    const bool closed = i < last_pause || out[n - 1].boundary >= kContinuation;
    if (next_vowel < 0 && closed) {
      int j = i;
      while (j >= 0 && out[j].phoneme != kPause && !is_vowel(out[j].phoneme))
        --j;
      final_syllable = j >= 0 && out[j].phoneme != kPause;
    }
    const bool word_final_syllable = [&] {
      if (out[i].flags & kWordFinal)
        return true;
      for (int j = i + 1; j < n && out[j].phoneme != kPause; ++j) {
        if (is_vowel(out[j].phoneme))
          return false;
        if (out[j].flags & kWordFinal)
          return true;
      }
      return true;
    }();
    if (is_vowel(p.phoneme)) {
      if (p.stress == kUnstressed) {
        percent *= 0.55f;
        minimum *= 0.5f;
      } else if (p.stress == kSecondary) {
        percent *= 0.8f;
      }
      if (!word_final_syllable)
        percent *= 0.85f;
      // What follows the vowel in its syllable changes its length, fully at
      // the end of a phrase and half as much elsewhere.
      if (i + 1 < n && is_consonant(out[i + 1].phoneme) &&
          !(out[i].flags & kWordFinal)) {
        const uint8_t c = out[i + 1].phoneme;
        const Kind k = kPhonemes[c].kind;
        float factor = 1.0f;
        if (k == Kind::nasal)
          factor = 0.85f;
        else if (is_obstruent(c) && !kPhonemes[c].voiced)
          factor = 0.7f;
        else if (k == Kind::fricative && kPhonemes[c].voiced)
          factor = 1.6f;
        else if (is_obstruent(c) && kPhonemes[c].voiced)
          factor = 1.2f;
        percent *= final_syllable ? factor : 0.5f * (1.0f + factor);
      }
    } else {
      const bool cluster = (i > 0 && is_consonant(out[i - 1].phoneme) &&
                            !(out[i].flags & kWordInitial)) ||
                           (i + 1 < n && is_consonant(out[i + 1].phoneme) &&
                            !(out[i].flags & kWordFinal));
      if (cluster)
        percent *= 0.7f;
    }
    if (final_syllable)
      percent *= 1.4f;
    const float length_ms = minimum + (info.inherent_ms - minimum) * percent;
    p.length = static_cast<int32_t>(length_ms * ms / speed);
    if (p.length < 1)
      p.length = 1;
  }

  // Silence around phones, and aspiration after voiceless stops.
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
      aspiration_ms = 40.0f; // a released final stop
    } else if (i > 0 && out[i - 1].phoneme != kPause &&
               kPhonemes[out[i - 1].phoneme].name[0] == 'S' &&
               kPhonemes[out[i - 1].phoneme].name[1] == '\0' &&
               !(p.flags & kWordInitial)) {
      aspiration_ms = 15.0f; // "sp", "st", "sk"
    } else if (is_vowel(out[i + 1].phoneme)) {
      aspiration_ms = out[i + 1].stress == kUnstressed ? 30.0f : 60.0f;
    } else if (is_sonorant_consonant(out[i + 1].phoneme)) {
      aspiration_ms = 45.0f;
    } else {
      aspiration_ms = 10.0f;
    }
    if (kPhonemes[p.phoneme].kind == Kind::affricate)
      aspiration_ms *= 0.5f;
    p.aspiration = static_cast<int32_t>(aspiration_ms * ms / speed);
  }

  // Times.
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
  }
  state.end = t;

  // Pitch, phrase by phrase: a declining baseline, accents on stressed
  // vowels, and a final fall (statement), rise (question) or slight rise
  // (continuation) from the last accent to the end of the phrase.
  const float f0 = settings.f0;
  int first = 0;
  while (first < n) {
    if (out[first].phoneme == kPause) {
      out[first].f0[0] = out[first].f0[1] = out[first].f0[2] = f0;
      ++first;
      continue;
    }
    int last = first;
    while (last + 1 < n && out[last + 1].phoneme != kPause)
      ++last;
    if (!state.phrase_open || (out[first].flags & kAfterSilence))
      state.phrase_start = out[first].start;
    const uint8_t boundary =
        last + 1 < n ? out[last + 1].boundary : out[last].boundary;
    const bool open = last + 1 >= n && boundary < kContinuation;

    // Anchors: (time, Hz), at most three per vowel plus the two ends.
    Anchor *anchors = scratch;
    int count_anchors = 0;
    const auto baseline = [&](int64_t when) {
      const float seconds =
          static_cast<float>(when - state.phrase_start) / settings.rate;
      const float fall = seconds / 2.0f;
      return f0 * (1.0f - 0.1f * (fall < 1.5f ? fall : 1.5f));
    };
    // The nuclear accent: the last primary stress, else the last stress,
    // else the last vowel.
    int nuclear = -1;
    for (int rank = 2; rank >= 0 && nuclear < 0; --rank)
      for (int i = last; i >= first && nuclear < 0; --i)
        if (is_vowel(out[i].phoneme) &&
            (rank == 0 || (rank == 1 && out[i].stress != kUnstressed) ||
             out[i].stress == kPrimary))
          nuclear = i;
    anchors[count_anchors++] = {out[first].start, baseline(out[first].start)};
    // A phrase continued from the last text has had its first accent.
    bool first_accent =
        !(state.phrase_open && first == 0 && state.phrase_accented);
    for (int i = first; i <= last; ++i) {
      if (!is_vowel(out[i].phoneme))
        continue;
      const Phone &v = out[i];
      const int64_t at = v.start + v.length * 35 / 100;
      float accent = 0.97f;
      if (v.stress == kPrimary) {
        accent = first_accent ? 1.22f : 1.12f;
        first_accent = false;
      } else if (v.stress == kSecondary) {
        accent = 1.05f;
      }
      if (i == nuclear && !open) {
        const int64_t end = out[last].start + out[last].length;
        if (boundary == kQuestion) {
          anchors[count_anchors++] = {v.start + v.length / 5,
                                      0.95f * baseline(at)};
          anchors[count_anchors++] = {end, 1.45f * f0};
        } else if (boundary == kContinuation) {
          anchors[count_anchors++] = {v.start + v.length / 5,
                                      accent * baseline(at)};
          anchors[count_anchors++] = {v.start + v.length * 4 / 5,
                                      0.97f * baseline(at)};
          anchors[count_anchors++] = {end, 1.06f * baseline(end)};
        } else {
          anchors[count_anchors++] = {v.start + v.length / 5,
                                      accent * baseline(at)};
          anchors[count_anchors++] = {end, 0.78f * f0};
        }
        break;
      }
      anchors[count_anchors++] = {at, accent * baseline(at)};
    }
    if (open) {
      const int64_t end = out[last].start + out[last].length;
      anchors[count_anchors++] = {end, baseline(end)};
    }
    // Phones and anchors both run forwards in time: one pass over each.
    int cursor = 1;
    const auto pitch_at = [&](int64_t when) {
      if (when <= anchors[0].t || count_anchors == 1)
        return anchors[0].hz;
      while (cursor < count_anchors - 1 && anchors[cursor].t < when)
        ++cursor;
      const Anchor &x = anchors[cursor - 1], &y = anchors[cursor];
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
    first = last + 1;
  }
  if (n > 0 && out[n - 1].phoneme == kPause)
    state.phrase_open = false;
}

} // namespace tw::speech
