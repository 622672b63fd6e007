#include "sing.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace tw::speech {

namespace {

// Anything queued starts this long after the render position, as speech
// does, so that the render call never finds a phone that began before it
// looked.
constexpr float kLeadMs = 10.0f;
// However many consonants crowd around it, a vowel keeps this share of its
// note (to the next note's start); the consonants are shortened instead.
constexpr float kMinNucleusShare = 0.35f;
// A rest at least this long (from the last sound of a note to the first of
// the next) takes a breath, which ends a little before the next onset and
// swells and fades over its length.
constexpr float kBreathRestMs = 300.0f;
constexpr float kBreathMinMs = 100.0f, kBreathMaxMs = 350.0f;
constexpr float kBreathBeforeMs = 60.0f;
constexpr float kBreathGain = 0.35f;
// Vibrato grows to its depth over this long once its delay has passed
// (Sundberg 1987: a trained singer's vibrato sets in gradually, a few
// hundred ms into a held note).
constexpr float kVibratoRampMs = 200.0f;
// Changes of vibrato depth and of level between notes are smoothed so that
// a new note's vibrato-free onset or velocity never steps the source.
constexpr float kDepthSmoothingMs = 40.0f, kGainSmoothingMs = 15.0f;

bool continuant(uint8_t id) {
  switch (kPhonemes[id].kind) {
  case Kind::nasal:
  case Kind::liquid:
  case Kind::glide:
  case Kind::fricative:
    return true;
  case Kind::vowel:
  case Kind::diphthong:
  case Kind::stop:
  case Kind::affricate:
  case Kind::aspirate:
  case Kind::flap:
  case Kind::glottal_stop:
  case Kind::pause:
    return false;
  }
  return false;
}

int64_t samples(double seconds, float rate) {
  return static_cast<int64_t>(llround(seconds * static_cast<double>(rate)));
}

// A syllable and the notes it is sung on: its phones syl[begin ... end) with
// the nucleus at `nucleus` (-1: none), and the times it is laid out at.
struct Group {
  int begin, nucleus, end;
  int first_note, last_note;
  int64_t start, finish;         // the first note's start, the last's end
  int64_t onset_start, coda_end; // where its sound starts and ends
  int64_t nucleus_start, coda_start;
  bool breath_before;
  int64_t breath_start, breath_length;
};

int64_t span(const Phone *p, int begin, int end) {
  int64_t sum = 0;
  for (int i = begin; i < end; ++i)
    sum += p[i].length;
  return sum;
}

void shorten(Phone *p, int begin, int end, double k) {
  if (k >= 1.0)
    return;
  for (int i = begin; i < end; ++i) {
    p[i].length = static_cast<int32_t>(p[i].length * k);
    if (p[i].length < 1)
      p[i].length = 1;
    p[i].aspiration = static_cast<int32_t>(p[i].aspiration * k);
  }
}

// Aspiration of the onset's last phone (a voiceless stop): the vowel starts
// voiceless for this long, so it starts this much before its note.
int64_t onset_aspiration(const Phone *syl, const Group &g) {
  const int last = g.nucleus >= 0 ? g.nucleus - 1 : g.end - 1;
  return last >= g.begin && g.nucleus >= 0 ? syl[last].aspiration : 0;
}

int64_t onset_length(const Phone *syl, const Group &g) {
  const int onset_end = g.nucleus >= 0 ? g.nucleus : g.end;
  return span(syl, g.begin, onset_end) + onset_aspiration(syl, g);
}

int64_t coda_length(const Phone *syl, const Group &g) {
  return g.nucleus >= 0 ? span(syl, g.nucleus + 1, g.end) : 0;
}

} // namespace

int sung_phone_bound(int count, int tokens) {
  // A token makes at most one phone here (pauses are dropped); a note may add
  // a breath and a nucleus.
  return tokens + 2 * count;
}

int sung_region_bound(int count) { return 2 * count; }

