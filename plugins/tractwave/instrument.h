// The polyphonic instrument behind the LV2 plugin: MIDI in, mono audio out.
// It knows nothing of LV2; plugin.cpp maps ports and atom events onto it.
//
// Every note is a voice of the voices library, and all voices that sound are
// rendered by one tractwave_voices_render call per sub-block of at most
// kSubBlock samples. Between sub-blocks the controls move in short linear
// ramps and each note's level follows its envelope sample by sample, so that
// no change clicks. Nothing here allocates after create().
#ifndef TRACTWAVE_LV2_INSTRUMENT_H
#define TRACTWAVE_LV2_INSTRUMENT_H

#include "lyrics.h"
#include "tractwave.h"

#include <stdint.h>

namespace tractwave_lv2 {

// The control ports, in port order after the MIDI input and audio output.
enum Control {
  kVoicing,
  kPharynx,
  kTongueBody,
  kTongueTip,
  kLarynx,
  kVoiceMix,
  kVelum,
  kLips,
  kBreathiness,
  kPolyphony,
  kAttack,
  kRelease,
  kGlide,
  kBendRange,
  kGain,
  kLyrics, // 0 the vowel the tract controls shape, 1 the lyric's syllables
  kNumControls
};

// The tract controls (voicing and the eight shapes) are kVoicing ...
// kBreathiness and go straight into the engine's parameter vector, from
// kFirstTractParameter on; the notes give the pitch before them.
constexpr int kTractControls = kBreathiness + 1;
constexpr int kFirstTractParameter = TRACTWAVE_VOICING;
static_assert(kFirstTractParameter + kTractControls == TRACTWAVE_NUM_PARAMETERS,
              "every parameter but the pitch is a control");

// The controllers that move the tract, each over its control's whole range:
// the mod wheel the tongue body (ah to ee), the breath controller the
// voicing, and general-purpose controllers 16 to 22 the rest.
struct ControllerMap {
  uint8_t number;
  Control control;
};
constexpr ControllerMap kControllers[] = {
    {1, kTongueBody}, {2, kVoicing}, {16, kTongueTip},
    {17, kLips},      {18, kVelum},  {19, kBreathiness},
    {20, kPharynx},   {21, kLarynx}, {22, kVoiceMix}};

// In lyrics mode, this controller at 64 or more starts the lyric again:
// the next note sings its first syllable.
constexpr uint8_t kRestartLyricController = 80;
// Notes that start within this long of the first note of a syllable sing
// it too (a chord, however the hand or the host spreads it); a later note
// sings the next syllable, also while earlier ones are held (legato).
constexpr float kChordSeconds = 0.04f;

constexpr int kMaxPolyphony = 16;
// Room for as many again: a stolen note fades out in a slot of its own while
// the new note starts in another.
constexpr int kVoiceSlots = 2 * kMaxPolyphony;
constexpr int kSubBlock = 32;

// Sample rates the plugin accepts. The engine takes 8000 Hz and below for
// 48000, which would put every note at the wrong pitch.
constexpr double kMinRate = 8001.0;
constexpr double kMaxRate = 768000.0;

// The output never exceeds this (-1 dBFS).
constexpr float kOutputLimit = 0.8912f;

// A value moving linearly to a target over a given number of samples, and
// landing on it exactly. The value is worked out from the samples left, not
// carried from step to step: a float carried over the millions of steps of
// a long envelope at a high rate drifts by percents, then snaps.
struct Ramp {
  float value = 0.0f, target = 0.0f, step = 0.0f;
  int left = 0;

  void jump(float v) {
    value = target = v;
    step = 0.0f;
    left = 0;
  }
  void go(float to, int samples) {
    target = to;
    if (samples <= 0) {
      jump(to);
      return;
    }
    left = samples;
    step = (to - value) / static_cast<float>(samples);
  }
  float next() {
    if (left > 0)
      value = --left == 0 ? target : target - step * static_cast<float>(left);
    return value;
  }
  void advance(int samples) {
    if (left <= 0)
      return;
    left = samples >= left ? 0 : left - samples;
    value = left == 0 ? target : target - step * static_cast<float>(left);
  }
};

class Instrument {
public:
  enum class Stage : uint8_t { kFree, kHeld, kSustained, kReleased, kFading };
  // Where a note of lyrics mode is in its syllable. kSung is the coda's
  // end: the note's release begins there.
  enum class Part : uint8_t { kOnset, kHold, kCoda, kSung };

  struct Voice {
    void *engine;
    Stage stage;
    int note;
    uint64_t order; // when it started (held) or was released (released)
    Ramp level;     // envelope times velocity gain, applied to its output
    Ramp pitch;     // in MIDI note numbers, moving while it glides
    // Per-note expression, MPE style: the note's MIDI channel, whose pitch
    // bend moves it, and whose channel pressure scales its voicing (1 until
    // the channel sends pressure).
    uint8_t channel;
    Ramp pressure;
    // Lyrics mode: the syllable it sings (nullptr: it holds `frame`, as a
    // note does whose lyric was replaced), where it is in it, and the
    // controls it sounds with now. A change of part crossfades from the
    // controls it had (`from`) over kLyricCrossfade.
    bool lyric;
    Part part;
    const LyricSyllable *syllable;
    const LyricFrame *frames;
    float position; // frames into the part
    float blend;    // weight of `from`, 1 ... 0
    float lyric_gain;
    LyricFrame frame, from;
    // The speech library's output stage after its engine, as the speaker
    // runs one after its own: what gives a sung consonant its colour.
    tw::speech::OutputStage *output;
  };

