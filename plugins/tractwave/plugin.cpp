// The instrument as a DPF plugin: one source for the LV2, VST3 and CLAP
// plugins and the JACK program. DPF turns the host's parameters and MIDI
// into setParameterValue and run(); the Instrument does the rest.
#include "DistrhoPlugin.hpp"

#include "host_facts.h"
#include "instrument.h"
#include "tract_view.h"

#include <atomic>
#include <cstring>
#include <math.h>
#include <mutex>

START_NAMESPACE_DISTRHO

namespace {

using tractwave_facts::kNumPresets;
using tractwave_facts::kPresets;
using tractwave_lv2::Instrument;
using tractwave_lv2::kControlRanges;
using tractwave_lv2::kFirstTractParameter;
using tractwave_lv2::kNumControls;
using tractwave_lv2::kTractControls;
using tractwave_lv2::Lyric;

struct ControlInfo {
  const char *symbol, *name, *unit, *description;
  uint32_t hints;
};

constexpr uint32_t kAuto = kParameterIsAutomatable;

// In the order of tractwave_lv2::Control; the symbols are the LV2 ports'.
const ControlInfo kControlInfo[kNumControls] = {
    {"voicing", "Voicing", "",
     "Glottal excitation of a note at full velocity; the glottis is silent "
     "below 0.01.",
     kAuto},
    {"pharynx", "Pharynx", "",
     "Widens (below 0.5) or narrows (above 0.5) the throat.", kAuto},
    {"tongue_body", "Tongue body", "",
     "Width between the middle of the mouth and its front: high for ee, low "
     "for ah.",
     kAuto},
    {"tongue_tip", "Tongue tip", "",
     "Below 0.35 the tip closes the front of the mouth strongly (n, s).",
     kAuto},
    {"larynx", "Larynx", "",
     "Widens (above 0.5) or narrows the tube just above the glottis.", kAuto},
    {"voice_mix", "Voice mix", "",
     "Voiced share of the glottal excitation; the rest is breath noise.",
     kAuto},
    {"velum", "Velum", "", "Opens the nasal tube: 1 for m and n.", kAuto},
    {"lips", "Lips", "", "Lip opening: 0 closes the mouth (m).", kAuto},
    {"breathiness", "Breathiness", "",
     "Aspiration noise, and turbulence where the tract is narrow.", kAuto},
    {"polyphony", "Polyphony", "", "Notes that sound at once.",
     kAuto | kParameterIsInteger},
    {"attack", "Attack", "s", "Time a note takes to reach its level.",
     kAuto | kParameterIsLogarithmic},
    {"release", "Release", "s",
     "Time a released note takes to fall to exact silence.",
     kAuto | kParameterIsLogarithmic},
    {"glide", "Glide", "s",
     "Time a new note takes to slide from the pitch of the note before it.",
     kAuto},
    {"bend_range", "Bend range", "semitones",
     "Pitch change at either end of the pitch bend wheel.",
     kAuto | kParameterIsInteger},
    {"gain", "Gain", "dB", "Output gain.", kAuto},
    {"lyrics", "Lyrics", "",
     "Off: every note sings the vowel the tract controls shape. On: each "
     "note sings the next syllable of the lyric (controller 80 starts it "
     "again).",
     kAuto | kParameterIsBoolean | kParameterIsInteger},
};

// The lyric a new instance sings until one is set: the first preset's.
constexpr const char *kDefaultLyric = kPresets[0].lyric;

// The presets' lyrics, built once for every instance in the process (some
// 3 ms a syllable, 25 ms in all) when the first is made, and kept until the
// binary is unloaded: loadProgram, which hosts may call on the audio thread
// (LV2's programs, a VST3 program change, a MIDI program change in the JACK
// program), cannot build one, and only points the instrument at it.
struct PresetLyrics {
  Lyric *lyric[kNumPresets] = {};
  PresetLyrics() {
    for (int p = 0; p < kNumPresets; ++p)
      lyric[p] = Lyric::build(kPresets[p].lyric);
  }
  ~PresetLyrics() {
    for (Lyric *l : lyric)
      Lyric::destroy(l);
  }
  bool holds(const Lyric *l) const {
    for (const Lyric *x : lyric)
      if (x != nullptr && x == l)
        return true;
    return false;
  }
};

const PresetLyrics &preset_lyrics() {
  static PresetLyrics shared;
  return shared;
}

// Frees a lyric the instance built; the presets' stay.
void discard(Lyric *lyric) {
  if (!preset_lyrics().holds(lyric))
    Lyric::destroy(lyric);
}

class TractwavePlugin : public Plugin {
public:
  TractwavePlugin() : Plugin(kNumControls, kNumPresets, 1) {
    for (int c = 0; c < kNumControls; ++c)
      values_[c].store(kControlRanges[c].fallback, std::memory_order_relaxed);
    instrument_ = Instrument::create(getSampleRate());
    preset_lyrics();
    setState("lyrics", kDefaultLyric);
  }
  ~TractwavePlugin() override {
    if (instrument_ != nullptr)
      discard(instrument_->set_lyric(nullptr));
    Instrument::destroy(instrument_);
    discard(pending_.exchange(nullptr));
    discard(retired_.exchange(nullptr));
    discard(parked_.exchange(nullptr));
  }

protected:
  const char *getLabel() const override { return "tractwave"; }
  const char *getDescription() const override {
    return "A polyphonic vocal-tract synthesiser: every note is a waveguide "
           "model of the vocal tract, excited by a glottal pulse train and "
           "noise, shaped by the tract controls.";
  }
  const char *getMaker() const override { return "tractwave"; }
  const char *getHomePage() const override {
    return "https://github.com/tractwave/tractwave";
  }
  const char *getLicense() const override { return "MIT"; }
  uint32_t getVersion() const override { return d_version(1, 2, 0); }
  int64_t getUniqueId() const override { return d_cconst('T', 'w', 'v', 'i'); }