bool plan_phrase(const NoteInput *notes, int count, const Token *tokens,
                 const SingSettings &settings, int64_t earliest,
                 PlannerState &state, Phone *phones, int *phone_count,
                 SungRegion *regions, int *region_count, int64_t *origin) {
  const float rate = settings.rate;
  const float ms = rate / 1000.0f;
  int total_tokens = 0, longest = 0;
  for (int i = 0; i < count; ++i) {
    total_tokens += notes[i].token_count;
    if (notes[i].token_count > longest)
      longest = notes[i].token_count;
  }
  // plan() makes at most two phones of a token (one and a pause).
  Phone *syl = static_cast<Phone *>(
      malloc(sizeof(Phone) * (2 * static_cast<size_t>(total_tokens) + 1)));
  Phone *one = static_cast<Phone *>(
      malloc(sizeof(Phone) * (2 * static_cast<size_t>(longest) + 1)));
  PitchAnchor *anchors = static_cast<PitchAnchor *>(
      malloc(sizeof(PitchAnchor) * (6 * static_cast<size_t>(longest) + 2)));
  Group *groups = static_cast<Group *>(malloc(sizeof(Group) * count));
  if (!syl || !one || !anchors || !groups) {
    free(syl);
    free(one);
    free(anchors);
    free(groups);
    return false;
  }

  // Each syllable's phones with their natural (spoken) lengths and
  // aspiration, from the speaker's own planner.
  int groups_count = 0, syl_count = 0;
  for (int i = 0; i < count; ++i) {
    const NoteInput &note = notes[i];
    if (note.token_count == 0) {
      Group &g = groups[groups_count - 1];
      g.last_note = i;
      g.finish = samples(note.start + note.duration, rate);
      continue;
    }
    Group &g = groups[groups_count++];
    g = Group{};
    g.first_note = g.last_note = i;
    g.start = samples(note.start, rate);
    g.finish = samples(note.start + note.duration, rate);
    g.begin = syl_count;
    g.nucleus = -1;
    PlannerState scratch;
    const PlanSettings spoken{rate, settings.speed, note.hz, 0};
    const Token *t = tokens + note.first_token;
    const int n = planned_phones(t, note.token_count);
    plan(t, note.token_count, spoken, scratch, one, anchors);
    for (int k = 0; k < n; ++k)
      if (one[k].phoneme != kPause)
        syl[syl_count++] = one[k];
    g.end = syl_count;
    for (int k = g.begin; k < g.end && g.nucleus < 0; ++k)
      if (is_vowel(syl[k].phoneme))
        g.nucleus = k;
    for (int k = g.begin; k < g.end && g.nucleus < 0; ++k)
      if (continuant(syl[k].phoneme))
        g.nucleus = k;
    if (g.nucleus >= 0) {
      Phone &v = syl[g.nucleus];
      // The dictionary's unstressed AH is a schwa, and sung as one.
      if (v.phoneme == phoneme_id("AH") && v.stress == kUnstressed)
        v.phoneme = static_cast<uint8_t>(phoneme_id("AX"));
      v.stress = kPrimary;
    }
  }

  // Consonants between two vowels share the time the first vowel leaves
  // them; where they do not fit they are shortened alike.
  for (int i = 0; i + 1 < groups_count; ++i) {
    Group &a = groups[i], &b = groups[i + 1];
    const int64_t room =
        b.start - a.start -
        static_cast<int64_t>(kMinNucleusShare * (b.start - a.start));
    const int64_t need = coda_length(syl, a) + onset_length(syl, b);
    if (need > room && need > 0) {
      const double k = room > 0 ? static_cast<double>(room) / need : 0.0;
      if (a.nucleus >= 0)
        shorten(syl, a.nucleus + 1, a.end, k);
      shorten(syl, b.begin, b.nucleus >= 0 ? b.nucleus : b.end, k);
    }
  }

  // Onsets before the beat, codas at the end of the note (or before the
  // next onset), the vowel between.
  for (int i = 0; i < groups_count; ++i) {
    Group &g = groups[i];
    g.onset_start = g.start - onset_length(syl, g);
    g.nucleus_start = g.start - onset_aspiration(syl, g);
  }
  for (int i = 0; i < groups_count; ++i) {
    Group &g = groups[i];
    const int64_t next_onset =
        i + 1 < groups_count ? groups[i + 1].onset_start : INT64_MAX;
    const int64_t coda = coda_length(syl, g);
    int64_t end = g.finish < next_onset ? g.finish : next_onset;
    const int64_t to_next =
        (i + 1 < groups_count ? groups[i + 1].start : g.finish) - g.start;
    const int64_t least =
        g.start + static_cast<int64_t>(kMinNucleusShare * to_next) + coda;
    if (end < least)
      end = least < next_onset ? least : next_onset;
    g.coda_end = end;
    g.coda_start = end - coda;
    if (g.nucleus < 0) {
      // Stops alone: their natural lengths from the onset, nothing held.
      g.coda_end = g.nucleus_start;
      g.coda_start = g.coda_end;
    }
    if (g.coda_start < g.nucleus_start)
      g.coda_start = g.nucleus_start;
  }
  for (int i = 1; i < groups_count; ++i) {
    Group &g = groups[i];
    const int64_t rest = g.onset_start - groups[i - 1].coda_end;
    if (rest < static_cast<int64_t>(kBreathRestMs * ms))
      continue;
    int64_t length = rest - static_cast<int64_t>(2.5f * kBreathBeforeMs * ms);
    if (length > static_cast<int64_t>(kBreathMaxMs * ms))
      length = static_cast<int64_t>(kBreathMaxMs * ms);
    if (length < static_cast<int64_t>(kBreathMinMs * ms))
      continue;
    g.breath_before = true;
    g.breath_length = length;
    g.breath_start =
        g.onset_start - static_cast<int64_t>(kBreathBeforeMs * ms) - length;
  }

  // The phrase's time 0: where it may start, later if the first onset needs
  // the room.
  int64_t zero = state.end;
  const int64_t lead = earliest + static_cast<int64_t>(kLeadMs * ms);
  if (zero < lead)
    zero = lead;
  if (groups_count > 0 && groups[0].onset_start < 0)
    zero -= groups[0].onset_start;
  *origin = zero;

  const uint8_t breath = static_cast<uint8_t>(phoneme_id("HH"));
  const int64_t portamento = samples(settings.portamento_s, rate);
  int np = 0, nr = 0;
  int64_t last_hz_end = INT64_MIN; // where the last note's sound ended
  float last_hz = 0.0f;
  for (int i = 0; i < groups_count; ++i) {
    const Group &g = groups[i];
    if (g.breath_before) {
      Phone &p = phones[np++];
      p = Phone{};
      p.phoneme = breath;
      p.start = zero + g.breath_start;
      p.length = static_cast<int32_t>(g.breath_length);
      const float hz = notes[g.first_note].hz;
      p.f0[0] = p.f0[1] = p.f0[2] = hz;
      SungRegion &r = regions[nr++];
      r = SungRegion{};
      r.start = r.glide_start = p.start;
      r.from_hz = r.hz = hz;
      r.vibrato_start = INT64_MAX;
      r.gain = kBreathGain;
      r.swell_length = p.length;
    }
    // Onset consonants, then the nucleus stretched to the coda, then the
    // coda; a syllable of stops alone keeps their own lengths.
    int64_t t = zero + g.onset_start;
    const int onset_end = g.nucleus >= 0 ? g.nucleus : g.end;
    for (int k = g.begin; k < onset_end; ++k) {
      phones[np] = syl[k];
      phones[np].start = t;
      t += syl[k].length;
      ++np;
    }
    if (g.nucleus >= 0) {
      Phone &v = phones[np++];
      v = syl[g.nucleus];
      v.start = zero + g.nucleus_start;
      v.length = static_cast<int32_t>(g.coda_start - g.nucleus_start);
      if (v.length < 1)
        v.length = 1;
      t = v.start + v.length;
      for (int k = g.nucleus + 1; k < g.end; ++k) {
        phones[np] = syl[k];
        phones[np].start = t;
        t += syl[k].length;
        ++np;
      }
    }
    // One region per note: a glide into it when the voice is still sounding
    // the note before, vibrato after its delay.
    for (int n = g.first_note; n <= g.last_note; ++n) {
      const NoteInput &note = notes[n];
      const int64_t start = zero + samples(note.start, rate);
      const bool legato =
          n > g.first_note || last_hz_end >= zero + g.onset_start;
      int64_t glide = legato ? portamento : 0;
      const int64_t here = samples(note.duration, rate) / 2;
      const int64_t before =
          n > 0 ? samples(notes[n - 1].duration, rate) / 2 : 0;
      if (glide > here)
        glide = here;
      if (glide > before)
        glide = before;
      SungRegion &r = regions[nr++];
      r = SungRegion{};
      r.glide_start = start - glide / 2;
      r.glide_length = static_cast<int32_t>(glide);
      r.start = n == g.first_note && zero + g.onset_start < r.glide_start
                    ? zero + g.onset_start
                    : r.glide_start;
      r.from_hz = legato ? last_hz : note.hz;
      r.hz = note.hz;
      r.vibrato_start =
          start + samples(static_cast<double>(settings.vibrato_delay_s), rate);
      r.vibrato_hz = settings.vibrato_hz;
      r.vibrato_cents = settings.vibrato_cents;
      r.gain = note.velocity;
      last_hz = note.hz;
    }
    last_hz_end = zero + g.coda_end;
  }

  // Every phone of a syllable sings at its note's pitch (the renderer adds
  // the glides and vibrato), and silence before and after each stretch of
  // sound shapes its voicing as it does in speech.
  int group = 0;
  for (int i = 0; i < np; ++i) {
    Phone &p = phones[i];
    p.flags = kSung;
    if (p.phoneme != breath) {
      while (group + 1 < groups_count &&
             zero + groups[group + 1].onset_start <= p.start)
        ++group;
      const float hz = notes[groups[group].first_note].hz;
      p.f0[0] = p.f0[1] = p.f0[2] = hz;
    }
    if (i == 0 || phones[i - 1].start + phones[i - 1].length < p.start ||
        phones[i - 1].phoneme == breath)
      p.flags |= kAfterSilence;
    if (i + 1 == np || p.start + p.length < phones[i + 1].start ||
        phones[i + 1].phoneme == breath || p.phoneme == breath)
      p.flags |= kBeforeSilence;
    p.serial = state.serial++;
  }
  if (np > 0) {
    const Phone &last = phones[np - 1];
    state.end = last.start + last.length;
  }
  state.phrase_open = false;
  *phone_count = np;
  *region_count = nr;
  free(syl);
  free(one);
  free(anchors);
  free(groups);
  return true;
}

