// The speaker: the C API of tractwave_speech.h. Queueing parses and plans on
// the host's thread; rendering turns the planned phones into engine controls
// every sub-block and runs one engine voice, resampled to the output rate
// when the voice's tract length asks for another engine rate.
#include "tractwave_speech.h"

#include "articulate.h"
#include "output_stage.h"
#include "phonemes.h"
#include "plan.h"
#include "resampler.h"
#include "sing.h"
#include "speaker_controls.h"

#include "tractwave_voices.h"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <math.h>
#include <new>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

using namespace tw::speech;

namespace {

struct VoiceKind {
  float f0;          // speaking pitch, Hz
  float tract_scale; // formants relative to the fitted (adult male) tract
};
constexpr VoiceKind kVoiceKinds[] = {
    {110.0f, 1.0f},  // adult male
    {200.0f, 1.17f}, // adult female
    {240.0f, 1.3f},  // child
};
// The rate the vowel shapes were fitted at.
constexpr float kFittedRate = 48000.0f;

// Nasal murmurs are brought to 1 dB below the vowels' level (8 left the
// murmur 11-12 dB under its vowel in words, where espeak-ng's and flite's
// are within 9 dB; at 4 the rhyme test still heard /m/ as /b/).
constexpr float kNasalBelowVowelDb = 1.0f;
// After the last phone the tube rings on for a while before the speaker
// counts as silent and stops running the engine.
constexpr float kTailMs = 120.0f;
// Phones kept behind the one being spoken: the articulation looks back at
// them for the vowel the tract comes from.
constexpr uint64_t kLookBehind = 12;

constexpr int kMaxSubBlock = 64;

// The filters of the output stage and the resampler can lift a loud stretch
// (a burst into a sibilant, a vowel's peak on a sharpened formant) past what
// the engine's own saturation allowed. Above a knee the output bends
// smoothly towards 0.95, so that it keeps within the engine's bounds; below,
// it is untouched.
inline float limit(float x) {
  constexpr float kKnee = 0.6f, kRoom = 0.95f - kKnee;
  const float a = std::fabs(x);
  if (!(a > kKnee))
    return x;
  return std::copysign(kKnee + kRoom * std::tanh((a - kKnee) / kRoom), x);
}

} // namespace

struct tractwave_speaker {
  // Fixed at creation.
  float out_rate = 0.0f;
  float f0 = 0.0f;
  int sub_block = 0;
  VoiceSetup setup{};
  void *voice_memory = nullptr;
  void *voice = nullptr;
  bool resampling = false;
  Resampler resampler;

  // The queue: phones [tail, head) in slots; the renderer works at current.
  Phone *slots = nullptr;
  uint32_t capacity = 0;       // slots
  uint32_t queue_capacity = 0; // phones not yet spoken, at most
  std::atomic<uint64_t> head{0}, tail{0}, current_published{0};
  std::atomic<int64_t> position{0}; // the renderer's clock, for planning

  // Sung regions [region_tail, region_head) in their own ring, made when
  // the speaker first sings (a speaker that only speaks never needs it).
  std::atomic<SungRegion *> regions{nullptr};
  uint32_t region_capacity = 0;
  std::atomic<uint64_t> region_head{0}, region_tail{0};

  // Queueing side.
  PlannerState planner;
  float speed = 1.0f, pitch = 1.0f;
  int error_offset = -1;
  // The phrase being added note by note, its syllables' tokens, and how it
  // will be sung.
  NoteInput *notes = nullptr;
  int note_count = 0, note_room = 0;
  Token *note_tokens = nullptr;
  int token_count = 0, token_room = 0;
  float vibrato_hz = 5.5f, vibrato_cents = 40.0f, vibrato_delay = 0.25f;
  float portamento = 0.06f;