  void initAudioPort(bool input, uint32_t index, AudioPort &port) override {
    port.groupId = kPortGroupMono;
    Plugin::initAudioPort(input, index, port);
    if (!input) {
      port.name = "Out";
      port.symbol = "out";
    }
  }

  void initParameter(uint32_t index, Parameter &parameter) override {
    if (index >= static_cast<uint32_t>(kNumControls))
      return;
    const ControlInfo &info = kControlInfo[index];
    parameter.hints = info.hints;
    parameter.symbol = info.symbol;
    parameter.name = info.name;
    parameter.unit = info.unit;
    parameter.description = info.description;
    parameter.ranges.min = kControlRanges[index].min;
    parameter.ranges.max = kControlRanges[index].max;
    parameter.ranges.def = kControlRanges[index].fallback;
  }

  void initState(uint32_t index, State &state) override {
    if (index != 0)
      return;
    state.key = "lyrics";
    state.defaultValue = kDefaultLyric;
    state.label = "Lyrics";
    state.description = "The text lyrics mode sings, a syllable a note: "
                        "English words, or ARPAbet phonemes.";
  }

  // Not in run(): the host's state thread (LV2 restore or worker, VST3 and
  // CLAP state calls). The lyric is built here, with the speech library,
  // and handed to run() through pending_.
  void setState(const char *key, const char *value) override {
    if (std::strcmp(key, "lyrics") != 0)
      return;
    {
      std::lock_guard<std::mutex> hold(text_lock_);
      text_ = value;
    }
    preset_text_.store(-1, std::memory_order_release);
    discard(retired_.exchange(nullptr, std::memory_order_acquire));
    discard(parked_.exchange(nullptr, std::memory_order_acquire));
    Lyric *lyric = Lyric::build(value);
    if (lyric == nullptr)
      return;
    // A lyric set after a program change wins over the program's.
    program_.store(-1, std::memory_order_release);
    // One run() had no time to take the last lyric: it is never seen.
    discard(pending_.exchange(lyric, std::memory_order_acq_rel));
  }