void sung_controls(const RegionWindow &regions, SungState &state, bool sung,
                   int64_t t, int n, float rate, Controls &c) {
  if (state.current < regions.first)
    state.current = regions.first;
  while (state.current + 1 < regions.end &&
         regions.at(state.current + 1).start <= t)
    ++state.current;
  if (!sung || state.current >= regions.end) {
    state.singing = false;
    return;
  }
  const SungRegion &r = regions.at(state.current);
  const float ms = rate / 1000.0f;
  float hz = r.hz;
  if (t < r.glide_start) {
    hz = r.from_hz;
  } else if (t < r.glide_start + r.glide_length) {
    float x = static_cast<float>(t - r.glide_start) /
              static_cast<float>(r.glide_length);
    x = x * x * (3.0f - 2.0f * x);
    hz = r.from_hz * powf(r.hz / r.from_hz, x);
  }
  float depth = 0.0f;
  if (t >= r.vibrato_start) {
    float x = static_cast<float>(t - r.vibrato_start) / (kVibratoRampMs * ms);
    x = x > 1.0f ? 1.0f : x;
    depth = r.vibrato_cents * x * x * (3.0f - 2.0f * x);
  }
  float gain = r.gain;
  if (r.swell_length > 0) {
    const float x =
        static_cast<float>(t - r.start) / static_cast<float>(r.swell_length);
    gain = x > 0.0f && x < 1.0f ? gain * sinf(3.14159265f * x) : 0.0f;
  }
  if (!state.singing) {
    state.depth_cents = depth;
    state.gain = gain;
    state.singing = true;
  } else {
    state.depth_cents +=
        (depth - state.depth_cents) *
        (1.0f - expf(-static_cast<float>(n) / (kDepthSmoothingMs * ms)));
    state.gain +=
        (gain - state.gain) *
        (1.0f - expf(-static_cast<float>(n) / (kGainSmoothingMs * ms)));
  }
  constexpr float kTwoPi = 6.28318531f;
  state.phase += kTwoPi * r.vibrato_hz * static_cast<float>(n) / rate;
  if (state.phase >= kTwoPi)
    state.phase -= kTwoPi * floorf(state.phase / kTwoPi);
  c.f0 = hz * exp2f(state.depth_cents * sinf(state.phase) / 1200.0f);
  c.amp *= state.gain;
}