  // Allocates everything the instrument will ever need; nullptr when the
  // rate is outside kMinRate ... kMaxRate or memory is short.
  static Instrument *create(double sample_rate);
  static void destroy(Instrument *instrument);

  // Silence: every voice free, pitch bend centred, sustain pedal up. While
  // no voice sounds, set_controls takes its values at once.
  void activate();

  // The control ports' values, in Control order, at the start of a host
  // block. NaN keeps a control where it was; other values are clamped to the
  // control's range.
  void set_controls(const float *values);

  // One MIDI message, taking effect at the current position in the stream.
  void midi(const uint8_t *message, uint32_t size);

  // The next n samples.
  void render(float *out, int n);

  // The tract controls as the notes have them now, controllers and ramps
  // included, in Control order (kTractControls values).
  void tract(float *values) const {
    for (int c = 0; c < kTractControls; ++c)
      values[c] = tract_[c].value;
  }
  int notes() const { return notes_sounding(); }

  // The tract of the newest note of lyrics mode that sounds, as it sings
  // now: false (nothing written) when none does.
  bool sung_shape(float *oral, float *nasal, float *velum) const;

  // The lyric that lyrics mode sings (nullptr: none); returns the one it
  // replaces, which no note refers to any more, for the caller to free
  // outside the audio thread. The next note sings the first syllable.
  Lyric *set_lyric(Lyric *lyric);
  // The syllable the last note sang (-1 before any) and the lyric's count.
  int syllable() const { return syllable_; }
  const Lyric *lyric() const { return lyric_; }
  int syllables() const { return lyric_ != nullptr ? lyric_->count : 0; }

private:
  Instrument() = default;

  void render_sub_block(float *out, int m);
  void note_on(int note, int velocity, int channel);
  void channel_pressure(int channel, int value);
  void note_off(int note);
  void release(Voice &v);
  void fade_out(Voice &v);
  void sustain(bool down);
  void all_notes_off();
  void all_sound_off();
  void controller(int number, int value);
  void reset_controllers(int channel);
  int notes_sounding() const;
  void steal_one();
  Voice *free_voice();
  int samples(float seconds) const;
  bool any_voice() const;
  void calibrate();
  void start_syllable(Voice &v);
  void next_part(Voice &v, Part part);
  void lyric_controls(Voice &v, int m);
  bool sings_on(const Voice &v) const {
    return v.lyric && v.stage == Stage::kReleased && v.part == Part::kCoda;
  }

  void *memory_ = nullptr;                    // the voices' engines, aligned
  tw::speech::OutputStage *stages_ = nullptr; // one a voice
  float rate_ = 48000.0f;
  uint64_t clock_ = 0;

  float target_[kNumControls] = {};
  // The ports' values as last seen: a controller moves a tract control
  // until the port itself changes again.
  float port_[kNumControls] = {};
  Ramp tract_[kTractControls];
  Ramp gain_db_;
  int polyphony_ = kMaxPolyphony;

  float bend_[16] = {}; // each channel's, -1 ... 1 of the bend range
  bool sustain_ = false;
  int last_note_ = -1;
  int last_slot_ = -1;

  Voice voices_[kVoiceSlots] = {};

  Lyric *lyric_ = nullptr;
  int next_syllable_ = 0, syllable_ = -1;
  uint64_t samples_ = 0, syllable_start_ = 0;
  // The default vowel's peak at the reference rate: a syllable's held vowel
  // is brought to it.
  float lyric_level_ = 1.0f;

  // Scratch for one sub-block.
  void *batch_[kVoiceSlots] = {};
  Voice *batch_voice_[kVoiceSlots] = {};
  float batch_parameters_[kVoiceSlots * TRACTWAVE_NUM_PARAMETERS] = {};
  float batch_out_[kVoiceSlots * kSubBlock] = {};
  float mix_[kSubBlock] = {};
  float load_[kSubBlock] = {}; // the sounding notes' levels, summed

  // Output level: the factor that gives a note the level it has at 48 kHz
  // (the tract's resonances, and with them its loudness, move with the
  // rate), and the limiter's gain, which falls at once and recovers in
  // kLimiterRelease.
  float rate_gain_ = 1.0f;
  float limiter_gain_ = 1.0f;
  float limiter_recovery_ = 0.0f;
};

struct ControlRange {
  float min, max, fallback;
};
// The ranges and defaults the plugin description gives each control port.
extern const ControlRange kControlRanges[kNumControls];

} // namespace tractwave_lv2

#endif