  // After a program change, the preset's lyric, without the lock: DPF's
  // LV2 programs ask for it on the thread that changed the program (and
  // copy it, as a DPF String is copied: with an allocation).
  String getState(const char *key) const override {
    if (std::strcmp(key, "lyrics") != 0)
      return String();
    const int preset = preset_text_.load(std::memory_order_acquire);
    if (preset >= 0 && preset < kNumPresets)
      return String(kPresets[preset].lyric);
    std::lock_guard<std::mutex> hold(text_lock_);
    return text_;
  }

  void initProgramName(uint32_t index, String &name) override {
    if (index < static_cast<uint32_t>(kNumPresets))
      name = kPresets[index].label;
  }

  float getParameterValue(uint32_t index) const override {
    return index < static_cast<uint32_t>(kNumControls)
               ? values_[index].load(std::memory_order_relaxed)
               : 0.0f;
  }
  void setParameterValue(uint32_t index, float value) override {
    if (index < static_cast<uint32_t>(kNumControls))
      values_[index].store(value, std::memory_order_relaxed);
  }

  // A preset sets the tract, the gain and the lyric and leaves the rest
  // alone. Real-time safe: the lyric was built with the first instance,
  // and run() takes it.
  void loadProgram(uint32_t index) override {
    if (index >= static_cast<uint32_t>(kNumPresets))
      return;
    for (int c = 0; c < kTractControls; ++c)
      values_[c].store(kPresets[index].values[kFirstTractParameter + c],
                       std::memory_order_relaxed);
    values_[tractwave_lv2::kGain].store(kPresets[index].gain,
                                        std::memory_order_relaxed);
    preset_text_.store(static_cast<int>(index), std::memory_order_release);
    program_.store(static_cast<int>(index), std::memory_order_release);
  }

  void activate() override {
    if (instrument_ != nullptr)
      instrument_->activate();
  }

  // Outside run(): the instrument is built again for the new rate.
  void sampleRateChanged(double rate) override {
    Lyric *lyric =
        instrument_ != nullptr ? instrument_->set_lyric(nullptr) : nullptr;
    Instrument::destroy(instrument_);
    instrument_ = Instrument::create(rate);
    if (instrument_ != nullptr)
      lyric = instrument_->set_lyric(lyric);
    discard(lyric);
  }

  void run(const float **, float **outputs, uint32_t frames,
           const MidiEvent *events, uint32_t event_count) override {
    float *out = outputs[0];
    const int n = static_cast<int>(frames);
    if (instrument_ == nullptr) {
      // A rate the engine cannot take: silence rather than wrong notes.
      for (int i = 0; i < n; ++i)
        out[i] = 0.0f;
      return;
    }
    float controls[kNumControls];
    for (int c = 0; c < kNumControls; ++c)
      controls[c] = values_[c].load(std::memory_order_relaxed);
    instrument_->set_controls(controls);
    take_lyric();
    // Each event takes effect at its own frame; DPF hands them over in
    // order, and any past the block's end are taken at its end.
    int done = 0;
    for (uint32_t e = 0; e < event_count; ++e) {
      const MidiEvent &event = events[e];
      const int frame = static_cast<int>(event.frame);
      const int at = frame <= done ? done : (frame >= n ? n : frame);
      instrument_->render(out + done, at - done);
      done = at;
      const uint8_t *data =
          event.size > MidiEvent::kDataSize ? event.dataExt : event.data;
      instrument_->midi(data, event.size);
    }
    instrument_->render(out + done, n - done);
    publish_picture();
  }

public:
  const tractwave_lv2::TractView &view() const { return view_; }
  String lyric_text() const { return getState("lyrics"); }

private:
  // A lyric setState built, swapped in without waiting: the one it replaces
  // goes to retired_ for setState to free. While retired_ still holds one,
  // the new lyric waits for the next block. Then a program's: a lyric
  // setState built that it replaces is parked for setState to free. (Only
  // setState brings such a lyric in, and it empties parked_ first; should a
  // program change while it builds leave one parked, the next program's
  // lyric waits for the next setState.)
  void take_lyric() {
    if (retired_.load(std::memory_order_acquire) == nullptr) {
      Lyric *lyric = pending_.exchange(nullptr, std::memory_order_acq_rel);
      if (lyric != nullptr) {
        Lyric *replaced = instrument_->set_lyric(lyric);
        if (!preset_lyrics().holds(replaced))
          retired_.store(replaced, std::memory_order_release);
      }
    }
    int program = program_.load(std::memory_order_acquire);
    if (program < 0)
      return;
    const PresetLyrics &presets = preset_lyrics();
    const Lyric *current = instrument_->lyric();
    const bool built_here = current != nullptr && !presets.holds(current);
    if (built_here && parked_.load(std::memory_order_acquire) != nullptr)
      return;
    if (!program_.compare_exchange_strong(program, -1,
                                          std::memory_order_acq_rel))
      return; // a newer one: the next block takes it
    if (presets.lyric[program] == nullptr)
      return;
    Lyric *replaced = instrument_->set_lyric(presets.lyric[program]);
    if (built_here)
      parked_.store(replaced, std::memory_order_release);
  }