namespace {

// English's legal two- and three-consonant onsets (Giegerich 1992, ch. 6;
// Harris 1994): a stop or fricative before a liquid or glide, /s/ before a
// voiceless stop, a nasal, /l w f/, and /s/ + stop + liquid or glide.
const char *const kOnsets[] = {
    "P L",   "P R",   "P Y",   "B L",   "B R",   "B Y",   "T R",
    "T W",   "D R",   "D W",   "K L",   "K R",   "K W",   "K Y",
    "G L",   "G R",   "G W",   "F L",   "F R",   "F Y",   "V Y",
    "TH R",  "TH W",  "SH R",  "S P",   "S T",   "S K",   "S M",
    "S N",   "S L",   "S W",   "S F",   "HH Y",  "M Y",   "S P L",
    "S P R", "S T R", "S K R", "S K W", "S K L", "S P Y", "S K Y",
};

bool legal_onset(const Token *t, int begin, int end) {
  const int n = end - begin;
  if (n <= 0)
    return true;
  if (n == 1)
    return t[begin].phoneme != phoneme_id("NG");
  char text[16] = "";
  size_t used = 0;
  for (int i = begin; i < end; ++i) {
    const char *name = kPhonemes[t[i].phoneme].name;
    const size_t length = strlen(name);
    if (used + length + 2 > sizeof text)
      return false;
    if (i > begin)
      text[used++] = ' ';
    memcpy(text + used, name, length);
    used += length;
    text[used] = '\0';
  }
  for (const char *onset : kOnsets)
    if (strcmp(onset, text) == 0)
      return true;
  return false;
}

struct Writer {
  char *out;
  int size, length = 0;
  void put(const char *s) {
    for (; *s; ++s, ++length)
      if (length < size)
        out[length] = *s;
  }
};

} // namespace