  // Rendering side.
  int64_t t = 0;        // engine samples rendered
  uint64_t current = 0; // the phone at t, or the next one
  // End of the last phone seen; far in the past before anything is said.
  int64_t last_end = INT64_MIN / 2;
  int64_t silent_from = 0; // where the sound stopped (or INT64_MAX)
  Controls controls{};
  OutputStage output;
  int64_t frame_start = 0;
  float block[kMaxSubBlock];
  int block_length = 0, block_used = 0;
  SungState sung;
};

namespace {

void *aligned(void *memory, int alignment) {
  const uintptr_t a = static_cast<uintptr_t>(alignment);
  return reinterpret_cast<void *>(
      (reinterpret_cast<uintptr_t>(memory) + a - 1) & ~(a - 1));
}

// One sub-block of the engine at the speaker's clock; the phones it sees are
// [tail, head).
void render_sub_block(tractwave_speaker *s, float *out, int n) {
  const uint64_t end = s->head.load(std::memory_order_acquire);
  PhoneWindow window{s->slots, s->capacity,
                     s->tail.load(std::memory_order_relaxed), end};
  const int64_t middle = s->t + n / 2;
  while (s->current < end) {
    const Phone &p = window.at(s->current);
    if (middle < p.start + p.length)
      break;
    if (p.start + p.length > s->last_end)
      s->last_end = p.start + p.length;
    ++s->current;
  }
  if (s->current < end) {
    const Phone &p = window.at(s->current);
    if (p.start + p.length > s->last_end && middle >= p.start)
      s->last_end = p.start + p.length;
  }
  // The head first: a ring seen with regions in it was made before them.
  const uint64_t region_end = s->region_head.load(std::memory_order_acquire);
  const RegionWindow regions{
      s->regions.load(std::memory_order_acquire), s->region_capacity,
      s->region_tail.load(std::memory_order_relaxed), region_end};
  const bool sounding =
      s->current < end ||
      middle <
          s->last_end + static_cast<int64_t>(kTailMs * s->setup.rate / 1000.0f);
  s->frame_start = s->t;
  if (!sounding) {
    for (int i = 0; i < n; ++i)
      out[i] = 0.0f;
    s->controls.serial = -1;
    s->controls.phoneme = -1;
    s->controls.amp = 0.0f;
    s->controls.sounding = false;
    s->output.reset();
    if (s->silent_from == INT64_MAX)
      s->silent_from = s->t;
    sung_controls(regions, s->sung, false, middle, n, s->setup.rate,
                  s->controls);
  } else {
    s->silent_from = INT64_MAX;
    articulate(window, s->current, middle, s->setup, s->controls);
    sung_controls(regions, s->sung,
                  s->current < end && (window.at(s->current).flags & kSung),
                  middle, n, s->setup.rate, s->controls);
    s->controls.sounding = true;
    const Controls &c = s->controls;
    tractwave_voice_render_geometry(s->voice, n, c.f0, c.amp, c.mix,
                                    c.breathiness, c.oral, c.nasal, c.velum,
                                    c.glottal_coeff, c.lip_coeff,
                                    c.nostril_coeff, out, s->setup.rate);
    s->output.run(s->controls, out, n);
  }
  s->t += n;
  // Phones far enough behind go back to the queueing side, and all of them
  // once the speaker has fallen silent.
  const uint64_t keep = sounding ? kLookBehind : 0;
  if (s->current > window.first + keep)
    s->tail.store(s->current - keep, std::memory_order_release);
  s->current_published.store(s->current, std::memory_order_relaxed);
  if (s->sung.current > regions.first)
    s->region_tail.store(s->sung.current, std::memory_order_release);
  s->position.store(s->t, std::memory_order_relaxed);
}

// RMS of a held phone rendered on a fresh voice, over its second half.
float held_level(tractwave_speaker *s, int phoneme, void *voice) {
  Phone p{};
  p.start = 0;
  p.length = static_cast<int32_t>(0.3f * s->setup.rate);
  p.phoneme = static_cast<uint8_t>(phoneme);
  p.stress = kPrimary;
  p.flags = kAfterSilence | kBeforeSilence;
  p.f0[0] = p.f0[1] = p.f0[2] = s->f0;
  const PhoneWindow window{&p, 1, 0, 1};
  tractwave_voice_init(voice);
  Controls c{};
  c.sounding = true;
  OutputStage output;
  float out[kMaxSubBlock];
  double sum = 0.0;
  int64_t counted = 0;
  for (int64_t t = 0; t + s->sub_block <= p.length; t += s->sub_block) {
    articulate(window, 0, t + s->sub_block / 2, s->setup, c);
    tractwave_voice_render_geometry(voice, s->sub_block, c.f0, c.amp, c.mix,
                                    c.breathiness, c.oral, c.nasal, c.velum,
                                    c.glottal_coeff, c.lip_coeff,
                                    c.nostril_coeff, out, s->setup.rate);
    output.run(c, out, s->sub_block);
    if (t >= p.length / 2) {
      for (int i = 0; i < s->sub_block; ++i)
        sum += static_cast<double>(out[i]) * out[i];
      counted += s->sub_block;
    }
  }
  return static_cast<float>(sqrt(sum / (counted > 0 ? counted : 1)));
}

// Levels of the vowel shapes and of a nasal murmur in this voice, measured by
// rendering them, so that the level compensation fits the engine as it is.
void calibrate(tractwave_speaker *s) {
  void *scratch = s->voice; // still fresh: re-initialised afterwards
  const int vowel_of_shape[kShapeCount] = {
      phoneme_id("IY"), phoneme_id("IH"), phoneme_id("EY"), phoneme_id("EH"),
      phoneme_id("AE"), phoneme_id("AA"), phoneme_id("AO"), phoneme_id("OW"),
      phoneme_id("UH"), phoneme_id("UW"), phoneme_id("AH"), phoneme_id("ER"),
      phoneme_id("AX")};
  for (int k = 0; k < kShapeCount; ++k) {
    s->setup.shape_gain_db[k] = 0.0f;
    for (int j = 0; j < kOral; ++j)
      s->setup.log_shape[k][j] = logf(kVowelShapes[k].oral[j]);
  }
  s->setup.nasal_gain_db = 0.0f;
  // A diphthong's phone would glide; the monophthong of the same shape
  // (EY and OW have none) is measured as a held vowel through its onset.
  // Every shape is measured before any gain is set: EY's measure runs into
  // its offglide IH, and with IH's gain already set it would take that
  // gain's opposite as its own (a held, sung EY came out 28 dB low).
  float level[kShapeCount];
  for (int k = 0; k < kShapeCount; ++k)
    level[k] = held_level(s, vowel_of_shape[k], scratch);
  for (int k = 0; k < kShapeCount; ++k)
    s->setup.shape_gain_db[k] =
        level[k] > 0.0f ? 20.0f * log10f(kVowelRms / level[k]) : 0.0f;
  // The same shapes with the velum open.
  s->setup.force_velum = 1.0f;
  for (int k = 0; k < kShapeCount; ++k) {
    const float level = held_level(s, vowel_of_shape[k], scratch);
    s->setup.nasalised_gain_db[k] =
        level > 0.0f
            ? s->setup.shape_gain_db[k] + 20.0f * log10f(kVowelRms / level)
            : s->setup.shape_gain_db[k];
  }
  s->setup.force_velum = -1.0f;
  // Fricatives, with the gains at 1: turbulence is proportional to the
  // breathiness, so the gain that puts each at its level below the vowels
  // follows from one rendering. Each place's noise takes the gain its row
  // names.
  for (float &g : s->setup.frication_gain)
    g = 1.0f;
  float gains[kPlaceCount];
  float measured[kPlaceCount]; // by the measured fricative's place; -1: not yet
  for (float &m : measured)
    m = -1.0f;
  for (int place = 0; place < kPlaceCount; ++place) {
    gains[place] = 1.0f;
    const char *name = frication_calibrated_by(static_cast<Place>(place));
    if (!name)
      continue;
    const int id = phoneme_id(name);
    const int at = static_cast<int>(kPhonemes[id].place);
    if (measured[at] < 0.0f) {
      const float level = held_level(s, id, scratch);
      measured[at] =
          level > 0.0f
              ? kVowelRms * frication_level(kPhonemes[id].place) / level
              : 1.0f;
    }
    gains[place] = measured[at];
  }
  for (int place = 0; place < kPlaceCount; ++place)
    s->setup.frication_gain[place] = gains[place];
  const float murmur = held_level(s, phoneme_id("M"), scratch);
  const float target = kVowelRms * powf(10.0f, -kNasalBelowVowelDb / 20.0f);
  s->setup.nasal_gain_db =
      murmur > 0.0f ? 20.0f * log10f(target / murmur) : 0.0f;
  tractwave_voice_init(s->voice);
}

bool bad_float(float x, float lo, float hi) { return !(x >= lo && x <= hi); }

// Whether `phones` more fit in the queue now (OK), later (QUEUE_FULL) or
// never (TOO_LONG).
int queue_room(const tractwave_speaker *s, uint64_t phones) {
  if (phones > s->queue_capacity)
    return TRACTWAVE_SPEECH_TOO_LONG;
  const uint64_t head = s->head.load(std::memory_order_relaxed);
  const uint64_t tail = s->tail.load(std::memory_order_acquire);
  const uint64_t unspoken =
      head - s->current_published.load(std::memory_order_relaxed);
  if (head - tail + phones > s->capacity ||
      unspoken + phones > s->queue_capacity)
    return TRACTWAVE_SPEECH_QUEUE_FULL;
  return TRACTWAVE_SPEECH_OK;
}

void push_phones(tractwave_speaker *s, const Phone *planned, int phones) {
  const uint64_t head = s->head.load(std::memory_order_relaxed);
  for (int i = 0; i < phones; ++i)
    s->slots[(head + i) % s->capacity] = planned[i];
  s->head.store(head + phones, std::memory_order_release);
}

void clear_notes(tractwave_speaker *s) {
  s->note_count = 0;
  s->token_count = 0;
}

// Grows a queueing-side array to hold `need` items.
template <typename T> bool grow(T *&items, int &room, int need) {
  if (need <= room)
    return true;
  int next = room > 0 ? room : 16;
  while (next < need)
    next = next > 0x3fffffff / 2 ? need : next * 2;
  void *more = realloc(items, sizeof(T) * static_cast<size_t>(next));
  if (!more)
    return false;
  items = static_cast<T *>(more);
  room = next;
  return true;
}

} // namespace

