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

#include "tractwave_voices.h"

#include <atomic>
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

  // Queueing side.
  PlannerState planner;
  float speed = 1.0f, pitch = 1.0f;
  int error_offset = -1;

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
  } else {
    s->silent_from = INT64_MAX;
    articulate(window, s->current, middle, s->setup, s->controls);
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
  for (int k = 0; k < kShapeCount; ++k) {
    // A diphthong's phone would glide; the monophthong of the same shape
    // (EY and OW have none) is measured as a held vowel through its onset.
    const float level = held_level(s, vowel_of_shape[k], scratch);
    s->setup.shape_gain_db[k] =
        level > 0.0f ? 20.0f * log10f(kVowelRms / level) : 0.0f;
  }
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

} // namespace

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
  if (static_cast<uint32_t>(phones) > s->queue_capacity) {
    free(tokens);
    return TRACTWAVE_SPEECH_TOO_LONG;
  }
  const uint64_t head = s->head.load(std::memory_order_relaxed);
  const uint64_t tail = s->tail.load(std::memory_order_acquire);
  const uint64_t unspoken =
      head - s->current_published.load(std::memory_order_relaxed);
  if (head - tail + static_cast<uint64_t>(phones) > s->capacity ||
      unspoken + static_cast<uint64_t>(phones) > s->queue_capacity) {
    free(tokens);
    return TRACTWAVE_SPEECH_QUEUE_FULL;
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
  for (int i = 0; i < phones; ++i)
    s->slots[(head + i) % s->capacity] = planned[i];
  s->head.store(head + phones, std::memory_order_release);
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

TRACTWAVE_SPEECH_API int tractwave_speaker_pending(const tractwave_speaker *s) {
  if (!s)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  const uint64_t head = s->head.load(std::memory_order_acquire);
  const uint64_t current = s->current_published.load(std::memory_order_relaxed);
  return head > current ? static_cast<int>(head - current) : 0;
}

TRACTWAVE_SPEECH_API int tractwave_speaker_frame(const tractwave_speaker *s,
                                                 float *frame) {
  if (!s || !frame)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  const Controls &c = s->controls;
  frame[0] =
      static_cast<float>(static_cast<double>(s->frame_start) / s->setup.rate);
  frame[1] = static_cast<float>(c.serial);
  frame[2] = static_cast<float>(c.phoneme);
  frame[3] = c.f0;
  frame[4] = c.amp;
  frame[5] = c.mix;
  frame[6] = c.breathiness;
  frame[7] = c.velum;
  frame[8] = c.lip_coeff;
  frame[9] = c.nostril_coeff;
  for (int k = 0; k < kOral; ++k)
    frame[10 + k] = c.oral[k];
  for (int k = 0; k < kNasal; ++k)
    frame[35 + k] = c.nasal[k];
  frame[51] = c.source.voicing;
  frame[52] = c.source.aspiration;
  frame[53] = c.source.breathiness;
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
