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
constexpr float kMaxVowelTransitionMs = 150.0f;
constexpr float kVelumLeadMs = 80.0f, kVelumLagMs = 40.0f;
constexpr float kVelumOpen = 1.0f;

// Source levels (before level compensation).
constexpr float kBreathyShare = 0.156f; // aspiration per unit of voicing
constexpr float kVowelBreathiness = 0.05f;
constexpr float kSonorantBreathiness = 0.05f;
constexpr float kClosedBreathiness = 0.02f;
constexpr float kUnstressedVoicing = 0.8f;
constexpr float kVoiceBar = 0.15f;
constexpr float kVoicedFricativeVoicing = 0.5f;
constexpr float kAspiration = 0.4f;
constexpr float kBurstMs = 5.0f;

// Lip openings (cm) between which the lips go from open to closed: the lip
// reflection moves from the open-end value to +1 (a closed end), so that a
// closure silences the mouth while the nose still sounds.
constexpr float kLipsOpen = 0.45f, kLipsClosed = 0.05f;
constexpr float kOpenLipCoeff = -0.85f;

// Where each place constricts the tube (a section index, 24 = lips), how
// far the constriction spreads (sections) and its opening for a closure and
// for a fricative (cm).
struct PlaceShape {
  float section, spread, fricative;
};
constexpr PlaceShape kPlaces[] = {
    {0.0f, 1.0f, 1.0f},   // none
    {23.8f, 1.2f, 0.15f}, // bilabial
    {24.0f, 0.8f, 0.12f}, // labiodental
    {23.0f, 1.0f, 0.18f}, // dental
    {21.5f, 1.5f, 0.12f}, // alveolar
    {20.5f, 1.5f, 0.16f}, // postalveolar
    {18.0f, 1.8f, 0.4f},  // palatal
    {15.0f, 2.0f, 0.2f},  // velar (moved towards the tongue's highest point)
    {0.0f, 1.0f, 1.0f},   // glottal
};
constexpr float kClosure = 0.02f;
// Level of each place's voiceless fricatives relative to a vowel (dB; /s/
// and /sh/ strong, /f/ and /th/ weak, as in speech), and the peak of its
// stop bursts relative to that.
constexpr float kFricationDb[] = {0.0f,  -18.0f, -10.0f, -20.0f, 6.0f,
                                  -8.0f, -12.0f, -10.0f, 0.0f};
constexpr float kBurstDb[] = {0.0f, 6.0f, 6.0f, 6.0f, 6.0f,
                              6.0f, 6.0f, 6.0f, 0.0f};
constexpr float kVoicedFricationDb = -4.0f;
// High-pass corners for /s z/ and /sh zh/ (Hz, adult male at 48 kHz), and
// how much of a voiced sibilant is high-passed (its voicing is low).
constexpr float kSibilantHz[] = {3500.0f, 2000.0f};
constexpr float kVoicedSibilance = 0.5f;

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
    if (edge > static_cast<int64_t>(30.0f * ms))
      edge = static_cast<int64_t>(30.0f * ms);
    // The CMU dictionary writes the schwa as an unstressed AH.
    const Shape shape =
        info.shape == kAH && p.stress == kUnstressed ? kAX : info.shape;
    out[0] = {s + edge, e - edge, shape};
    return 1;
  }
  case Kind::diphthong:
    out[0] = {s + length * 15 / 100, s + length * 35 / 100, info.shape};
    out[1] = {e - length / 10, e - length / 10, info.offglide};
    return 2;
  case Kind::liquid:
  case Kind::glide:
    out[0] = {s + length / 4, s + length * 6 / 10, info.shape};
    return 1;
  default:
    return 0;
  }
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

// The source a phone asks for while it lasts (stop releases come on top).
Source phone_source(const Phone &p, int64_t t, const VoiceSetup &voice) {
  const PhonemeInfo &info = kPhonemes[p.phoneme];
  const int place = static_cast<int>(info.place);
  const float fric =
      db(kFricationDb[place] + (info.voiced ? kVoicedFricationDb : 0.0f)) *
      voice.frication_gain[place];
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
    return {0.7f, 0.0f, kSonorantBreathiness};
  case Kind::stop:
    return {info.voiced ? kVoiceBar : 0.0f, 0.0f, kClosedBreathiness};
  case Kind::affricate: {
    const bool released = t >= p.start + p.length * 45 / 100;
    if (!released)
      return {info.voiced ? kVoiceBar : 0.0f, 0.0f, kClosedBreathiness};
    return {info.voiced ? kVoicedFricativeVoicing : 0.0f, 0.0f, fric};
  }
  case Kind::fricative:
    return {info.voiced ? kVoicedFricativeVoicing : 0.0f, 0.0f, fric};
  case Kind::aspirate:
    return {0.0f, kAspiration, kVowelBreathiness};
  case Kind::glottal_stop:
  case Kind::pause:
    break;
  }
  return {0.0f, 0.0f, kClosedBreathiness};
}

