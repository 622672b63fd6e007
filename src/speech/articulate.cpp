#include "articulate.h"

#include <math.h>

namespace tw::speech {

constexpr VowelShape kVowelShapes[kShapeCount] = {
#include "vowel_table.inc"
};

namespace {

constexpr bool same_name(const char *a, const char *b) {
  return *a == *b && (*a == '\0' || same_name(a + 1, b + 1));
}
static_assert(same_name(kVowelShapes[kIY].name, "IY") &&
                  same_name(kVowelShapes[kEY].name, "EY") &&
                  same_name(kVowelShapes[kOW].name, "OW") &&
                  same_name(kVowelShapes[kER].name, "ER") &&
                  same_name(kVowelShapes[kAX].name, "AX"),
              "vowel_table.inc is not in the order of the Shape enum");

// The nose at rest (the parameter path's profile).
constexpr float kNasalProfile[kNasal] = {1.2f, 1.4f, 1.6f, 1.8f, 1.9f, 2.0f,
                                         2.0f, 1.9f, 1.8f, 1.7f, 1.5f, 1.3f,
                                         1.1f, 0.9f, 0.7f, 0.5f};

// Timing of articulation, in ms.
constexpr float kCrossfadeMs = 6.0f; // half a source crossfade
constexpr float kPhraseOnsetMs = 20.0f, kPhraseOffsetMs = 60.0f;
// Vowel to vowel across consonants: at most this long (Ohman 1966: the
// tongue body moves from vowel to vowel through the consonant).
constexpr float kMaxVowelTransitionMs = 150.0f;
// Where a vowel holds its shape: its middle, leaving a quarter of it (at
// most 30 ms) at each edge for the transitions.
constexpr float kVowelEdgeMs = 30.0f;
// A sung diphthong glides to its second vowel over at most this long.
constexpr float kSungGlideMs = 150.0f;
// The velum opens before a nasal and closes after it, so that the vowels
// around it are nasalised (anticipatory nasalisation in English vowels
// lasts about 100 ms before the nasal, Cohn 1990; 80 was heard as cleaner).
constexpr float kVelumLeadMs = 80.0f, kVelumLagMs = 40.0f;
constexpr float kVelumOpen = 1.0f;
constexpr float kCoupledVelum = 0.2f;
// The murmur's own level rules while the mouth is shut, coming in over
// this ramp.
constexpr float kNasalShareMs = 10.0f;

// Source levels (before level compensation).
constexpr float kBreathyShare = 0.156f; // aspiration per unit of voicing
constexpr float kVowelBreathiness = 0.05f;
constexpr float kSonorantBreathiness = 0.05f;
constexpr float kClosedBreathiness = 0.02f;
constexpr float kUnstressedVoicing = 0.8f;
constexpr float kFlapVoicing = 0.7f;
constexpr float kVoiceBar = 0.15f;
constexpr float kVoicedFricativeVoicing = 0.5f;
constexpr float kAspiration = 0.4f;
// A voiceless stop's aspiration, half of /h/'s: at /h/'s level the noise
// after /k/ in "cat" was 8 dB above the vowel in the 2-3 kHz band, where
// flite's is a few dB below it, and the recogniser heard "candle" as
// "window" (development words 35 of 40 right at 0.3 and 0.4, 37 at 0.2 and
// at 0.1; held-out words 40 of 40 at each; measured with /ae/ at 700/1900 Hz,
// and 37 and 40 again at 0.2 with today's 680/1890).
constexpr float kStopAspiration = 0.2f;
// A stop at the end of a phrase is released weakly, if at all (the
// measured final /t/ was as loud as its vowel, the peers' a faint click).
constexpr float kFinalReleaseDb = -10.0f;
// Voiced obstruents' noise against their voiceless partners': -4 dB left
// every voiced fricative of the rhyme test heard as voiceless.
constexpr float kVoicedFricationDb = -6.0f;
// Voice bars against a vowel's level: in a voiced stop's closure some 20 dB
// down (Stevens 1998, ch. 7: the walls radiate the first harmonics only),
// under a voiced fricative stronger, the low band of /v z/ being within
// about 10 dB of the vowel's (Stevens 1998, ch. 8; the tube gave /v/ 44 dB
// less there than its vowel, /z/ 13 dB less). A stop after silence gets no
// voice bar (Lisker & Abramson 1964: American English /b d g/ start with a
// short voicing lag); with one, the female voice's /b/ was heard as /m/.
// Its source still keeps the closure's weak voicing (kVoiceBar), which
// sounds through an alveolar or velar closure (/d/'s low band 39 dB over
// /t/'s): taking that away too was mixed on the development lists (rhyme
// +1 point for male and child, the female voice's words 25 to 23), so it
// stays.
constexpr float kStopBarDb = -20.0f, kFricativeBarDb = -12.0f;
// How much of a voiced fricative's output is coloured: all of it, the voice
// bar carrying its voicing (at half, its noise kept the tube's low-heavy
// spectrum and /z/ was heard as /dh/).
constexpr float kVoicedColour = 1.0f;

// Lip openings (cm) between which the lips go from open to closed: the lip
// reflection moves from the open-end value to +1 (a closed end), so that a
// closure silences the mouth while the nose still sounds.
constexpr float kLipsOpen = 0.45f, kLipsClosed = 0.05f;
constexpr float kOpenLipCoeff = -0.85f;
constexpr float kClosure = 0.02f; // a stop's or nasal's opening, cm

// F1 at a closure: the constriction pulls it down to about 250 Hz whatever
// the place (Stevens 1998, ch. 7; Klatt 1980's consonant table).
constexpr float kClosureF1Hz = 250.0f;

// One row per place of articulation.
//  section, spread: where it constricts the tube (a section, 24 = lips) and
//    over how many sections (a Gaussian notch in log diameter);
//  fricative_cm: its opening in a fricative;
//  release_ms: how long the constriction takes to open after a closure
//    (the tongue body is slower than the tip or the lips: Stevens 1998,
//    ch. 7, and Fujimura 1961 for the lips);
//  frication_db: a voiceless fricative's level against a vowel (Jongman,
//    Wayland & Wong 2000 and Stevens 1998, ch. 8: /s sh/ within 10 dB of a
//    vowel, /sh/ the stronger, /f th/ some 20 dB down); /s/ lowered from
//    +6 dB, which left the loudest unvoiced frame of the test sentence
//    15 dB over the median voiced one (espeak-ng and flite: -1 to +8), to
//    0 dB, where the recogniser still hears "six" (at -4 it heard
//    "eight");
//  burst_db: a stop burst's peak against a vowel (Stevens 1998, ch. 7:
//    labial bursts weak, alveolar and velar ones within 5-10 dB of the
//    vowel in their own bands; raised from -4 dB, where the rhyme test's
//    /d/ and /g/ were heard as /b/);
//  burst_ms: the time constant of its decay (Stevens 1998, ch. 7: the
//    transient and frication of a release last 5-20 ms, shortest for
//    labials, longest for velars, whose slower tongue body keeps the
//    constriction narrow for longer; at 5 ms for every place the velar
//    bursts of the rhyme test were heard as labial);
//  colour, colour_hz, colour_q: the output stage's filter for its noise
//    (Stevens & Blumstein 1978: labial bursts diffuse and falling,
//    alveolar diffuse and rising, velar compact at mid frequencies where
//    F2 and F3 meet; /s/ above 4 kHz, /sh/ from 2.5 kHz, /f th/ flat;
//    /sh/'s corner raised from 2 to 3.2 kHz until its centroid, measured
//    at 2.4 kHz, came into the peers' 3.4-4.6);
//    a velar's colour_hz of 0 puts its band on the locus of F2;
//  f2_slope, f2_hz: the locus equation F2 onset = slope x F2 of the vowel
//    + intercept (Sussman, McCaffrey & Matthews 1991, rounded: labials
//    close to the vowel's F2 lowered, alveolars towards 1800 Hz, velars in
//    between and highest before front vowels);
//  f3_slope, f3_hz: the same for F3 (labials lower it, alveolars draw it to
//    about 2700 Hz, velars to just above F2: the velar pinch);
//  calibrated_by: the fricative whose measured level sets the gain of the
//    place's noise (places without a fricative borrow a neighbour's).
struct PlaceRow {
  Place place;
  float section, spread, fricative_cm, release_ms;
  float frication_db, burst_db, burst_ms;
  Colour colour;
  float colour_hz, colour_q;
  float f2_slope, f2_hz, f3_slope, f3_hz;
  const char *calibrated_by;
};
constexpr PlaceRow kPlaces[kPlaceCount] = {
    {Place::none, 0.0f, 1.0f, 1.0f, 25.0f, 0.0f, 0.0f, 5.0f, Colour::flat,
     1000.0f, 0.7f, 1.0f, 0.0f, 1.0f, 0.0f, nullptr},
    {Place::bilabial, 23.8f, 1.2f, 0.15f, 25.0f, -18.0f, -10.0f, 5.0f,
     Colour::low_pass, 1800.0f, 0.7f, 0.8f, 150.0f, 0.9f, 0.0f, "F"},
    {Place::labiodental, 24.0f, 0.8f, 0.12f, 25.0f, -20.0f, -10.0f, 5.0f,
     Colour::flat, 1000.0f, 0.7f, 0.8f, 150.0f, 0.9f, 0.0f, "F"},
    {Place::dental, 23.0f, 1.0f, 0.18f, 25.0f, -22.0f, -10.0f, 5.0f,
     Colour::flat, 1000.0f, 0.7f, 0.6f, 700.0f, 0.5f, 1300.0f, "TH"},
    {Place::alveolar, 21.5f, 1.5f, 0.12f, 25.0f, 0.0f, 0.0f, 8.0f,
     Colour::high_pass, 3500.0f, 0.707f, 0.45f, 1000.0f, 0.3f, 1900.0f, "S"},
    {Place::postalveolar, 20.5f, 1.5f, 0.16f, 25.0f, -2.0f, -4.0f, 8.0f,
     Colour::high_pass, 3200.0f, 1.2f, 0.4f, 1300.0f, 0.4f, 1500.0f, "SH"},
    {Place::palatal, 18.0f, 1.8f, 0.4f, 30.0f, -12.0f, -6.0f, 12.0f,
     Colour::band_pass, 2500.0f, 2.0f, 0.4f, 1300.0f, 0.4f, 1500.0f, "SH"},
    {Place::velar, 15.0f, 2.0f, 0.2f, 35.0f, -10.0f, 2.0f, 15.0f,
     Colour::band_pass, 0.0f, 2.5f, 0.7f, 700.0f, 0.6f, 900.0f, "SH"},
    {Place::glottal, 0.0f, 1.0f, 1.0f, 25.0f, 0.0f, 0.0f, 5.0f, Colour::flat,
     1000.0f, 0.7f, 1.0f, 0.0f, 1.0f, 0.0f, nullptr},
};
constexpr bool places_in_order(int i = 0) {
  return i == kPlaceCount ||
         (kPlaces[i].place == static_cast<Place>(i) && places_in_order(i + 1));
}
static_assert(places_in_order(), "kPlaces is not in the order of Place");

const PlaceRow &place_row(Place p) { return kPlaces[static_cast<int>(p)]; }

// One row per phoneme kind: whether it is a sonorant (its voicing fades at
// phrase edges), whether a release starts what follows (its closure holds
// its source to the end), and how its gesture forms and releases, in ms
// (closures 18 ms in, Stevens 1998 ch. 7; fricatives, liquids and glides
// slower, flaps a single tap of about 10 ms, Zue & Laferriere 1979).
struct KindRow {
  Kind kind;
  bool sonorant, releases;
  float in_ms, out_ms;
};
constexpr KindRow kKinds[] = {
    {Kind::vowel, true, false, 0.0f, 0.0f},
    {Kind::diphthong, true, false, 0.0f, 0.0f},
    {Kind::stop, false, true, 18.0f, 0.0f}, // out: the place's release
    {Kind::affricate, false, true, 18.0f, 0.0f},
    {Kind::fricative, false, false, 20.0f, 20.0f},
    {Kind::nasal, true, false, 18.0f, 0.0f},
    {Kind::liquid, true, false, 30.0f, 30.0f},
    {Kind::glide, true, false, 40.0f, 40.0f},
    {Kind::aspirate, false, false, 0.0f, 0.0f},
    {Kind::flap, false, false, 10.0f, 10.0f},
    {Kind::glottal_stop, false, false, 0.0f, 0.0f},
    {Kind::pause, false, false, 0.0f, 0.0f},
};
constexpr bool kinds_in_order(int i = 0) {
  return i == static_cast<int>(sizeof kKinds / sizeof kKinds[0]) ||
         (kKinds[i].kind == static_cast<Kind>(i) && kinds_in_order(i + 1));
}
static_assert(kinds_in_order() && sizeof kKinds / sizeof kKinds[0] ==
                                      static_cast<size_t>(Kind::pause) + 1,
              "kKinds is not in the order of Kind");
const KindRow &kind_row(Kind k) { return kKinds[static_cast<int>(k)]; }

// An affricate's closure takes this share of it, its frication the rest
// (Klatt 1979's CH and JH: closure about half), opening over 10 ms.
constexpr float kAffricateClosure = 0.45f;
constexpr float kAffricateOpeningMs = 10.0f;
// /sh zh/ and /ch jh/ round the lips a little (Stevens 1998, ch. 8: the
// lips lengthen the front cavity, lowering the sibilant's resonance).
constexpr float kRoundingMs = 30.0f;

// The approximants' own constrictions, laid over the shapes they glide from
// (W from UW, Y from IY, R from ER, L from UH): lip rounding for W and R,
// the tongue tip's partial contact for L, the palatal narrowing of Y.
struct ApproximantRow {
  Kind kind;
  Place place;
  float section, spread, opening_cm, ms;
};
constexpr ApproximantRow kApproximants[] = {
    {Kind::liquid, Place::alveolar, 21.5f, 1.0f, 0.45f, 30.0f},    // L
    {Kind::liquid, Place::postalveolar, 24.0f, 1.0f, 0.8f, 40.0f}, // R
    {Kind::glide, Place::bilabial, 24.0f, 1.2f, 0.35f, 40.0f},     // W
    {Kind::glide, Place::palatal, 18.0f, 1.8f, 0.4f, 40.0f},       // Y
};
const ApproximantRow *approximant_row(const PhonemeInfo &info) {
  for (const ApproximantRow &row : kApproximants)
    if (row.kind == info.kind && row.place == info.place)
      return &row;
  return nullptr;
}
constexpr float kFlapOpeningCm = 0.05f;

float db(float x) { return powf(10.0f, x / 20.0f); }

inline float clamp01(float x) {
  return x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x);
}
inline float smoothstep(float x) {
  x = clamp01(x);
  return x * x * (3.0f - 2.0f * x);
}
inline float mix(float a, float b, float w) { return a + (b - a) * w; }

// A stretch of time over which the tract holds (or glides to) a vowel shape.
struct Key {
  int64_t begin, end;
  int8_t shape;
};

int keys_of(const Phone &p, float ms, Key *out) {
  const PhonemeInfo &info = kPhonemes[p.phoneme];
  const int64_t s = p.start, length = p.length, e = s + length;
  switch (info.kind) {
  case Kind::vowel: {
    int64_t edge = length / 4;
    if (edge > static_cast<int64_t>(kVowelEdgeMs * ms))
      edge = static_cast<int64_t>(kVowelEdgeMs * ms);
    // The CMU dictionary writes the schwa as an unstressed AH.
    const Shape shape =
        info.shape == kAH && p.stress == kUnstressed ? kAX : info.shape;
    out[0] = {s + edge, e - edge, shape};
    return 1;
  }
  case Kind::diphthong:
    if (p.flags & kSung) {
      // Singers hold a diphthong's first vowel and glide at the note's end.
      int64_t glide = length * 4 / 10;
      if (glide > static_cast<int64_t>(kSungGlideMs * ms))
        glide = static_cast<int64_t>(kSungGlideMs * ms);
      out[0] = {s + glide / 4, e - glide, info.shape};
      out[1] = {e - glide / 4, e - glide / 4, info.offglide};
      return 2;
    }
    // The onset held over 15-35% of it, the offglide reached at 90%
    // (Gay 1968: diphthongs are an onset steady state and a glide).
    out[0] = {s + length * 15 / 100, s + length * 35 / 100, info.shape};
    out[1] = {e - length / 10, e - length / 10, info.offglide};
    return 2;
  case Kind::liquid:
  case Kind::glide:
    out[0] = {s + length / 4, s + length * 6 / 10, info.shape};
    return 1;
  case Kind::stop:
  case Kind::affricate:
  case Kind::fricative:
  case Kind::nasal:
  case Kind::aspirate:
  case Kind::flap:
  case Kind::glottal_stop:
  case Kind::pause:
    return 0;
  }
  return 0;
}

// Activation of a gesture that is complete from `on` to `off`, formed over
// `in` samples before and released over `out` samples after.
float activation(int64_t t, int64_t on, int64_t off, float in, float out) {
  if (t < on)
    return in > 0.0f ? smoothstep(1.0f - static_cast<float>(on - t) / in)
                     : 0.0f;
  if (t <= off)
    return 1.0f;
  return out > 0.0f ? 1.0f - smoothstep(static_cast<float>(t - off) / out)
                    : 0.0f;
}

// Narrows log diameters towards `target` around `section`.
void constrict(float *log_d, float section, float spread, float target,
               float amount) {
  if (amount <= 0.0f)
    return;
  const float log_target = logf(target);
  for (int k = 0; k < kOral; ++k) {
    const float x = (static_cast<float>(k) - section) / spread;
    if (x > 3.0f || x < -3.0f)
      continue;
    const float w = amount * expf(-x * x);
    const float pull = log_target - log_d[k];
    if (pull < 0.0f)
      log_d[k] += w * pull;
  }
}

float frication_of(const PhonemeInfo &info, const VoiceSetup &voice) {
  const int place = static_cast<int>(info.place);
  // An affricate's frication rises fast and strong out of its closure
  // (Stevens 1998, ch. 8), voiced or not: at the full voiced reduction /jh/
  // was heard as /g/.
  const float voiced_db =
      !info.voiced
          ? 0.0f
          : (info.kind == Kind::affricate ? 0.5f : 1.0f) * kVoicedFricationDb;
  return db(kPlaces[place].frication_db + voiced_db) *
         voice.frication_gain[place];
}

int64_t affricate_release(const Phone &p) {
  return p.start +
         static_cast<int64_t>(kAffricateClosure * static_cast<float>(p.length));
}

// The source a phone asks for while it lasts (stop releases come on top).
Source phone_source(const Phone &p, int64_t t, const VoiceSetup &voice) {
  const PhonemeInfo &info = kPhonemes[p.phoneme];
  switch (info.kind) {
  case Kind::vowel:
  case Kind::diphthong: {
    const float v = p.stress == kUnstressed ? kUnstressedVoicing : 1.0f;
    return {v, kBreathyShare * v, kVowelBreathiness};
  }
  case Kind::nasal:
  case Kind::liquid:
  case Kind::glide:
    return {1.0f, kBreathyShare, kSonorantBreathiness};
  case Kind::flap:
    return {kFlapVoicing, 0.0f, kSonorantBreathiness};
  case Kind::stop:
    return {info.voiced ? kVoiceBar : 0.0f, 0.0f, kClosedBreathiness};
  case Kind::affricate:
    if (t < affricate_release(p))
      return {info.voiced ? kVoiceBar : 0.0f, 0.0f, kClosedBreathiness};
    return {info.voiced ? kVoicedFricativeVoicing : 0.0f, 0.0f,
            frication_of(info, voice)};
  case Kind::fricative:
    return {info.voiced ? kVoicedFricativeVoicing : 0.0f, 0.0f,
            frication_of(info, voice)};
  case Kind::aspirate:
    return {0.0f, kAspiration, kVowelBreathiness};
  case Kind::glottal_stop:
  case Kind::pause:
    break;
  }
  return {0.0f, 0.0f, kClosedBreathiness};
}

// The colouring a phone's own noise asks for: a fricative's all through,
// an affricate's once released.
struct Colouring {
  float amount;
  Place place;
};
Colouring phone_colouring(const Phone &p, int64_t t) {
  const PhonemeInfo &info = kPhonemes[p.phoneme];
  const bool noisy =
      info.kind == Kind::fricative ||
      (info.kind == Kind::affricate && t >= affricate_release(p));
  if (!noisy || place_row(info.place).colour == Colour::flat)
    return {0.0f, info.place};
  return {info.voiced ? kVoicedColour : 1.0f, info.place};
}

Source blend(const Source &a, const Source &b, float w) {
  return {mix(a.voicing, b.voicing, w), mix(a.aspiration, b.aspiration, w),
          mix(a.breathiness, b.breathiness, w)};
}

constexpr Source kSilence = {0.0f, 0.0f, kClosedBreathiness};

// Everything articulate() works out, step by step.
struct Moment {
  float ms; // samples per ms
  float log_d[kOral];
  int8_t shape_a, shape_b;
  float w;          // from shape_a to shape_b
  float vowel_f[3]; // the vowel formants, Hz (adult male)
  float base_lips;  // the vowel's lip opening, cm
  Source source;
  Colouring colouring;
  float locus_f[3], locus_weight; // the strongest consonant's loci, Hz
  float constricted;              // the narrowest gesture's activation
  float velum, nasal_share;
  float voice_bar; // against a vowel's level
  bool inside;
};

// Step 1: the vowel the tract is in or moving between (the last key begun
// and the next one).
void vowel_frame(const PhoneWindow &window, uint64_t current, int64_t t,
                 const VoiceSetup &voice, Moment &m) {
  const uint64_t lo =
      current >= window.first + 12 ? current - 12 : window.first;
  const uint64_t hi = current + 12 < window.end ? current + 12 : window.end;
  Key keys[2 * 24 + 2];
  int count = 0;
  for (uint64_t i = lo; i < hi; ++i)
    count += keys_of(window.at(i), m.ms, keys + count);
  int before = -1;
  for (int k = 0; k < count; ++k)
    if (keys[k].begin <= t)
      before = k;
  const int after = before + 1 < count ? before + 1 : -1;
  m.shape_a = m.shape_b = kAX;
  m.w = 0.0f;
  if (before < 0 && after < 0) {
    // No vowel anywhere near: the neutral tract.
  } else if (before < 0) {
    m.shape_a = m.shape_b = keys[after].shape;
  } else {
    m.shape_a = m.shape_b = keys[before].shape;
    if (after >= 0 && t > keys[before].end) {
      m.shape_b = keys[after].shape;
      int64_t from = keys[after].begin -
                     static_cast<int64_t>(kMaxVowelTransitionMs * m.ms);
      if (from < keys[before].end)
        from = keys[before].end;
      const int64_t span = keys[after].begin - from;
      m.w = span > 0 ? smoothstep(static_cast<float>(t - from) /
                                  static_cast<float>(span))
                     : 1.0f;
    }
  }
  for (int k = 0; k < kOral; ++k)
    m.log_d[k] =
        mix(voice.log_shape[m.shape_a][k], voice.log_shape[m.shape_b][k], m.w);
  m.base_lips = expf(m.log_d[kOral - 1]);
  for (int i = 0; i < 3; ++i)
    m.vowel_f[i] = mix(kVowelShapes[m.shape_a].target_hz[i],
                       kVowelShapes[m.shape_b].target_hz[i], m.w);
}

// Step 2: the phone being spoken and the source it asks for, crossfaded
// with its neighbours around the boundaries.
void phone_frame(const PhoneWindow &window, uint64_t current, int64_t t,
                 const VoiceSetup &voice, Moment &m, Controls &c) {
  m.inside = current < window.end && t >= window.at(current).start &&
             t < window.at(current).start + window.at(current).length;
  m.source = kSilence;
  m.colouring = {0.0f, Place::none};
  if (!m.inside) {
    c.serial = -1;
    c.phoneme = -1;
    return;
  }
  const Phone &p = window.at(current);
  m.source = phone_source(p, t, voice);
  m.colouring = phone_colouring(p, t);
  const int64_t fade = static_cast<int64_t>(kCrossfadeMs * m.ms);
  const int64_t end = p.start + p.length;
  const KindRow &kind = kind_row(kPhonemes[p.phoneme].kind);
  const auto colour_towards = [&](const Colouring &other, float w_other) {
    if (m.colouring.amount == 0.0f)
      m.colouring.place = other.place;
    m.colouring.amount = mix(m.colouring.amount, other.amount, w_other);
  };
  if (t < p.start + fade) {
    Source prev = kSilence;
    Colouring prev_colour = {0.0f, m.colouring.place};
    if (current > window.first) {
      const Phone &q = window.at(current - 1);
      if (q.start + q.length == p.start) {
        prev = phone_source(q, p.start - 1, voice);
        prev_colour = phone_colouring(q, p.start - 1);
      }
    }
    const float w = 0.5f + 0.5f * static_cast<float>(t - p.start) / fade;
    m.source = blend(prev, m.source, w);
    colour_towards(prev_colour, 1.0f - w);
  } else if (t >= end - fade && !kind.releases) {
    // (A stop's closure holds to its release, which starts what follows.)
    Source next = kSilence;
    Colouring next_colour = {0.0f, m.colouring.place};
    if (current + 1 < window.end && window.at(current + 1).start == end) {
      next = phone_source(window.at(current + 1), end, voice);
      next_colour = phone_colouring(window.at(current + 1), end);
    }
    const float w = 0.5f - 0.5f * static_cast<float>(end - t) / fade;
    m.source = blend(m.source, next, w);
    colour_towards(next_colour, w);
  }
  // Voicing dies away at the end of a phrase and builds up at its start
  // rather than switching, as a talker's does.
  if (kind.sonorant && (p.flags & kBeforeSilence)) {
    const float w =
        smoothstep(static_cast<float>(end - t) / (kPhraseOffsetMs * m.ms));
    m.source.voicing *= w;
    m.source.aspiration *= w;
  }
  if (kind.sonorant && (p.flags & kAfterSilence)) {
    const float w =
        smoothstep(static_cast<float>(t - p.start) / (kPhraseOnsetMs * m.ms));
    m.source.voicing *= w;
    m.source.aspiration *= w;
  }
  c.serial = static_cast<int64_t>(p.serial);
  c.phoneme = p.phoneme;
}

// Where the tongue body closes for a velar: where it is highest for the
// vowels around.
float velar_section(const float *log_d) {
  float least = log_d[13], section = 13.0f;
  for (int k = 14; k <= 19; ++k)
    if (log_d[k] < least) {
      least = log_d[k];
      section = static_cast<float>(k);
    }
  return section;
}

// A consonant's pull on the formants: towards its loci, as far as its
// gesture is formed.
void pull_formants(const PlaceRow &row, float a, Moment &m) {
  if (a <= m.locus_weight)
    return;
  m.locus_weight = a;
  m.locus_f[0] = kClosureF1Hz < m.vowel_f[0] ? kClosureF1Hz : m.vowel_f[0];
  m.locus_f[1] = row.f2_slope * m.vowel_f[1] + row.f2_hz;
  m.locus_f[2] = row.f3_slope * m.vowel_f[2] + row.f3_hz;
}

// A stop's or affricate's release: a burst while the constriction is still
// narrow, coloured by its place, then aspiration for a voiceless stop until
// voicing starts.
void release(const Phone &p, int64_t t, int64_t release_at,
             const VoiceSetup &voice, Moment &m) {
  const PhonemeInfo &info = kPhonemes[p.phoneme];
  const PlaceRow &row = place_row(info.place);
  const float since = static_cast<float>(t - release_at) / m.ms;
  const float decay = expf(-since / row.burst_ms);
  const float burst =
      db(row.burst_db + (info.voiced ? kVoicedFricationDb : 0.0f) +
         ((p.flags & kBeforeSilence) ? kFinalReleaseDb : 0.0f)) *
      voice.frication_gain[static_cast<int>(info.place)] * decay;
  if (burst > m.source.breathiness)
    m.source.breathiness = burst;
  if (row.colour != Colour::flat && decay > m.colouring.amount)
    m.colouring = {decay, info.place};
  const int64_t fade = static_cast<int64_t>(kCrossfadeMs * m.ms);
  if (p.aspiration > 0 && t < release_at + p.aspiration + fade) {
    const float voicing_onset =
        smoothstep(static_cast<float>(t - (release_at + p.aspiration)) /
                   static_cast<float>(fade));
    m.source.voicing *= voicing_onset;
    const float aspiration =
        kStopAspiration * (1.0f - voicing_onset) *
        ((p.flags & kBeforeSilence) ? db(kFinalReleaseDb) : 1.0f);
    if (aspiration > m.source.aspiration)
      m.source.aspiration = aspiration;
    if (m.source.breathiness < kVowelBreathiness)
      m.source.breathiness = kVowelBreathiness;
  }
}

// Step 3: consonant gestures, stop releases and the velum, from every phone
// near enough to reach this moment.
void gestures(const PhoneWindow &window, uint64_t current, int64_t t,
              const VoiceSetup &voice, Moment &m) {
  m.velum = m.nasal_share = m.constricted = m.locus_weight = 0.0f;
  m.voice_bar = 0.0f;
  const auto bar = [&m](float level) {
    if (level > m.voice_bar)
      m.voice_bar = level;
  };
  const float ms = m.ms;
  const uint64_t g_lo =
      current >= window.first + 3 ? current - 3 : window.first;
  const uint64_t g_hi = current + 4 < window.end ? current + 4 : window.end;
  for (uint64_t i = g_lo; i < g_hi; ++i) {
    const Phone &p = window.at(i);
    const PhonemeInfo &info = kPhonemes[p.phoneme];
    const int64_t s = p.start, e = p.start + p.length;
    const PlaceRow &row = place_row(info.place);
    const KindRow &kind = kind_row(info.kind);
    const float section =
        info.place == Place::velar ? velar_section(m.log_d) : row.section;
    const bool after_silence = (p.flags & kAfterSilence) != 0;
    switch (info.kind) {
    case Kind::stop:
    case Kind::nasal:
    case Kind::affricate: {
      const float in = after_silence ? 0.0f : kind.in_ms * ms;
      const float out = row.release_ms * ms;
      int64_t release_at = e;
      const float a = activation(t, s, e, in, out);
      float target = kClosure;
      if (info.kind == Kind::affricate) {
        release_at = affricate_release(p);
        if (t > release_at)
          target = expf(mix(logf(kClosure), logf(row.fricative_cm),
                            smoothstep(static_cast<float>(t - release_at) /
                                       (kAffricateOpeningMs * ms))));
        if (info.place == Place::postalveolar)
          constrict(m.log_d, 24.0f, 1.0f, 1.0f, a);
      }
      constrict(m.log_d, section, row.spread, target, a);
      if (a > m.constricted)
        m.constricted = a;
      pull_formants(row, a, m);
      if (info.kind == Kind::nasal) {
        const float v =
            kVelumOpen * activation(t, s, e,
                                    after_silence ? 0.0f : kVelumLeadMs * ms,
                                    kVelumLagMs * ms);
        if (v > m.velum)
          m.velum = v;
        // The murmur's level holds through the release: the opening
        // mouth, still coupled to the nose, came out 10-15 dB over the
        // vowel when the oral level took over after 10 ms.
        const float share =
            activation(t, s, e, kNasalShareMs * ms, row.release_ms * ms);
        if (share > m.nasal_share)
          m.nasal_share = share;
      } else if (t >= release_at) {
        release(p, t, release_at, voice, m);
      }
      if (info.voiced && info.kind != Kind::nasal) {
        float level = db(kStopBarDb) *
                      activation(t, s, release_at, in, kCrossfadeMs * ms);
        if (after_silence)
          level = 0.0f;
        if (info.kind == Kind::affricate && t > release_at)
          level = db(kFricativeBarDb) *
                  activation(t, release_at, e, 0.0f,
                             kind_row(Kind::fricative).out_ms * ms);
        bar(level);
      }
      break;
    }
    case Kind::fricative: {
      const float a = activation(t, s, e, kind.in_ms * ms, kind.out_ms * ms);
      constrict(m.log_d, section, row.spread, row.fricative_cm, a);
      if (a > m.constricted)
        m.constricted = a;
      pull_formants(row, a, m);
      if (info.place == Place::postalveolar)
        constrict(m.log_d, 24.0f, 1.0f, 1.0f,
                  activation(t, s, e, kRoundingMs * ms, kRoundingMs * ms));
      if (info.voiced)
        bar(db(kFricativeBarDb) * a);
      break;
    }
    case Kind::flap:
      constrict(m.log_d, section, row.spread, kFlapOpeningCm,
                activation(t, s, e, kind.in_ms * ms, kind.out_ms * ms));
      break;
    case Kind::liquid:
    case Kind::glide:
      if (const ApproximantRow *a = approximant_row(info))
        constrict(m.log_d, a->section, a->spread, a->opening_cm,
                  activation(t, s, e, a->ms * ms, a->ms * ms));
      break;
    case Kind::vowel:
    case Kind::diphthong:
    case Kind::aspirate:
    case Kind::glottal_stop:
    case Kind::pause:
      break;
    }
  }
}

// Step 4: the lips, the nose and the level compensation. The engine
// radiates the pressure wave at the lips, not the flow, so the narrower the
// lips the louder; the source makes up for it by the square of the opening
// (the ratio of areas) down to where the closure takes over. With the velum
// open the tract is no longer the oral one calibrated, and its level moves
// towards the nasalised shape's; while the mouth is shut the murmur's own
// level rules.
float level_db(const VoiceSetup &voice, const Moment &m, Controls &c) {
  const float lips = c.oral[kOral - 1];
  const float closed =
      smoothstep((kLipsOpen - lips) / (kLipsOpen - kLipsClosed));
  c.lip_coeff = mix(kOpenLipCoeff, 1.0f, closed);
  float lip_ratio = (lips > kLipsOpen ? lips : kLipsOpen) / m.base_lips;
  if (lip_ratio > 1.0f)
    lip_ratio = 1.0f;
  const float oral_db =
      mix(voice.shape_gain_db[m.shape_a], voice.shape_gain_db[m.shape_b], m.w) +
      40.0f * log10f(lip_ratio);
  const float nasalised_db = mix(voice.nasalised_gain_db[m.shape_a],
                                 voice.nasalised_gain_db[m.shape_b], m.w);
  float gain_db = oral_db;
  // The coupling is far from linear in the opening: with the velum a fifth
  // open the nasalised level is all but reached (measured on "knee": at
  // 0.3 open the vowel onset was still 9 dB over its vowel).
  if (nasalised_db < oral_db)
    gain_db = mix(oral_db, nasalised_db, clamp01(m.velum / kCoupledVelum));
  return mix(gain_db, voice.nasal_gain_db, m.nasal_share);
}

// Step 5: what the output stage does: the formants it sharpens (the vowel's,
// drawn to the consonant's loci while one forms or releases) and the colour
// of the noise.
void output_frame(const Moment &m, Controls &c) {
  for (int i = 0; i < 3; ++i)
    c.formant[i] = mix(m.vowel_f[i], m.locus_f[i], m.locus_weight) / 48000.0f;
  // Sharpening gives way at the closure itself, where the tract's own
  // resonances are the murmur's or nothing.
  c.sharpen = 1.0f - m.constricted * m.constricted;
  const PlaceRow &row = place_row(m.colouring.place);
  c.colour_amount = m.colouring.amount;
  c.colour = row.colour;
  c.colour_q = row.colour_q;
  const float hz =
      row.colour_hz > 0.0f ? row.colour_hz : c.formant[1] * 48000.0f;
  c.colour_corner = (hz > 1200.0f ? hz : 1200.0f) / 48000.0f;
}

} // namespace

