#include "instrument.h"

#include "host_facts.h"
#include "speech/output_stage.h"
#include "tractwave_voices.h"

#include <math.h>
#include <new>
#include <stddef.h>
#include <stdlib.h>

namespace tractwave_lv2 {

namespace {

// The tract controls run 0 to 1; their defaults are the first preset's, and
// so is the gain's (see data/parameters.json).
constexpr const tractwave_facts::Preset &kDefaults =
    tractwave_facts::kPresets[0];
constexpr ControlRange tract(Control control) {
  return {0.0f, 1.0f, kDefaults.values[kFirstTractParameter + control]};
}

} // namespace

const ControlRange kControlRanges[kNumControls] = {
    tract(kVoicing),
    tract(kPharynx),
    tract(kTongueBody),
    tract(kTongueTip),
    tract(kLarynx),
    tract(kVoiceMix),
    tract(kVelum),
    tract(kLips),
    tract(kBreathiness),
    {1.0f, 16.0f, 16.0f},            // polyphony
    {0.001f, 5.0f, 0.01f},           // attack, s
    {0.005f, 10.0f, 0.2f},           // release, s
    {0.0f, 2.0f, 0.0f},              // glide, s
    {0.0f, 24.0f, 2.0f},             // bend_range, semitones
    {-40.0f, 48.0f, kDefaults.gain}, // gain, dB
    {0.0f, 1.0f, 0.0f}               // lyrics, off or on
};

namespace {

// Control changes are spread over this long: short enough to follow a knob,
// long enough that a jump in the tract's shape does not click.
constexpr float kControlRampSeconds = 0.02f;
// A stolen note, and every note on all-sound-off, fades out over this long.
constexpr float kFadeSeconds = 0.005f;
// The limiter's gain comes back to 1 with this time constant.
constexpr float kLimiterRelease = 0.05f;
// The rate the presets' and the default gains are set at.
constexpr float kReferenceRate = 48000.0f;
// A note of lyrics mode moves from one part of its syllable to the next
// (onset to held vowel, held vowel to coda) over this long.
constexpr float kLyricCrossfade = 0.02f;

constexpr uint8_t kNoteOff = 0x80, kNoteOn = 0x90, kControlChange = 0xB0,
                  kChannelPressure = 0xD0, kPitchBend = 0xE0;
constexpr uint8_t kSustainPedal = 64, kAllSoundOff = 120,
                  kResetControllers = 121, kAllNotesOff = 123,
                  kPolyOn = 127; // 123 ... 127 all end every note

float db_to_amplitude(float db) { return powf(10.0f, db * 0.05f); }

// A frequency on the engine's linear pitch scale (not clamped, so that
// every note is reachable).
float pitch_parameter(double hz) {
  return static_cast<float>((hz - TRACTWAVE_PITCH_LOWEST_HZ) /
                            TRACTWAVE_PITCH_SPAN_HZ);
}

} // namespace

Instrument *Instrument::create(double sample_rate) {
  if (!(sample_rate >= kMinRate && sample_rate <= kMaxRate))
    return nullptr;
  void *self_memory = malloc(sizeof(Instrument));
  if (self_memory == nullptr)
    return nullptr;
  Instrument *self = new (self_memory) Instrument();

  const size_t stride = static_cast<size_t>(tractwave_voice_size());
  const size_t align = static_cast<size_t>(tractwave_voice_alignment());
  self->memory_ = malloc(stride * kVoiceSlots + align);
  self->stages_ = new (std::nothrow) tw::speech::OutputStage[kVoiceSlots];
  if (self->memory_ == nullptr || self->stages_ == nullptr) {
    destroy(self);
    return nullptr;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(self->memory_);
  char *aligned = reinterpret_cast<char *>((base + align - 1) / align * align);
  for (int s = 0; s < kVoiceSlots; ++s) {
    self->voices_[s].engine = aligned + stride * s;
    self->voices_[s].output = &self->stages_[s];
    tractwave_voice_init(self->voices_[s].engine);
  }
  self->rate_ = static_cast<float>(sample_rate);
  self->limiter_recovery_ =
      1.0f - expf(-1.0f / (kLimiterRelease * self->rate_));
  for (int c = 0; c < kNumControls; ++c)
    self->target_[c] = self->port_[c] = kControlRanges[c].fallback;
  self->calibrate();
  self->activate();
  return self;
}

namespace {

// The peak of a held middle C of the default shape, after its attack.
float reference_peak(void *engine, float rate) {
  tractwave_voice_init(engine);
  float parameters[TRACTWAVE_NUM_PARAMETERS];
  parameters[TRACTWAVE_PITCH] = pitch_parameter(440.0 * exp2(-9.0 / 12.0));
  for (int c = 0; c < kTractControls; ++c)
    parameters[kFirstTractParameter + c] = kControlRanges[c].fallback;
  float out[kSubBlock];
  void *batch[1] = {engine};
  const int skip = static_cast<int>(0.1f * rate),
            total = static_cast<int>(0.3f * rate);
  float peak = 0.0f;
  for (int done = 0; done < total; done += kSubBlock) {
    tractwave_voices_render(batch, 1, kSubBlock, parameters, out, rate);
    if (done >= skip)
      for (float x : out)
        peak = fabsf(x) > peak ? fabsf(x) : peak;
  }
  tractwave_voice_init(engine);
  return peak;
}

} // namespace

// A note's loudness depends on the rate: formants move with it, and at
// 22.05 kHz a middle C is 5 dB louder than at 48 kHz, at 192 kHz 7 dB
// softer. One note rendered at both rates when the instrument is made gives
// the factor that keeps the level the gains were set for.
void Instrument::calibrate() {
  const float here = reference_peak(voices_[0].engine, rate_);
  const float there = reference_peak(voices_[0].engine, kReferenceRate);
  rate_gain_ = here > 0.0f && there > 0.0f ? there / here : 1.0f;
  lyric_level_ = there > 0.0f ? there : 1.0f;
}

void Instrument::destroy(Instrument *instrument) {
  if (instrument == nullptr)
    return;
  free(instrument->memory_);
  delete[] instrument->stages_;
  instrument->~Instrument();
  free(instrument);
}

void Instrument::activate() {
  for (Voice &v : voices_) {
    v.stage = Stage::kFree;
    v.level.jump(0.0f);
  }
  for (float &b : bend_)
    b = 0.0f;
  sustain_ = false;
  last_note_ = last_slot_ = -1;
  limiter_gain_ = 1.0f;
  next_syllable_ = 0;
  syllable_ = -1;
}

bool Instrument::sung_shape(float *oral, float *nasal, float *velum) const {
  const Voice *newest = nullptr;
  for (const Voice &v : voices_)
    if (v.lyric && v.stage != Stage::kFree && v.stage != Stage::kFading &&
        (newest == nullptr || v.order > newest->order))
      newest = &v;
  if (newest == nullptr)
    return false;
  for (int k = 0; k < TRACTWAVE_ORAL_SECTIONS; ++k)
    oral[k] = newest->frame.oral[k];
  for (int k = 0; k < TRACTWAVE_NASAL_SECTIONS; ++k)
    nasal[k] = newest->frame.nasal[k];
  *velum = newest->frame.velum;
  return true;
}

Lyric *Instrument::set_lyric(Lyric *lyric) {
  Lyric *old = lyric_;
  // Notes singing the old lyric keep the controls they have: held, they
  // hold them, released, they fall silent in their release.
  for (Voice &v : voices_) {
    if (!v.lyric || v.syllable == nullptr)
      continue;
    if (v.part == Part::kCoda && v.stage != Stage::kFading)
      v.level.go(0.0f, samples(target_[kRelease]));
    v.syllable = nullptr;
    v.frames = nullptr;
    v.part = Part::kSung;
    v.blend = 0.0f;
  }
  lyric_ = lyric;
  next_syllable_ = 0;
  syllable_ = -1;
  return old;
}

int Instrument::samples(float seconds) const {
  const float n = seconds * rate_ + 0.5f;
  return n < 1.0f ? 1 : static_cast<int>(n);
}

bool Instrument::any_voice() const {
  for (const Voice &v : voices_)
    if (v.stage != Stage::kFree)
      return true;
  return false;
}

void Instrument::set_controls(const float *values) {
  for (int c = 0; c < kNumControls; ++c) {
    const float x = values[c];
    if (x != x || x == port_[c])
      continue;
    port_[c] = x;
    const ControlRange &r = kControlRanges[c];
    target_[c] = x < r.min ? r.min : (x > r.max ? r.max : x);
  }
  // While nothing sounds (after activation, say) a change is inaudible, and
  // a note that starts later should not begin with the tail of a ramp.
  const int ramp = any_voice() ? samples(kControlRampSeconds) : 0;
  for (int c = 0; c < kTractControls; ++c)
    if (target_[c] != tract_[c].target || ramp == 0)
      tract_[c].go(target_[c], ramp);
  if (target_[kGain] != gain_db_.target || ramp == 0)
    gain_db_.go(target_[kGain], ramp);
  polyphony_ = static_cast<int>(target_[kPolyphony] + 0.5f);
}

void Instrument::midi(const uint8_t *message, uint32_t size) {
  if (size < 2)
    return;
  const uint8_t status = message[0] & 0xF0;
  const int channel = message[0] & 0x0F;
  if (status == kChannelPressure) {
    channel_pressure(channel, message[1] & 0x7F);
    return;
  }
  if (size < 3)
    return;
  const int data1 = message[1] & 0x7F, data2 = message[2] & 0x7F;
  switch (status) {
  case kNoteOn:
    if (data2 > 0) {
      note_on(data1, data2, channel);
      break;
    }
    note_off(data1);
    break;
  case kNoteOff:
    note_off(data1);
    break;
  case kPitchBend: {
    // Centre 8192; both ends reach the full range exactly.
    const int value = (data2 << 7 | data1) - 8192;
    bend_[channel] =
        static_cast<float>(value) / (value < 0 ? 8192.0f : 8191.0f);
    break;
  }
  case kControlChange:
    if (data1 == kSustainPedal)
      sustain(data2 >= 64);
    else if (data1 == kAllSoundOff)
      all_sound_off();
    else if (data1 == kResetControllers)
      reset_controllers(channel);
    else if (data1 >= kAllNotesOff && data1 <= kPolyOn)
      all_notes_off();
    else if (data1 == kRestartLyricController) {
      if (data2 >= 64) {
        next_syllable_ = 0;
        syllable_ = -1;
      }
    } else
      controller(data1, data2);
    break;
  default:
    break;
  }
}

// A tract controller moves its control as the port would, in the same ramp.
void Instrument::controller(int number, int value) {
  for (const ControllerMap &map : kControllers) {
    if (map.number != number)
      continue;
    const ControlRange &r = kControlRanges[map.control];
    target_[map.control] =
        r.min + (r.max - r.min) * static_cast<float>(value) / 127.0f;
    tract_[map.control].go(target_[map.control],
                           any_voice() ? samples(kControlRampSeconds) : 0);
  }
}

// The channel's bend centred and its notes' pressure back to full, pedal
// up, and the tract back where the ports have it.
void Instrument::reset_controllers(int channel) {
  bend_[channel] = 0.0f;
  sustain(false);
  const int ramp = any_voice() ? samples(kControlRampSeconds) : 0;
  for (Voice &v : voices_)
    if (v.channel == channel && v.stage != Stage::kFree)
      v.pressure.go(1.0f, ramp);
  for (const ControllerMap &map : kControllers) {
    const ControlRange &r = kControlRanges[map.control];
    const float x = port_[map.control];
    target_[map.control] = x < r.min ? r.min : (x > r.max ? r.max : x);
    tract_[map.control].go(target_[map.control], ramp);
  }
}

// Pressure on a channel scales the voicing of the notes it plays, ramped
// like a control: with one channel per note (MPE) each note has its own.
void Instrument::channel_pressure(int channel, int value) {
  const float x = static_cast<float>(value) / 127.0f;
  for (Voice &v : voices_)
    if (v.channel == channel && v.stage != Stage::kFree)
      v.pressure.go(x, samples(kControlRampSeconds));
}

void Instrument::note_on(int note, int velocity, int channel) {
  const float v = static_cast<float>(velocity) / 127.0f;
  const float gain = v * v;
  const int attack = samples(target_[kAttack]);

  // A note that still sounds starts again from where its level is: no second
  // voice, no jump.
  for (int s = 0; s < kVoiceSlots; ++s) {
    Voice &voice = voices_[s];
    if (voice.note == note &&
        (voice.stage == Stage::kHeld || voice.stage == Stage::kSustained ||
         voice.stage == Stage::kReleased)) {
      voice.stage = Stage::kHeld;
      voice.order = ++clock_;
      voice.channel = static_cast<uint8_t>(channel);
      voice.level.go(gain, attack);
      start_syllable(voice);
      last_note_ = note;
      last_slot_ = s;
      return;
    }
  }

  while (notes_sounding() >= polyphony_)
    steal_one();
  Voice *voice = free_voice();

  // Glide from wherever the previous note is now, or where it ended.
  float from = static_cast<float>(note);
  if (target_[kGlide] > 0.0f && last_note_ >= 0) {
    const Voice &last = voices_[last_slot_];
    from = (last.stage != Stage::kFree && last.note == last_note_)
               ? last.pitch.value
               : static_cast<float>(last_note_);
  }

  tractwave_voice_init(voice->engine);
  voice->stage = Stage::kHeld;
  voice->note = note;
  voice->order = ++clock_;
  voice->channel = static_cast<uint8_t>(channel);
  voice->pressure.jump(1.0f);
  voice->level.jump(0.0f);
  voice->level.go(gain, attack);
  voice->pitch.jump(from);
  if (target_[kGlide] > 0.0f)
    voice->pitch.go(static_cast<float>(note), samples(target_[kGlide]));
  else
    voice->pitch.jump(static_cast<float>(note));
  voice->lyric = false;
  start_syllable(*voice);
  last_note_ = note;
  last_slot_ = static_cast<int>(voice - voices_);
}

void Instrument::note_off(int note) {
  for (Voice &v : voices_) {
    if (v.note != note || v.stage != Stage::kHeld)
      continue;
    if (sustain_)
      v.stage = Stage::kSustained;
    else
      release(v);
  }
}

void Instrument::release(Voice &v) {
  v.stage = Stage::kReleased;
  v.order = ++clock_;
  // A sung syllable's coda comes first; its end starts the release.
  if (v.lyric && v.syllable != nullptr &&
      (v.part == Part::kOnset || v.part == Part::kHold)) {
    next_part(v, Part::kCoda);
    return;
  }
  v.level.go(0.0f, samples(target_[kRelease]));
}

// In lyrics mode a note sings the next syllable, or the one the notes just
// before it sing when it starts within kChordSeconds of the first of them.
void Instrument::start_syllable(Voice &v) {
  const bool had_frame = v.lyric;
  v.lyric = target_[kLyrics] >= 0.5f && lyric_ != nullptr && lyric_->count > 0;
  if (!v.lyric)
    return;
  if (syllable_ < 0 || samples_ - syllable_start_ >=
                           static_cast<uint64_t>(samples(kChordSeconds))) {
    syllable_ = next_syllable_;
    next_syllable_ = syllable_ + 1 < lyric_->count ? syllable_ + 1 : 0;
    syllable_start_ = samples_;
  }
  v.syllable = &lyric_->syllables[syllable_];
  v.frames = lyric_->frames;
  v.lyric_gain = v.syllable->gain * lyric_level_;
  if (!had_frame) {
    v.frame = v.frames[v.syllable->onset_frames > 0 ? v.syllable->onset
                                                    : v.syllable->hold];
    v.output->reset();
  }
  next_part(v, v.syllable->onset_frames > 0 ? Part::kOnset : Part::kHold);
}

void Instrument::next_part(Voice &v, Part part) {
  v.part = part;
  v.position = 0.0f;
  v.from = v.frame;
  v.blend = 1.0f;
}

// The controls of a note of lyrics mode for the next m samples: the frame
// of its part it has reached, crossfaded from where the last part left it.
void Instrument::lyric_controls(Voice &v, int m) {
  const LyricSyllable *s = v.syllable;
  if (s == nullptr)
    return;
  const LyricFrame *target = &v.frames[s->hold];
  const int at = static_cast<int>(v.position);
  if (v.part == Part::kOnset) {
    if (at < s->onset_frames)
      target = &v.frames[s->onset + at];
    else
      next_part(v, Part::kHold);
  } else if (v.part == Part::kCoda) {
    if (at < s->coda_frames) {
      target = &v.frames[s->coda + at];
    } else {
      target = &v.frames[s->coda + s->coda_frames - 1];
      v.part = Part::kSung;
      // (A stolen note keeps its fade.)
      if (v.stage != Stage::kFading)
        v.level.go(0.0f, samples(target_[kRelease]));
    }
  } else if (v.part == Part::kSung) {
    target =
        &v.frames[s->coda_frames > 0 ? s->coda + s->coda_frames - 1 : s->hold];
  }
  v.position += static_cast<float>(m) * Lyric::kFrameRate / rate_;
  const float w = v.blend;
  const float *a = &target->amp;
  const float *b = &v.from.amp;
  float *x = &v.frame.amp;
  constexpr int kFloats = sizeof(LyricFrame) / sizeof(float);
  for (int k = 0; k < kFloats; ++k)
    x[k] = a[k] + (b[k] - a[k]) * w;
  // The colouring filter's kind does not blend: the frame whose colouring
  // weighs more names it.
  v.frame.colour =
      target->colour_amount * (1.0f - w) >= v.from.colour_amount * w
          ? target->colour
          : v.from.colour;
  v.blend -= static_cast<float>(m) / (kLyricCrossfade * rate_);
  if (v.blend < 0.0f)
    v.blend = 0.0f;
}

void Instrument::fade_out(Voice &v) {
  v.stage = Stage::kFading;
  v.level.go(0.0f, samples(kFadeSeconds));
}

void Instrument::sustain(bool down) {
  sustain_ = down;
  if (down)
    return;
  for (Voice &v : voices_)
    if (v.stage == Stage::kSustained)
      release(v);
}

void Instrument::all_notes_off() {
  // Sustained notes end too: this is what a host sends to silence
  // everything, and a pedal left down must not keep notes hanging.
  for (Voice &v : voices_)
    if (v.stage == Stage::kHeld || v.stage == Stage::kSustained)
      release(v);
}

void Instrument::all_sound_off() {
  for (Voice &v : voices_)
    if (v.stage != Stage::kFree && v.stage != Stage::kFading)
      fade_out(v);
}

int Instrument::notes_sounding() const {
  int n = 0;
  for (const Voice &v : voices_)
    n += v.stage == Stage::kHeld || v.stage == Stage::kSustained ||
         v.stage == Stage::kReleased;
  return n;
}

// The oldest released note goes first, then the oldest one the pedal
// holds, then the oldest held key.
void Instrument::steal_one() {
  const Stage preference[] = {Stage::kReleased, Stage::kSustained,
                              Stage::kHeld};
  for (Stage stage : preference) {
    Voice *oldest = nullptr;
    for (Voice &v : voices_)
      if (v.stage == stage && (oldest == nullptr || v.order < oldest->order))
        oldest = &v;
    if (oldest != nullptr) {
      fade_out(*oldest);
      return;
    }
  }
}

Instrument::Voice *Instrument::free_voice() {
  // After a steal at most kMaxPolyphony - 1 notes hold a slot, so one of the
  // others is free or fading. With none free, notes were stolen faster than
  // they fade, and the quietest fading one is cut.
  Voice *quietest = nullptr;
  for (Voice &v : voices_) {
    if (v.stage == Stage::kFree)
      return &v;
    if (v.stage == Stage::kFading &&
        (quietest == nullptr || v.level.value < quietest->level.value))
      quietest = &v;
  }
  return quietest;
}

void Instrument::render(float *out, int n) {
  for (int done = 0; done < n; done += kSubBlock) {
    const int m = n - done < kSubBlock ? n - done : kSubBlock;
    render_sub_block(out + done, m);
  }
}

void Instrument::render_sub_block(float *out, int m) {
  while (notes_sounding() > polyphony_)
    steal_one();

  int count = 0;
  for (Voice &v : voices_) {
    if (v.stage == Stage::kFree || v.lyric)
      continue;
    // The note's frequency, exactly, on the engine's linear pitch scale.
    const double semitones = static_cast<double>(v.pitch.value) +
                             bend_[v.channel] * target_[kBendRange];
    const double hz = 440.0 * exp2((semitones - 69.0) / 12.0);
    float *p = batch_parameters_ + count * TRACTWAVE_NUM_PARAMETERS;
    p[TRACTWAVE_PITCH] = pitch_parameter(hz);
    for (int c = 0; c < kTractControls; ++c)
      p[kFirstTractParameter + c] = tract_[c].value;
    p[kFirstTractParameter + kVoicing] *= v.pressure.value;
    v.pressure.advance(m);
    batch_[count] = v.engine;
    batch_voice_[count] = &v;
    ++count;
    v.pitch.advance(m);
  }
  for (Ramp &r : tract_)
    r.advance(m);

  for (int i = 0; i < m; ++i)
    mix_[i] = load_[i] = 0.0f;
  // Notes of lyrics mode, one by one over the geometry their syllable has
  // now, after the tract-controlled ones in the batch.
  const int batched = count;
  for (Voice &v : voices_) {
    if (v.stage == Stage::kFree || !v.lyric)
      continue;
    const double semitones = static_cast<double>(v.pitch.value) +
                             bend_[v.channel] * target_[kBendRange];
    const float hz =
        static_cast<float>(440.0 * exp2((semitones - 69.0) / 12.0));
    lyric_controls(v, m);
    const LyricFrame &f = v.frame;
    tractwave_voice_render_geometry(
        v.engine, m, hz, f.amp * v.pressure.value, f.mix, f.breathiness, f.oral,
        f.nasal, f.velum, 0.75f, f.lip_coeff, f.nostril_coeff,
        batch_out_ + count * m, rate_);
    run_output_stage(*v.output, f, hz / rate_, v.pressure.value,
                     batch_out_ + count * m, m);
    v.pressure.advance(m);
    v.pitch.advance(m);
    batch_voice_[count] = &v;
    ++count;
  }
  if (count > 0) {
    if (batched > 0)
      tractwave_voices_render(batch_, batched, m, batch_parameters_, batch_out_,
                              rate_);
    for (int k = 0; k < count; ++k) {
      Voice &v = *batch_voice_[k];
      const float *x = batch_out_ + k * m;
      if (k < batched) {
        for (int i = 0; i < m; ++i) {
          const float level = v.level.next();
          mix_[i] += x[i] * level;
          load_[i] += level;
        }
      } else {
        for (int i = 0; i < m; ++i) {
          const float level = v.level.next();
          mix_[i] += x[i] * level * v.lyric_gain;
          load_[i] += level;
        }
      }
      if ((v.stage == Stage::kReleased || v.stage == Stage::kFading) &&
          v.level.left == 0 && !sings_on(v))
        v.stage = Stage::kFree;
    }
  }
  samples_ += static_cast<uint64_t>(m);

  // The gain moves in steps of a sub-block in dB and linearly in between.
  const float g0 = db_to_amplitude(gain_db_.value) * rate_gain_;
  gain_db_.advance(m);
  const float g1 = db_to_amplitude(gain_db_.value) * rate_gain_;
  const float dg = (g1 - g0) / static_cast<float>(m);
  float limiter = limiter_gain_;
  for (int i = 0; i < m; ++i) {
    // Notes add up: n of them at full level share the level of about one
    // and a half (1 / sqrt(n) each), which keeps a chord's loudness near a
    // note's while its peaks, where the notes' pulses meet, stay higher.
    const float load = load_[i] > 1.0f ? load_[i] : 1.0f;
    const float y =
        mix_[i] * (g0 + dg * static_cast<float>(i + 1)) / sqrtf(load);
    // What still reaches past the limit is held to it: the gain falls at
    // once to what the sample needs and recovers smoothly. Below the limit,
    // with the gain recovered, samples pass untouched.
    limiter += (1.0f - limiter) * limiter_recovery_;
    if (limiter > 0.9999f)
      limiter = 1.0f;
    const float a = fabsf(y);
    if (a * limiter > kOutputLimit)
      limiter = kOutputLimit / a;
    out[i] = y * limiter;
  }
  limiter_gain_ = limiter;
}

} // namespace tractwave_lv2