  // The tract as the window draws it, once per host block: a few dozen
  // stores, no wait.
  void publish_picture() {
    float parameters[1 + kTractControls] = {0.0f};
    instrument_->tract(parameters + 1);
    tractwave_lv2::TractPicture picture;
    // In lyrics mode, the shape the newest note sings.
    if (!instrument_->sung_shape(picture.oral, picture.nasal, &picture.velum))
      tractwave_lv2::tract_shape(parameters, picture.oral, picture.nasal,
                                 &picture.velum);
    picture.notes = instrument_->notes();
    picture.syllable = instrument_->syllable();
    picture.syllables = instrument_->syllables();
    picture.blocks = ++blocks_;
    view_.publish(picture);
  }

private:
  Instrument *instrument_ = nullptr;
  // The JACK program sets parameters from the window's thread while run()
  // reads them on the audio thread: atomic, lock-free, never waited on.
  std::atomic<float> values_[kNumControls];
  tractwave_lv2::TractView view_;
  uint32_t blocks_ = 0;
  std::atomic<Lyric *> pending_{nullptr}, retired_{nullptr}, parked_{nullptr};
  // The preset whose lyric run() is to take, and the one whose lyric the
  // state holds (-1: text_, as setState set it).
  std::atomic<int> program_{-1}, preset_text_{-1};
  // The lyric's text as set, for the host to save; the host's and the
  // window's threads may both ask.
  mutable std::mutex text_lock_;
  String text_;

  DISTRHO_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TractwavePlugin)
};

} // namespace

Plugin *createPlugin() { return new TractwavePlugin(); }

END_NAMESPACE_DISTRHO

namespace tractwave_lv2 {

ControlLabel control_label(int control) {
  const DISTRHO_NAMESPACE::ControlInfo &info =
      DISTRHO_NAMESPACE::kControlInfo[control];
  return {info.name, info.unit,
          (info.hints & DISTRHO_NAMESPACE::kParameterIsLogarithmic) != 0,
          (info.hints & DISTRHO_NAMESPACE::kParameterIsInteger) != 0};
}

bool lyric_text_of(void *plugin_instance, char *out, int size) {
  if (plugin_instance == nullptr || size <= 0)
    return false;
  const DISTRHO_NAMESPACE::String text =
      static_cast<DISTRHO_NAMESPACE::TractwavePlugin *>(
          static_cast<DISTRHO_NAMESPACE::Plugin *>(plugin_instance))
          ->lyric_text();
  std::strncpy(out, text.buffer(), static_cast<size_t>(size) - 1);
  out[size - 1] = '\0';
  return true;
}

const TractView *tract_view_of(void *plugin_instance) {
  if (plugin_instance == nullptr)
    return nullptr;
  return &static_cast<DISTRHO_NAMESPACE::TractwavePlugin *>(
              static_cast<DISTRHO_NAMESPACE::Plugin *>(plugin_instance))
              ->view();
}

} // namespace tractwave_lv2