// Sibilants: how much of the output to high-pass, and from where (in Hz of
// the adult male tract at 48 kHz).
struct Sibilance {
  float amount, cutoff_hz;
};
Sibilance phone_sibilance(const Phone &p, int64_t t) {
  const PhonemeInfo &info = kPhonemes[p.phoneme];
  const bool sibilant_place =
      info.place == Place::alveolar || info.place == Place::postalveolar;
  const float cutoff =
      info.place == Place::alveolar ? kSibilantHz[0] : kSibilantHz[1];
  if (!sibilant_place)
    return {0.0f, cutoff};
  const float voiced = info.voiced ? kVoicedSibilance : 1.0f;
  if (info.kind == Kind::fricative)
    return {voiced, cutoff};
  if (info.kind == Kind::affricate && t >= p.start + p.length * 45 / 100)
    return {voiced, cutoff};
  return {0.0f, cutoff};
}

bool info_releases(const Phone &p) {
  const Kind k = kPhonemes[p.phoneme].kind;
  return k == Kind::stop || k == Kind::affricate;
}

Source blend(const Source &a, const Source &b, float w) {
  return {mix(a.voicing, b.voicing, w), mix(a.aspiration, b.aspiration, w),
          mix(a.breathiness, b.breathiness, w)};
}

constexpr Source kSilence = {0.0f, 0.0f, kClosedBreathiness};

} // namespace

