#include "lyrics.h"

#include "speech/output_stage.h"
#include "speech/phonemes.h"
#include "speech/speaker_controls.h"
#include "tractwave_speech.h"

#include <math.h>
#include <mutex>
#include <new>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace tractwave_lv2 {

namespace {

// Each syllable is sung on one note this long and this high: long enough
// for the vowel to reach its steady state between the onset and the coda
// (and a diphthong to hold its first vowel before it glides).
constexpr float kNoteSeconds = 0.6f, kNoteHz = 120.0f;
constexpr float kRate = 48000.0f;
constexpr int kSubBlock = 48; // the speaker's own at 48 kHz: one frame each
// The speech library takes 30 ms at each edge of a vowel for the
// transitions; the onset ends, and the coda begins, a little inside that.
constexpr int kVowelEdgeFrames = 40;
// A sung diphthong glides to its second vowel over its note's last 150 ms.
constexpr int kDiphthongGlideFrames = 160;
// Singing past this (a runaway) stops the capture.
constexpr int kMaxFrames = 5000;
// A sonorant's voicing counts as steady down to this share of its largest.
constexpr float kSteadyVoicing = 0.99f;
// A tract whose oral areas are all within this of the last frame's has come
// to rest: a sung diphthong's glide reaches its second vowel 37 ms before
// the phone's end, where they differ by 0.005 at most, from 1.2 (AY) and
// 1.9 (OY) at the glide's start; L AA1's held vowel moves less over its
// fade (its release still starts at the note-off, Lyrics.ReleaseEnds...).
constexpr float kRestingArea = 1e-3f;

struct Captured {
  int serial, phoneme;
  float voicing;
  LyricFrame frame;
  bool sounding;
};

LyricFrame frame_of(const float *f, const tw::speech::Controls &c) {
  LyricFrame x;
  x.amp = f[TRACTWAVE_SPEECH_FRAME_AMP];
  x.mix = f[TRACTWAVE_SPEECH_FRAME_MIX];
  x.breathiness = f[TRACTWAVE_SPEECH_FRAME_BREATHINESS];
  x.velum = f[TRACTWAVE_SPEECH_FRAME_VELUM];
  x.lip_coeff = f[TRACTWAVE_SPEECH_FRAME_LIP_COEFF];
  x.nostril_coeff = f[TRACTWAVE_SPEECH_FRAME_NOSTRIL_COEFF];
  for (int k = 0; k < TRACTWAVE_ORAL_SECTIONS; ++k)
    x.oral[k] = f[TRACTWAVE_SPEECH_FRAME_ORAL + k];
  for (int k = 0; k < TRACTWAVE_NASAL_SECTIONS; ++k)
    x.nasal[k] = f[TRACTWAVE_SPEECH_FRAME_NASAL + k];
  for (int k = 0; k < 3; ++k)
    x.formant[k] = c.formant[k];
  x.sharpen = c.sharpen;
  x.colour_amount = c.colour_amount;
  x.colour = static_cast<float>(c.colour);
  x.colour_corner = c.colour_corner;
  x.colour_q = c.colour_q;
  x.murmur = c.murmur;
  x.voice_bar = c.voice_bar;
  return x;
}

// The phones whose voicing the speech library lets die away at the end of a
// phrase (the sonorants), rather than stopping with the phone.
bool fades_at_phrase_end(int phoneme) {
  if (phoneme < 0 || phoneme >= tw::speech::kPhonemeCount)
    return false;
  switch (tw::speech::kPhonemes[phoneme].kind) {
  case tw::speech::Kind::vowel:
  case tw::speech::Kind::diphthong:
  case tw::speech::Kind::nasal:
  case tw::speech::Kind::liquid:
  case tw::speech::Kind::glide:
    return true;
  default:
    return false;
  }
}

// The largest change of an oral area from one frame to another.
float moved(const LyricFrame &a, const LyricFrame &b) {
  float most = 0.0f;
  for (int k = 0; k < TRACTWAVE_ORAL_SECTIONS; ++k)
    most = fmaxf(most, fabsf(a.oral[k] - b.oral[k]));
  return most;
}

bool is_diphthong(int phoneme) {
  const char *name = tractwave_speech_phoneme_name(phoneme);
  if (name == nullptr)
    return false;
  for (const char *d : {"AW", "AY", "EY", "OW", "OY"})
    if (strcmp(name, d) == 0)
      return true;
  return false;
}

// The syllables of text, each as ARPAbet.
std::vector<std::string> split(const char *text) {
  std::string arpabet;
  std::vector<std::string> out;
  // ARPAbet as it is (a "-" alone between syllables read as a word's end),
  // else English through the letter-to-sound rule (the plugin reads no
  // dictionary file).
  std::string marked = std::string(" ") + text + " ";
  for (size_t at; (at = marked.find(" - ")) != std::string::npos;)
    marked.replace(at, 3, " | ");
  if (tractwave_speech_syllables(marked.c_str(), nullptr, 0, nullptr) >= 0) {
    arpabet = marked;
  } else {
    tractwave_lexicon *lexicon = tractwave_lexicon_create();
    if (lexicon == nullptr)
      return out;
    tractwave_lexicon_set_letters(lexicon, 1);
    const int need = tractwave_lexicon_transcribe(lexicon, text, nullptr, 0,
                                                  nullptr, nullptr);
    if (need >= 0) {
      std::vector<char> buffer(static_cast<size_t>(need) + 1);
      tractwave_lexicon_transcribe(lexicon, text, buffer.data(), need + 1,
                                   nullptr, nullptr);
      arpabet = buffer.data();
    }
    tractwave_lexicon_destroy(lexicon);
  }
  // Punctuation marks phrases in speech; a note sings no pause.
  std::string phonemes;
  size_t at = 0;
  while (at < arpabet.size()) {
    const size_t end = arpabet.find_first_of(" \t\n", at);
    const std::string token = arpabet.substr(
        at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? arpabet.size() : end + 1;
    if (token.empty() || strchr(",;:.!?", token[0]) != nullptr)
      continue;
    phonemes += token + " ";
  }
  const int need =
      tractwave_speech_syllables(phonemes.c_str(), nullptr, 0, nullptr);
  if (need < 0)
    return out;
  std::vector<char> buffer(static_cast<size_t>(need) + 1);
  tractwave_speech_syllables(phonemes.c_str(), buffer.data(), need + 1,
                             nullptr);
  std::string syllable;
  const std::string split_text = buffer.data();
  at = 0;
  while (at <= split_text.size()) {
    size_t end = split_text.find(' ', at);
    if (end == std::string::npos)
      end = split_text.size();
    const std::string token = split_text.substr(at, end - at);
    at = end + 1;
    if (token == "-" || token == "|" || end == split_text.size()) {
      if (token != "-" && token != "|" && !token.empty())
        syllable += (syllable.empty() ? "" : " ") + token;
      if (!syllable.empty())
        out.push_back(syllable);
      syllable.clear();
    } else if (!token.empty()) {
      syllable += (syllable.empty() ? "" : " ") + token;
    }
  }
  return out;
}

// One speaker for every lyric the process builds: making one takes some
// 40 ms (it measures its vowels' levels by rendering them), singing a
// syllable on it 2 to 6 ms, and a host may make many instances. Builds
// take turns on it; each leaves it silent, its clock on a sub-block
// boundary, so that a syllable's frames are the same whenever it is sung.
// Freed when the plugin's binary is unloaded.
struct SharedSpeaker {
  std::mutex lock;
  tractwave_speaker *speaker = nullptr;
  ~SharedSpeaker() { tractwave_speaker_destroy(speaker); }
};

SharedSpeaker &shared_speaker() {
  static SharedSpeaker shared;
  return shared;
}

// The peak of the held frame sung at hz, through the output stage.
float held_peak(void *voice, const LyricFrame &f, float hz) {
  tractwave_voice_init(voice);
  tw::speech::OutputStage stage;
  float out[kSubBlock];
  float peak = 0.0f;
  const int total = static_cast<int>(0.2f * kRate);
  for (int done = 0; done < total; done += kSubBlock) {
    tractwave_voice_render_geometry(
        voice, kSubBlock, hz, f.amp, f.mix, f.breathiness, f.oral, f.nasal,
        f.velum, 0.75f, f.lip_coeff, f.nostril_coeff, out, kRate);
    run_output_stage(stage, f, hz / kRate, 1.0f, out, kSubBlock);
    if (done >= total / 2)
      for (float x : out)
        peak = fabsf(x) > peak ? fabsf(x) : peak;
  }
  return peak;
}

// The held frame's peak over the octave below middle C and at it (their
// geometric mean), for the syllable's gain. The output stage's bell on F1
// is narrow: a vowel whose F1 lies on middle C's fundamental (IY's, near
// 270 Hz) peaks some 5 dB higher there than an octave down, and a gain set
// at that one pitch left the vowel that much quieter elsewhere.
float held_level(void *voice, const LyricFrame &f) {
  constexpr float kPitches[] = {130.81f, 196.0f, 261.63f}; // C3, G3, C4
  float log_sum = 0.0f;
  for (float hz : kPitches) {
    const float peak = held_peak(voice, f, hz);
    if (!(peak > 0.0f))
      return 0.0f;
    log_sum += logf(peak);
  }
  return expf(log_sum / 3.0f);
}

} // namespace

Lyric *Lyric::build(const char *text) {
  Lyric *lyric = new (std::nothrow) Lyric();
  if (lyric == nullptr)
    return nullptr;
  std::vector<std::string> syllables =
      text != nullptr && strlen(text) <= static_cast<size_t>(kMaxText)
          ? split(text)
          : std::vector<std::string>();
  if (syllables.size() > static_cast<size_t>(kMaxSyllables))
    syllables.resize(kMaxSyllables);
  if (syllables.empty())
    return lyric;

  SharedSpeaker &shared = shared_speaker();
  std::lock_guard<std::mutex> hold(shared.lock);
  if (shared.speaker == nullptr) {
    shared.speaker = tractwave_speaker_create(TRACTWAVE_SPEECH_MALE, kRate, 0);
    // The note's pitch replaces the speaker's; vibrato would be the
    // speaker's.
    tractwave_speaker_set_vibrato(shared.speaker, 0.0f, 0.0f, 0.0f);
    tractwave_speaker_set_portamento(shared.speaker, 0.0f);
  }
  tractwave_speaker *speaker = shared.speaker;
  const size_t align = static_cast<size_t>(tractwave_voice_alignment());
  void *voice_memory =
      malloc(static_cast<size_t>(tractwave_voice_size()) + align);
  if (speaker == nullptr || voice_memory == nullptr) {
    free(voice_memory);
    destroy(lyric);
    return nullptr;
  }
  void *voice = reinterpret_cast<void *>(
      (reinterpret_cast<uintptr_t>(voice_memory) + align - 1) / align * align);

  std::vector<LyricFrame> frames;
  std::vector<LyricSyllable> table;
  std::vector<Captured> captured;
  float raw[TRACTWAVE_SPEECH_FRAME_SIZE];
  float out[kSubBlock];
  for (const std::string &syllable : syllables) {
    float origin = -1.0f;
    if (tractwave_speaker_add_note(speaker, 0.0f, kNoteSeconds, kNoteHz, 1.0f,
                                   syllable.c_str(),
                                   TRACTWAVE_SPEECH_ARPABET) != 0 ||
        tractwave_speaker_sing(speaker, &origin) != 0 || origin < 0.0f) {
      tractwave_speaker_clear_notes(speaker);
      continue;
    }
    captured.clear();
    int middle = -1;
    for (int k = 0; k < kMaxFrames; ++k) {
      const int rendered = tractwave_speaker_render(speaker, out, kSubBlock);
      tractwave_speaker_frame(speaker, raw);
      Captured c;
      c.serial = static_cast<int>(raw[TRACTWAVE_SPEECH_FRAME_SERIAL]);
      c.phoneme = static_cast<int>(raw[TRACTWAVE_SPEECH_FRAME_PHONEME]);
      c.voicing = raw[TRACTWAVE_SPEECH_FRAME_VOICING];
      c.frame = frame_of(raw, tw::speech::speaker_controls(speaker));
      c.sounding = c.serial >= 0 && rendered > 0 &&
                   (raw[TRACTWAVE_SPEECH_FRAME_VOICING] > 1e-4f ||
                    raw[TRACTWAVE_SPEECH_FRAME_ASPIRATION] > 1e-4f ||
                    raw[TRACTWAVE_SPEECH_FRAME_FRICATION] > 1e-4f);
      if (middle < 0 &&
          raw[TRACTWAVE_SPEECH_FRAME_TIME] >= origin + 0.5f * kNoteSeconds)
        middle = k;
      captured.push_back(c);
      if (rendered < kSubBlock)
        break;
    }
    // A runaway is sung to its end, so that the next syllable starts from
    // silence.
    for (int k = 0;
         k < 100 * kMaxFrames &&
         tractwave_speaker_render(speaker, out, kSubBlock) == kSubBlock;
         ++k) {
    }
    const int n = static_cast<int>(captured.size());
    int first = 0, last = n - 1;
    while (first < n && !captured[first].sounding)
      ++first;
    while (last > first && !captured[last].sounding)
      --last;
    if (middle < 0 || first >= n || middle <= first || middle >= last)
      continue;
    // The nucleus is the phone at the note's middle: the vowel is stretched
    // to fill the note.
    const int nucleus = captured[middle].serial;
    int begin = middle, end = middle;
    while (begin > first && captured[begin - 1].serial == nucleus)
      --begin;
    while (end < last && captured[end + 1].serial == nucleus)
      ++end;
    int onset_end = begin + kVowelEdgeFrames;
    if (onset_end > middle)
      onset_end = middle;
    int coda_begin =
        end - (is_diphthong(captured[middle].phoneme) ? kDiphthongGlideFrames
                                                      : kVowelEdgeFrames);
    if (coda_begin < onset_end)
      coda_begin = onset_end;
    const int held = (onset_end + coda_begin) / 2;
    // Ten more frames after the last sound, for the tract to come to rest.
    int coda_end = last + 10 < n ? last + 10 : n - 1;
    // A syllable that ends on a sonorant (an open one, or one closed by a
    // nasal, a liquid or a glide) ends in the speaker's phrase-final fade
    // of its voicing, over the phone's last 60 ms: replayed, it left every
    // such note silent 50 ms after its note-off, whatever its release. On
    // the instrument the release ends it: its coda stops where that
    // phone's voicing starts to fall, and the note holds the frame there
    // while it releases.
    if (fades_at_phrase_end(captured[last].phoneme)) {
      const int phone = captured[last].serial;
      float loudest = 0.0f;
      for (int k = last; k > onset_end && captured[k].serial == phone; --k)
        loudest = captured[k].voicing > loudest ? captured[k].voicing : loudest;
      int cut = last;
      while (cut > onset_end && captured[cut - 1].serial == phone &&
             captured[cut].voicing < kSteadyVoicing * loudest)
        --cut;
      if (cut < coda_begin)
        coda_begin = cut;
      coda_end = cut;
      // A diphthong is still gliding where its voicing starts to fall (the
      // fade takes the phone's last 60 ms, the glide ends 37 ms before its
      // end): stopping there left its second vowel short by a sixth of the
      // way (OY's F1 387 Hz where the speaker reaches 303). The coda runs on
      // to where the tract comes to rest, with the voicing held at its
      // steady level: a frame's amp is its voicing times the level the
      // speaker gives the tract's shape.
      int rest = last;
      while (rest > cut && moved(captured[rest - 1].frame,
                                 captured[last].frame) <= kRestingArea)
        --rest;
      for (int k = cut + 1; k <= rest; ++k)
        if (captured[k].voicing > 0.0f)
          captured[k].frame.amp *= loudest / captured[k].voicing;
      coda_end = rest;
    }

    LyricSyllable s{};
    s.onset = static_cast<int>(frames.size());
    s.onset_frames = onset_end - first;
    for (int k = first; k < onset_end; ++k)
      frames.push_back(captured[k].frame);
    s.hold = static_cast<int>(frames.size());
    frames.push_back(captured[held].frame);
    s.coda = static_cast<int>(frames.size());
    s.coda_frames = coda_end + 1 - coda_begin;
    for (int k = coda_begin; k <= coda_end; ++k)
      frames.push_back(captured[k].frame);
    const float peak = held_level(voice, frames[s.hold]);
    s.gain = peak > 0.0f ? 1.0f / peak : 1.0f;
    strncpy(s.text, syllable.c_str(), sizeof s.text - 1);
    table.push_back(s);
  }
  free(voice_memory);

  lyric->frames = static_cast<LyricFrame *>(
      malloc(sizeof(LyricFrame) * (frames.size() > 0 ? frames.size() : 1)));
  lyric->syllables = static_cast<LyricSyllable *>(
      malloc(sizeof(LyricSyllable) * (table.size() > 0 ? table.size() : 1)));
  if (lyric->frames == nullptr || lyric->syllables == nullptr) {
    destroy(lyric);
    return nullptr;
  }
  if (!frames.empty())
    memcpy(lyric->frames, frames.data(), sizeof(LyricFrame) * frames.size());
  if (!table.empty())
    memcpy(lyric->syllables, table.data(),
           sizeof(LyricSyllable) * table.size());
  lyric->frame_count = static_cast<int>(frames.size());
  lyric->count = static_cast<int>(table.size());
  return lyric;
}

int lyric_syllable_count(const char *text) {
  return text != nullptr && strlen(text) <= static_cast<size_t>(Lyric::kMaxText)
             ? static_cast<int>(split(text).size())
             : 0;
}

bool lyric_syllable_text(const char *text, int index, char *out, int size) {
  if (text == nullptr || strlen(text) > static_cast<size_t>(Lyric::kMaxText) ||
      size <= 0)
    return false;
  const std::vector<std::string> all = split(text);
  if (index < 0 || static_cast<size_t>(index) >= all.size())
    return false;
  strncpy(out, all[static_cast<size_t>(index)].c_str(),
          static_cast<size_t>(size) - 1);
  out[size - 1] = '\0';
  return true;
}

void Lyric::destroy(Lyric *lyric) {
  if (lyric == nullptr)
    return;
  free(lyric->frames);
  free(lyric->syllables);
  delete lyric;
}

void run_output_stage(tw::speech::OutputStage &stage, const LyricFrame &f,
                      float bar_step, float voicing, float *x, int n) {
  tw::speech::Controls c{};
  for (int k = 0; k < 3; ++k)
    c.formant[k] = f.formant[k];
  c.sharpen = f.sharpen;
  c.colour_amount = f.colour_amount;
  const int colour = static_cast<int>(f.colour + 0.5f);
  c.colour = static_cast<tw::speech::Colour>(
      colour < 0 ? 0
                 : (colour > static_cast<int>(tw::speech::Colour::low_pass)
                        ? static_cast<int>(tw::speech::Colour::low_pass)
                        : colour));
  c.colour_corner = f.colour_corner;
  c.colour_q = f.colour_q;
  c.murmur = f.murmur;
  c.voice_bar = f.voice_bar * voicing;
  c.bar_step = bar_step;
  c.sounding = true;
  stage.run(c, x, n);
}

} // namespace tractwave_lv2