float frication_level(Place place) { return db(place_row(place).frication_db); }

const char *frication_calibrated_by(Place place) {
  return place_row(place).calibrated_by;
}

Source vowel_source() { return {1.0f, kBreathyShare, kVowelBreathiness}; }

void source_to_engine(const Source &s, float gain, Controls &c) {
  // The voiced part of the engine's excitation is amp x mix^2 (the pulse is
  // scaled by mix before and after its DC blocker), the aspiration
  // amp x (1 - mix) x breathiness.
  const float x = s.voicing * gain;
  const float b = s.breathiness > 0.0f ? s.breathiness : 0.2f;
  const float y = s.aspiration * gain / b;
  if (y <= 0.0f) {
    c.mix = 1.0f;
    c.amp = x > 0.0f ? x : 0.0f;
  } else if (x <= 0.0f) {
    c.mix = 0.0f;
    c.amp = y;
  } else {
    const float r = x / y;
    c.mix = 0.5f * (sqrtf(r * r + 4.0f * r) - r);
    c.amp = x / (c.mix * c.mix);
  }
  c.breathiness = s.breathiness;
}

void articulate(const PhoneWindow &window, uint64_t current, int64_t t,
                const VoiceSetup &voice, Controls &c) {
  // Every field starts at zero: a step that has nothing to say for a phone
  // (no consonant near, so no loci) leaves its weight and values at zero
  // rather than whatever the stack held, which a zero weight times garbage
  // can still turn into NaN.
  Moment m{};
  m.ms = voice.rate / 1000.0f;
  vowel_frame(window, current, t, voice, m);
  phone_frame(window, current, t, voice, m, c);
  gestures(window, current, t, voice, m);
  for (int k = 0; k < kOral; ++k)
    c.oral[k] = expf(m.log_d[k]);
  for (int k = 0; k < kNasal; ++k)
    c.nasal[k] = kNasalProfile[k];
  c.velum = voice.force_velum >= 0.0f ? voice.force_velum : m.velum;
  c.glottal_coeff = 0.75f;
  c.nostril_coeff = -0.7f;
  const float gain_db = level_db(voice, m, c);
  // Pitch: through the phone's start, middle and end.
  if (m.inside) {
    const Phone &p = window.at(current);
    const float x =
        static_cast<float>(t - p.start) / static_cast<float>(p.length);
    c.f0 = x < 0.5f ? mix(p.f0[0], p.f0[1], 2.0f * x)
                    : mix(p.f0[1], p.f0[2], 2.0f * x - 1.0f);
  }
  c.source = m.source;
  output_frame(m, c);
  c.voice_bar = m.voice_bar;
  c.bar_step = c.f0 / voice.rate;
  c.murmur = m.nasal_share;
  source_to_engine(m.source, powf(10.0f, gain_db / 20.0f), c);
}

} // namespace tw::speech