float frication_level(Place place) {
  return db(kFricationDb[static_cast<int>(place)]);
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
  const float ms = voice.rate / 1000.0f;
  const uint64_t lo =
      current >= window.first + 12 ? current - 12 : window.first;
  const uint64_t hi = current + 12 < window.end ? current + 12 : window.end;

  // The vowel the tract is in or moving between: the last key begun and the
  // next one.
  Key keys[2 * 24 + 2];
  int count = 0;
  for (uint64_t i = lo; i < hi; ++i)
    count += keys_of(window.at(i), ms, keys + count);
  int before = -1;
  for (int k = 0; k < count; ++k)
    if (keys[k].begin <= t)
      before = k;
  const int after = before + 1 < count ? before + 1 : -1;
  int8_t shape_a = kAX, shape_b = kAX;
  float w = 0.0f;
  if (before < 0 && after < 0) {
    // No vowel anywhere near: the neutral tract.
  } else if (before < 0) {
    shape_a = shape_b = keys[after].shape;
  } else {
    shape_a = shape_b = keys[before].shape;
    if (after >= 0 && t > keys[before].end) {
      shape_b = keys[after].shape;
      int64_t from =
          keys[after].begin - static_cast<int64_t>(kMaxVowelTransitionMs * ms);
      if (from < keys[before].end)
        from = keys[before].end;
      const int64_t span = keys[after].begin - from;
      w = span > 0 ? smoothstep(static_cast<float>(t - from) /
                                static_cast<float>(span))
                   : 1.0f;
    }
  }
  float log_d[kOral];
  for (int k = 0; k < kOral; ++k)
    log_d[k] = mix(voice.log_shape[shape_a][k], voice.log_shape[shape_b][k], w);
  const float base_gain_db =
      mix(voice.shape_gain_db[shape_a], voice.shape_gain_db[shape_b], w);
  const float base_lips = expf(log_d[kOral - 1]);
  for (int i = 0; i < 3; ++i)
    c.formant[i] = mix(kVowelShapes[shape_a].target_hz[i],
                       kVowelShapes[shape_b].target_hz[i], w) /
                   48000.0f;
  // A constriction moves the formants away from the vowel's: sharpening
  // gives way to it.
  float constricted = 0.0f;

  // The phone being spoken, and the source it asks for, crossfaded with its
  // neighbours around the boundaries.
  const bool inside = current < window.end && t >= window.at(current).start &&
                      t < window.at(current).start + window.at(current).length;
  Source source = kSilence;
  Sibilance sibilance = {0.0f, kSibilantHz[0]};
  const int64_t fade = static_cast<int64_t>(kCrossfadeMs * ms);
  if (inside) {
    const Phone &p = window.at(current);
    source = phone_source(p, t, voice);
    sibilance = phone_sibilance(p, t);
    const int64_t end = p.start + p.length;
    if (t < p.start + fade) {
      Source prev = kSilence;
      if (current > window.first) {
        const Phone &q = window.at(current - 1);
        if (q.start + q.length == p.start)
          prev = phone_source(q, p.start - 1, voice);
      }
      const float w = 0.5f + 0.5f * static_cast<float>(t - p.start) / fade;
      source = blend(prev, source, w);
      float prev_amount = 0.0f;
      if (current > window.first &&
          window.at(current - 1).start + window.at(current - 1).length ==
              p.start) {
        const Sibilance q =
            phone_sibilance(window.at(current - 1), p.start - 1);
        prev_amount = q.amount;
        if (sibilance.amount == 0.0f)
          sibilance.cutoff_hz = q.cutoff_hz;
      }
      sibilance.amount = mix(prev_amount, sibilance.amount, w);
    } else if (t >= end - fade && info_releases(p) == false) {
      // (A stop's closure holds to its release, which starts what follows.)
      Source next = kSilence;
      if (current + 1 < window.end && window.at(current + 1).start == end)
        next = phone_source(window.at(current + 1), end, voice);
      const float w = 0.5f - 0.5f * static_cast<float>(end - t) / fade;
      source = blend(source, next, w);
      float next_amount = 0.0f;
      if (current + 1 < window.end && window.at(current + 1).start == end) {
        const Sibilance q = phone_sibilance(window.at(current + 1), end);
        next_amount = q.amount;
        if (sibilance.amount == 0.0f)
          sibilance.cutoff_hz = q.cutoff_hz;
      }
      sibilance.amount = mix(sibilance.amount, next_amount, w);
    }
    // Voicing dies away at the end of a phrase and builds up at its start
    // rather than switching, as a talker's does.
    const Kind kind = kPhonemes[p.phoneme].kind;
    const bool sonorant = kind == Kind::vowel || kind == Kind::diphthong ||
                          kind == Kind::nasal || kind == Kind::liquid ||
                          kind == Kind::glide;
    if (sonorant && (p.flags & kBeforeSilence)) {
      const float w =
          smoothstep(static_cast<float>(end - t) / (kPhraseOffsetMs * ms));
      source.voicing *= w;
      source.aspiration *= w;
    }
    if (sonorant && (p.flags & kAfterSilence)) {
      const float w =
          smoothstep(static_cast<float>(t - p.start) / (kPhraseOnsetMs * ms));
      source.voicing *= w;
      source.aspiration *= w;
    }
    c.serial = static_cast<int64_t>(p.serial);
    c.phoneme = p.phoneme;
  } else {
    c.serial = -1;
    c.phoneme = -1;
  }

  // Consonant gestures, stop releases and the velum, from every phone near
  // enough to reach this moment.
  float velum = 0.0f;
  float nasal_share = 0.0f;
  const uint64_t g_lo =
      current >= window.first + 3 ? current - 3 : window.first;
  const uint64_t g_hi = current + 4 < window.end ? current + 4 : window.end;
  for (uint64_t i = g_lo; i < g_hi; ++i) {
    const Phone &p = window.at(i);
    const PhonemeInfo &info = kPhonemes[p.phoneme];
    const int64_t s = p.start, e = p.start + p.length;
    const PlaceShape &place = kPlaces[static_cast<int>(info.place)];
    float section = place.section;
    if (info.place == Place::velar) {
      // The tongue body closes where it is highest for the vowels around.
      float least = log_d[13];
      section = 13.0f;
      for (int k = 14; k <= 19; ++k)
        if (log_d[k] < least) {
          least = log_d[k];
          section = static_cast<float>(k);
        }
    }
    switch (info.kind) {
    case Kind::stop:
    case Kind::nasal:
    case Kind::affricate: {
      const bool after_silence = (p.flags & kAfterSilence) != 0;
      const float in = after_silence ? 0.0f : 18.0f * ms;
      const float out = (info.place == Place::velar ? 35.0f : 25.0f) * ms;
      int64_t release = e;
      float a = activation(t, s, e, in, out);
      float target = kClosure;
      if (info.kind == Kind::affricate) {
        release = s + p.length * 45 / 100;
        if (t > release)
          target = expf(
              mix(logf(kClosure), logf(place.fricative),
                  smoothstep(static_cast<float>(t - release) / (10.0f * ms))));
        if (info.place == Place::postalveolar)
          constrict(log_d, 24.0f, 1.0f, 1.0f, a);
      }
      constrict(log_d, section, place.spread, target, a);
      if (a > constricted)
        constricted = a;
      if (info.kind == Kind::nasal) {
        const float v =
            kVelumOpen * activation(t, s, e,
                                    after_silence ? 0.0f : kVelumLeadMs * ms,
                                    kVelumLagMs * ms);
        if (v > velum)
          velum = v;
        const float inside_nasal = activation(t, s, e, 10.0f * ms, 10.0f * ms);
        if (inside_nasal > nasal_share)
          nasal_share = inside_nasal;
        break;
      }
      // The release: a burst of frication while the constriction is still
      // narrow, then aspiration for a voiceless stop until voicing starts.
      if (t >= release) {
        const float since = static_cast<float>(t - release) / ms;
        const int where = static_cast<int>(info.place);
        const float burst = db(kFricationDb[where] + kBurstDb[where] +
                               (info.voiced ? kVoicedFricationDb : 0.0f)) *
                            voice.frication_gain[where] *
                            expf(-since / kBurstMs);
        if (burst > source.breathiness)
          source.breathiness = burst;
        if (info.place == Place::alveolar ||
            info.place == Place::postalveolar) {
          const float share = expf(-since / kBurstMs);
          if (share > sibilance.amount) {
            sibilance.amount = share;
            sibilance.cutoff_hz =
                info.place == Place::alveolar ? kSibilantHz[0] : kSibilantHz[1];
          }
        }
        if (p.aspiration > 0 && t < release + p.aspiration + fade) {
          const float voicing_onset =
              smoothstep(static_cast<float>(t - (release + p.aspiration)) /
                         static_cast<float>(fade));
          source.voicing *= voicing_onset;
          const float aspiration = kAspiration * (1.0f - voicing_onset);
          if (aspiration > source.aspiration)
            source.aspiration = aspiration;
          if (source.breathiness < kVowelBreathiness)
            source.breathiness = kVowelBreathiness;
        }
      }
      break;
    }
    case Kind::fricative: {
      const float a = activation(t, s, e, 20.0f * ms, 20.0f * ms);
      constrict(log_d, section, place.spread, place.fricative, a);
      if (a > constricted)
        constricted = a;
      if (info.place == Place::postalveolar)
        constrict(log_d, 24.0f, 1.0f, 1.0f,
                  activation(t, s, e, 30.0f * ms, 30.0f * ms));
      break;
    }
    case Kind::flap:
      constrict(log_d, section, place.spread, 0.05f,
                activation(t, s, e, 10.0f * ms, 10.0f * ms));
      break;
    case Kind::liquid:
      if (info.place == Place::alveolar) // L
        constrict(log_d, 21.5f, 1.0f, 0.45f,
                  activation(t, s, e, 30.0f * ms, 30.0f * ms));
      else // R
        constrict(log_d, 24.0f, 1.0f, 0.8f,
                  activation(t, s, e, 40.0f * ms, 40.0f * ms));
      break;
    case Kind::glide:
      if (info.place == Place::bilabial) // W
        constrict(log_d, 24.0f, 1.2f, 0.35f,
                  activation(t, s, e, 40.0f * ms, 40.0f * ms));
      else // Y
        constrict(log_d, 18.0f, 1.8f, 0.4f,
                  activation(t, s, e, 40.0f * ms, 40.0f * ms));
      break;
    default:
      break;
    }
  }

  for (int k = 0; k < kOral; ++k)
    c.oral[k] = expf(log_d[k]);
  for (int k = 0; k < kNasal; ++k)
    c.nasal[k] = kNasalProfile[k];
  c.velum = velum;
  c.glottal_coeff = 0.75f;
  c.nostril_coeff = -0.7f;

  // Lips: between open and closed the reflection goes to +1, and the
  // narrower the lips the higher the pressure they radiate (the engine
  // radiates the pressure wave, not the flow), which the source makes up
  // for: by the square of the opening (the ratio of areas) down to where the
  // closure takes over.
  const float lips = c.oral[kOral - 1];
  const float closed =
      smoothstep((kLipsOpen - lips) / (kLipsOpen - kLipsClosed));
  c.lip_coeff = mix(kOpenLipCoeff, 1.0f, closed);
  float lip_ratio = (lips > kLipsOpen ? lips : kLipsOpen) / base_lips;
  if (lip_ratio > 1.0f)
    lip_ratio = 1.0f;
  float gain_db = base_gain_db + 40.0f * log10f(lip_ratio);
  // Nasals sound through the nose, whatever the lips do.
  gain_db = mix(gain_db, voice.nasal_gain_db, nasal_share);

  // Pitch: through the phone's start, middle and end.
  if (inside) {
    const Phone &p = window.at(current);
    const float x =
        static_cast<float>(t - p.start) / static_cast<float>(p.length);
    c.f0 = x < 0.5f ? mix(p.f0[0], p.f0[1], 2.0f * x)
                    : mix(p.f0[1], p.f0[2], 2.0f * x - 1.0f);
  }
  c.source = source;
  c.sharpen = 1.0f - constricted;
  c.sibilance = sibilance.amount;
  c.sibilant_cutoff = sibilance.cutoff_hz / 48000.0f;
  source_to_engine(source, powf(10.0f, gain_db / 20.0f), c);
}

} // namespace tw::speech