namespace tw::speech {

const Controls &speaker_controls(const tractwave_speaker *s) {
  return s->controls;
}

} // namespace tw::speech

extern "C" {

TRACTWAVE_SPEECH_API tractwave_speaker *
tractwave_speaker_create(int voice, float sample_rate, int capacity) {
  if (voice < TRACTWAVE_SPEECH_MALE || voice > TRACTWAVE_SPEECH_CHILD ||
      bad_float(sample_rate, 8000.0f, 768000.0f) || capacity < 0 ||
      (capacity > 0 && capacity < 16) || capacity > 1048576)
    return nullptr;
  void *memory = malloc(sizeof(tractwave_speaker));
  if (!memory)
    return nullptr;
  tractwave_speaker *s = new (memory) tractwave_speaker;
  const VoiceKind &kind = kVoiceKinds[voice];
  s->out_rate = sample_rate;
  s->f0 = kind.f0;
  s->setup.rate = kFittedRate * kind.tract_scale;
  const int per_ms = static_cast<int>(s->setup.rate / 1000.0f + 0.5f);
  s->sub_block = per_ms < kMaxSubBlock ? per_ms : kMaxSubBlock;
  // Room for the phones the caller asked for and for those the articulation
  // still looks back at.
  s->queue_capacity = static_cast<uint32_t>(capacity ? capacity : 4096);
  s->capacity = s->queue_capacity + static_cast<uint32_t>(kLookBehind);
  s->slots = static_cast<Phone *>(calloc(s->capacity, sizeof(Phone)));
  // A note makes at most two regions (itself and a breath before it).
  s->region_capacity = 2 * s->queue_capacity;
  s->voice_memory = malloc(static_cast<size_t>(tractwave_voice_size()) +
                           tractwave_voice_alignment());
  s->resampling = s->setup.rate != sample_rate;
  if (!s->slots || !s->voice_memory ||
      (s->resampling &&
       !s->resampler.init(s->setup.rate, sample_rate, kMaxSubBlock))) {
    tractwave_speaker_destroy(s);
    return nullptr;
  }
  s->voice = aligned(s->voice_memory, tractwave_voice_alignment());
  tractwave_voice_init(s->voice);
  s->controls.serial = -1;
  s->controls.phoneme = -1;
  s->silent_from = 0;
  calibrate(s);
  return s;
}

TRACTWAVE_SPEECH_API void tractwave_speaker_destroy(tractwave_speaker *s) {
  if (!s)
    return;
  s->resampler.release();
  free(s->slots);
  free(s->regions.load(std::memory_order_relaxed));
  free(s->notes);
  free(s->note_tokens);
  free(s->voice_memory);
  s->~tractwave_speaker();
  free(s);
}

TRACTWAVE_SPEECH_API int tractwave_speaker_set_speed(tractwave_speaker *s,
                                                     float speed) {
  if (!s || bad_float(speed, 0.25f, 4.0f))
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  s->speed = speed;
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_set_pitch(tractwave_speaker *s,
                                                     float factor) {
  if (!s || bad_float(factor, 0.25f, 4.0f))
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  s->pitch = factor;
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int
tractwave_speaker_queue(tractwave_speaker *s, const char *text, int notation) {
  if (!s || !text ||
      (notation != TRACTWAVE_SPEECH_ARPABET &&
       notation != TRACTWAVE_SPEECH_IPA))
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  const size_t length = strlen(text);
  if (length > 0x7fffffffu / sizeof(Phone) / 4)
    return TRACTWAVE_SPEECH_NO_MEMORY;
  // Every token takes at least one byte of text; an alias may make two
  // phones of one symbol of two or more bytes, and a boundary adds a pause.
  const int max_tokens = static_cast<int>(length) + 1;
  Token *tokens = static_cast<Token *>(malloc(sizeof(Token) * max_tokens));
  if (!tokens)
    return TRACTWAVE_SPEECH_NO_MEMORY;
  int offset = -1;
  const int count = tw::speech::parse(text, static_cast<Notation>(notation),
                                      tokens, max_tokens, &offset);
  if (count < 0) {
    free(tokens);
    s->error_offset = offset;
    return TRACTWAVE_SPEECH_UNKNOWN_PHONEME;
  }
  s->error_offset = -1;
  const int phones = planned_phones(tokens, count);
  if (phones == 0) {
    free(tokens);
    return TRACTWAVE_SPEECH_OK;
  }
  // Text longer than the queue would be refused for ever as full.
  const int room = queue_room(s, static_cast<uint64_t>(phones));
  if (room != TRACTWAVE_SPEECH_OK) {
    free(tokens);
    return room;
  }
  Phone *planned = static_cast<Phone *>(malloc(sizeof(Phone) * phones));
  PitchAnchor *anchors = static_cast<PitchAnchor *>(
      malloc(sizeof(PitchAnchor) * (3 * static_cast<size_t>(phones) + 2)));
  if (!planned || !anchors) {
    free(tokens);
    free(planned);
    free(anchors);
    return TRACTWAVE_SPEECH_NO_MEMORY;
  }
  const PlanSettings settings{s->setup.rate, s->speed, s->f0 * s->pitch,
                              s->position.load(std::memory_order_relaxed)};
  plan(tokens, count, settings, s->planner, planned, anchors);
  push_phones(s, planned, phones);
  free(tokens);
  free(planned);
  free(anchors);
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int
tractwave_speaker_error_offset(const tractwave_speaker *s) {
  return s ? s->error_offset : -1;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_render(tractwave_speaker *s,
                                                  float *out, int n) {
  if (!s || !out || n < 0)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  int speech = 0;
  for (int i = 0; i < n; ++i) {
    if (!s->resampling) {
      if (s->block_used == s->block_length) {
        render_sub_block(s, s->block, s->sub_block);
        s->block_length = s->sub_block;
        s->block_used = 0;
      }
      const int64_t at = s->t - s->block_length + s->block_used;
      out[i] = limit(s->block[s->block_used++]);
      if (at < s->silent_from)
        speech = i + 1;
      continue;
    }
    while (!s->resampler.ready()) {
      render_sub_block(s, s->block, s->sub_block);
      s->resampler.push(s->block, s->sub_block);
    }
    const int64_t at =
        static_cast<int64_t>(s->resampler.position) - s->resampler.half_width;
    out[i] = limit(s->resampler.next());
    if (at < s->silent_from)
      speech = i + 1;
  }
  return speech;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_set_vibrato(tractwave_speaker *s,
                                                       float rate, float depth,
                                                       float delay) {
  if (!s || bad_float(rate, 0.0f, 20.0f) || bad_float(depth, 0.0f, 200.0f) ||
      bad_float(delay, 0.0f, 10.0f))
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  s->vibrato_hz = rate;
  s->vibrato_cents = depth;
  s->vibrato_delay = delay;
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_set_portamento(tractwave_speaker *s,
                                                          float seconds) {
  if (!s || bad_float(seconds, 0.0f, 1.0f))
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  s->portamento = seconds;
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_add_note(tractwave_speaker *s,
                                                    float start, float duration,
                                                    float pitch, float velocity,
                                                    const char *syllable,
                                                    int notation) {
  if (!s || !syllable || bad_float(start, 0.0f, 86400.0f) ||
      bad_float(duration, 0.001f, 3600.0f) ||
      bad_float(pitch, 20.0f, 4000.0f) ||
      !(velocity > 0.0f && velocity <= 1.0f) ||
      (notation != TRACTWAVE_SPEECH_ARPABET &&
       notation != TRACTWAVE_SPEECH_IPA))
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  // Notes of one voice follow one another. An overlap within the rounding
  // of times in single precision is not a chord: a note at 32 s that starts
  // where the one before ends, both rounded to float, can be 4 us early.
  if (s->note_count > 0) {
    const NoteInput &last = s->notes[s->note_count - 1];
    const double end = static_cast<double>(last.start) + last.duration;
    if (static_cast<double>(start) < end - 1e-6 - 4.0 * FLT_EPSILON * end)
      return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  }
  const char *p = syllable;
  while (*p == ' ' || *p == '\t')
    ++p;
  const char *e = p + strlen(p);
  while (e > p && (e[-1] == ' ' || e[-1] == '\t'))
    --e;
  const bool melisma = e == p + 1 && (*p == '_' || *p == '-');
  if (melisma && s->note_count == 0)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  int count = 0;
  if (!melisma) {
    const size_t length = strlen(syllable);
    if (length > 4096)
      return TRACTWAVE_SPEECH_TOO_LONG;
    if (!grow(s->note_tokens, s->token_room,
              s->token_count + static_cast<int>(length) + 1))
      return TRACTWAVE_SPEECH_NO_MEMORY;
    int offset = -1;
    Token *tokens = s->note_tokens + s->token_count;
    count = tw::speech::parse(syllable, static_cast<Notation>(notation), tokens,
                              static_cast<int>(length) + 1, &offset);
    if (count < 0) {
      s->error_offset = offset;
      return TRACTWAVE_SPEECH_UNKNOWN_PHONEME;
    }
    // Punctuation's pauses have no place in a note: rests are the score's.
    int kept = 0;
    for (int i = 0; i < count; ++i)
      if (tokens[i].phoneme != kPause)
        tokens[kept++] = tokens[i];
    count = kept;
    if (count == 0)
      return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  }
  s->error_offset = -1;
  if (s->token_count + count + 2 * (s->note_count + 1) >
      static_cast<int>(s->queue_capacity))
    return TRACTWAVE_SPEECH_TOO_LONG;
  if (!grow(s->notes, s->note_room, s->note_count + 1))
    return TRACTWAVE_SPEECH_NO_MEMORY;
  s->notes[s->note_count++] = {start,    duration,       pitch,
                               velocity, s->token_count, count};
  s->token_count += count;
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_clear_notes(tractwave_speaker *s) {
  if (!s)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  clear_notes(s);
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_sing(tractwave_speaker *s,
                                                float *origin) {
  if (!s)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  if (origin)
    *origin = -1.0f;
  if (s->note_count == 0)
    return TRACTWAVE_SPEECH_OK;
  if (!s->regions.load(std::memory_order_relaxed)) {
    void *ring = calloc(s->region_capacity, sizeof(SungRegion));
    if (!ring)
      return TRACTWAVE_SPEECH_NO_MEMORY;
    s->regions.store(static_cast<SungRegion *>(ring),
                     std::memory_order_release);
  }
  const int phone_bound = sung_phone_bound(s->note_count, s->token_count);
  const int region_bound = sung_region_bound(s->note_count);
  Phone *phones = static_cast<Phone *>(malloc(sizeof(Phone) * phone_bound));
  SungRegion *regions =
      static_cast<SungRegion *>(malloc(sizeof(SungRegion) * region_bound));
  if (!phones || !regions) {
    free(phones);
    free(regions);
    return TRACTWAVE_SPEECH_NO_MEMORY;
  }
  const SingSettings settings{s->setup.rate,    s->speed,
                              s->vibrato_hz,    s->vibrato_cents,
                              s->vibrato_delay, s->portamento};
  // Planned on a copy of the planner's memory, kept only if it fits.
  PlannerState planner = s->planner;
  int phone_count = 0, region_count = 0;
  int64_t zero = 0;
  if (!plan_phrase(s->notes, s->note_count, s->note_tokens, settings,
                   s->position.load(std::memory_order_relaxed), planner, phones,
                   &phone_count, regions, &region_count, &zero)) {
    free(phones);
    free(regions);
    return TRACTWAVE_SPEECH_NO_MEMORY;
  }
  int room = queue_room(s, static_cast<uint64_t>(phone_count));
  const uint64_t region_head = s->region_head.load(std::memory_order_relaxed);
  if (room == TRACTWAVE_SPEECH_OK &&
      region_head - s->region_tail.load(std::memory_order_acquire) +
              static_cast<uint64_t>(region_count) >
          s->region_capacity)
    room = TRACTWAVE_SPEECH_QUEUE_FULL;
  if (room == TRACTWAVE_SPEECH_OK) {
    SungRegion *ring = s->regions.load(std::memory_order_relaxed);
    for (int i = 0; i < region_count; ++i)
      ring[(region_head + i) % s->region_capacity] = regions[i];
    // The regions are in place before the phones that need them.
    s->region_head.store(region_head + region_count, std::memory_order_release);
    push_phones(s, phones, phone_count);
    s->planner = planner;
    clear_notes(s);
    if (origin)
      *origin = static_cast<float>(static_cast<double>(zero) / s->setup.rate);
  }
  free(phones);
  free(regions);
  return room;
}

TRACTWAVE_SPEECH_API float tractwave_speech_note_hz(float note) {
  if (!(note >= -24.0f && note <= 151.0f))
    return 0.0f;
  return 440.0f * exp2f((note - 69.0f) / 12.0f);
}

TRACTWAVE_SPEECH_API int tractwave_speech_syllables(const char *arpabet,
                                                    char *out, int size,
                                                    int *error_offset) {
  if (error_offset)
    *error_offset = -1;
  if (!arpabet || size < 0 || (size > 0 && !out))
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  int offset = -1;
  const int n = syllables(arpabet, out, size, &offset);
  if (n == -2)
    return TRACTWAVE_SPEECH_NO_MEMORY;
  if (n < 0) {
    if (error_offset)
      *error_offset = offset;
    return TRACTWAVE_SPEECH_UNKNOWN_PHONEME;
  }
  return n;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_pending(const tractwave_speaker *s) {
  if (!s)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  const uint64_t head = s->head.load(std::memory_order_acquire);
  const uint64_t current = s->current_published.load(std::memory_order_relaxed);
  return head > current ? static_cast<int>(head - current) : 0;
}

// The frame's blocks follow one another and fill it exactly.
static_assert(
    TRACTWAVE_SPEECH_FRAME_ORAL + kOral == TRACTWAVE_SPEECH_FRAME_NASAL &&
    TRACTWAVE_SPEECH_FRAME_NASAL + kNasal == TRACTWAVE_SPEECH_FRAME_VOICING &&
    TRACTWAVE_SPEECH_FRAME_FRICATION + 1 == TRACTWAVE_SPEECH_FRAME_SIZE);

TRACTWAVE_SPEECH_API int tractwave_speaker_frame(const tractwave_speaker *s,
                                                 float *frame) {
  if (!s || !frame)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  const Controls &c = s->controls;
  frame[TRACTWAVE_SPEECH_FRAME_TIME] =
      static_cast<float>(static_cast<double>(s->frame_start) / s->setup.rate);
  frame[TRACTWAVE_SPEECH_FRAME_SERIAL] = static_cast<float>(c.serial);
  frame[TRACTWAVE_SPEECH_FRAME_PHONEME] = static_cast<float>(c.phoneme);
  frame[TRACTWAVE_SPEECH_FRAME_F0] = c.f0;
  frame[TRACTWAVE_SPEECH_FRAME_AMP] = c.amp;
  frame[TRACTWAVE_SPEECH_FRAME_MIX] = c.mix;
  frame[TRACTWAVE_SPEECH_FRAME_BREATHINESS] = c.breathiness;
  frame[TRACTWAVE_SPEECH_FRAME_VELUM] = c.velum;
  frame[TRACTWAVE_SPEECH_FRAME_LIP_COEFF] = c.lip_coeff;
  frame[TRACTWAVE_SPEECH_FRAME_NOSTRIL_COEFF] = c.nostril_coeff;
  for (int k = 0; k < kOral; ++k)
    frame[TRACTWAVE_SPEECH_FRAME_ORAL + k] = c.oral[k];
  for (int k = 0; k < kNasal; ++k)
    frame[TRACTWAVE_SPEECH_FRAME_NASAL + k] = c.nasal[k];
  frame[TRACTWAVE_SPEECH_FRAME_VOICING] = c.source.voicing;
  frame[TRACTWAVE_SPEECH_FRAME_ASPIRATION] = c.source.aspiration;
  frame[TRACTWAVE_SPEECH_FRAME_FRICATION] = c.source.breathiness;
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API const char *tractwave_speech_phoneme_name(int phoneme) {
  if (phoneme < 0 || phoneme >= kPhonemeCount)
    return nullptr;
  return kPhonemes[phoneme].name;
}

TRACTWAVE_SPEECH_API const char *tractwave_speech_result_text(int result) {
  switch (result) {
  case TRACTWAVE_SPEECH_OK:
    return "ok";
  case TRACTWAVE_SPEECH_BAD_ARGUMENT:
    return "bad argument";
  case TRACTWAVE_SPEECH_UNKNOWN_PHONEME:
    return "unknown phoneme";
  case TRACTWAVE_SPEECH_QUEUE_FULL:
    return "queue full";
  case TRACTWAVE_SPEECH_NO_MEMORY:
    return "out of memory";
  case TRACTWAVE_SPEECH_UNKNOWN_WORD:
    return "word not in the lexicon";
  case TRACTWAVE_SPEECH_MALFORMED:
    return "malformed dictionary entry";
  case TRACTWAVE_SPEECH_TOO_LONG:
    return "more phones than the speaker's capacity";
  default:
    return "unknown result";
  }
}

} // extern "C"