int syllables(const char *arpabet, char *out, int size, int *error_offset) {
  const size_t bytes = strlen(arpabet);
  Token *tokens = static_cast<Token *>(malloc(sizeof(Token) * (bytes + 1)));
  bool *starts = static_cast<bool *>(calloc(bytes + 1, sizeof(bool)));
  if (!tokens || !starts) {
    free(tokens);
    free(starts);
    return -2;
  }
  int count = parse(arpabet, kArpabet, tokens, static_cast<int>(bytes) + 1,
                    error_offset);
  if (count < 0) {
    free(tokens);
    free(starts);
    return -1;
  }
  // Pauses go; a pause ends a word as a word end does.
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    if (tokens[i].phoneme == kPause) {
      if (kept > 0)
        tokens[kept - 1].boundary = kWordEnd;
      continue;
    }
    tokens[kept++] = tokens[i];
  }
  count = kept;
  // Each word's syllables start at its first phone and, between two vowels,
  // at the earliest consonant that still leaves a legal onset before the
  // second.
  int word = 0;
  while (word < count) {
    int end = word;
    while (end < count && tokens[end].boundary == kNoBoundary)
      ++end;
    if (end < count)
      ++end;
    starts[word] = true;
    int last_vowel = -1;
    for (int i = word; i < end; ++i) {
      if (!is_vowel(tokens[i].phoneme))
        continue;
      if (last_vowel >= 0) {
        int split = i;
        while (split > last_vowel + 1 && legal_onset(tokens, split - 1, i))
          --split;
        starts[split] = true;
      }
      last_vowel = i;
    }
    word = end;
  }
  Writer w{out, size};
  for (int i = 0; i < count; ++i) {
    if (i > 0)
      w.put(starts[i] ? " - " : " ");
    w.put(kPhonemes[tokens[i].phoneme].name);
    if (is_vowel(tokens[i].phoneme)) {
      const char digit[2] = {static_cast<char>('0' + tokens[i].stress), '\0'};
      w.put(digit);
    }
  }
  if (size > 0)
    out[w.length < size ? w.length : size - 1] = '\0';
  free(tokens);
  free(starts);
  return w.length;
}

} // namespace tw::speech
