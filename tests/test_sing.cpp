// Singing through the speech library's C API: where the vowel falls against
// the note, the pitch of held notes with and without vibrato, melisma,
// legato, breaths and the refusal of notes that cannot be sung.
#include "tractwave_speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr float kRate = 48000.0f;

struct Note {
  float start, duration, hz;
  const char *syllable;
};

// What a sung phrase sounded like, with the frame of every 64 samples.
struct Sung {
  std::vector<float> audio;
  std::vector<std::vector<float>> frames;
  float origin = -1.0f;
};

Sung sing(const std::vector<Note> &notes, float vibrato_depth = 0.0f,
          float seconds_after = 0.6f) {
  Sung r;
  tractwave_speaker *s =
      tractwave_speaker_create(TRACTWAVE_SPEECH_MALE, kRate, 0);
  EXPECT_NE(s, nullptr);
  if (!s)
    return r;
  EXPECT_EQ(tractwave_speaker_set_vibrato(s, 5.5f, vibrato_depth, 0.25f), 0);
  for (const Note &n : notes)
    EXPECT_EQ(tractwave_speaker_add_note(s, n.start, n.duration, n.hz, 1.0f,
                                         n.syllable, TRACTWAVE_SPEECH_ARPABET),
              0)
        << n.syllable;
  EXPECT_EQ(tractwave_speaker_sing(s, &r.origin), 0);
  const float end =
      r.origin + notes.back().start + notes.back().duration + seconds_after;
  std::vector<float> block(64);
  float frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  while (r.audio.size() < static_cast<size_t>(end * kRate)) {
    tractwave_speaker_render(s, block.data(), 64);
    tractwave_speaker_frame(s, frame);
    r.audio.insert(r.audio.end(), block.begin(), block.end());
    r.frames.emplace_back(frame, frame + TRACTWAVE_SPEECH_FRAME_SIZE);
  }
  tractwave_speaker_destroy(s);
  return r;
}

int phoneme(const char *name) {
  for (int id = 0; tractwave_speech_phoneme_name(id); ++id)
    if (std::string(tractwave_speech_phoneme_name(id)) == name)
      return id;
  return -2;
}

// First frame time at which pred holds, or -1.
template <typename P> float first_time(const Sung &r, P pred) {
  for (const auto &f : r.frames)
    if (pred(f))
      return f[0];
  return -1.0f;
}

// f0 of the audio around `at` seconds by normalised autocorrelation over
// 40 ms, refined by a parabola through the peak.
double pitch_at(const std::vector<float> &x, double at) {
  const int n = static_cast<int>(0.04 * kRate);
  const int from = static_cast<int>(at * kRate) - n / 2;
  const int min_lag = static_cast<int>(kRate / 600),
            max_lag = static_cast<int>(kRate / 60);
  std::vector<double> c(max_lag + 2, 0.0);
  for (int lag = min_lag - 1; lag <= max_lag + 1; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (int i = 0; i < n; ++i) {
      const double a = x[from + i], b = x[from + i + lag];
      xy += a * b;
      xx += a * a;
      yy += b * b;
    }
    c[lag] = xy / std::sqrt(xx * yy + 1e-20);
  }
  // The first peak near the best one: the period, not a multiple of it.
  const double best = *std::max_element(c.begin() + min_lag, c.end() - 1);
  int lag = min_lag;
  for (int l = min_lag; l <= max_lag; ++l)
    if (c[l] >= 0.9 * best && c[l] >= c[l - 1] && c[l] >= c[l + 1]) {
      lag = l;
      break;
    }
  const double a = c[lag - 1], b = c[lag], d = c[lag + 1];
  const double shift = 0.5 * (a - d) / (a - 2 * b + d);
  return kRate / (lag + shift);
}

double cents(double hz, double ref) { return 1200.0 * std::log2(hz / ref); }

TEST(Sing, TheVowelLandsOnTheBeatAndItsOnsetComesBefore) {
  // A fricative, a voiceless stop (its aspiration before the beat too) and
  // a cluster, each after a rest.
  const Sung r = sing({{0.3f, 0.5f, 147.0f, "S AA1"},
                       {1.4f, 0.5f, 147.0f, "K AA1"},
                       {2.5f, 0.5f, 147.0f, "S T R AA1"}});
  ASSERT_GT(r.origin, 0.0f);
  for (float start : {0.3f, 1.4f, 2.5f}) {
    const float beat = r.origin + start;
    const float vowel = first_time(r, [&](const std::vector<float> &f) {
      return f[0] > beat - 0.3f && f[2] == phoneme("AA");
    });
    const float voiced = first_time(r, [&](const std::vector<float> &f) {
      return f[0] > beat - 0.3f && f[2] == phoneme("AA") && f[51] > 0.5f;
    });
    const float onset = first_time(r, [&](const std::vector<float> &f) {
      return f[0] > beat - 0.4f && f[1] >= 0.0f;
    });
    EXPECT_NEAR(voiced, beat, 0.02) << start;
    EXPECT_LE(vowel, beat + 0.002f) << start;
    EXPECT_LT(onset, beat - 0.04f) << start; // the consonants' own time
    if (start > 2.0f)
      continue; // the voiced R before it is as loud as the vowel
    // The energy rise in the audio follows: the aspirated and fricative
    // onsets are weaker than the vowel.
    const auto rms = [&](float from) {
      double sum = 0;
      const int a = static_cast<int>(from * kRate), n = 480;
      for (int i = a; i < a + n; ++i)
        sum += r.audio[i] * r.audio[i];
      return std::sqrt(sum / n);
    };
    EXPECT_GT(rms(beat + 0.02f), 1.5 * rms(beat - 0.03f)) << start;
  }
}

TEST(Sing, AHeldNoteKeepsItsPitchAndVibratoHasItsRateAndDepth) {
  for (float hz : {98.0f, 220.0f}) {
    const Sung r = sing({{0.0f, 1.2f, hz, "AA1"}});
    for (double at = 0.25; at < 1.0; at += 0.1)
      EXPECT_NEAR(pitch_at(r.audio, r.origin + at), hz, 0.01 * hz) << at;
  }
  // With vibrato: none during its delay, then a swing of about +-40 cents
  // at about 5.5 Hz around the note.
  const double hz = 165.0;
  const Sung r = sing({{0.0f, 2.0f, static_cast<float>(hz), "AA1"}}, 40.0f);
  const double early = cents(pitch_at(r.audio, r.origin + 0.12), hz);
  EXPECT_LT(std::fabs(early), 8.0);
  std::vector<double> track;
  for (double at = 0.8; at < 1.9; at += 0.005)
    track.push_back(cents(pitch_at(r.audio, r.origin + at), hz));
  const auto [lo, hi] = std::minmax_element(track.begin(), track.end());
  EXPECT_NEAR((*hi - *lo) / 2.0, 40.0, 10.0);
  double mean = 0;
  for (double c : track)
    mean += c;
  mean /= static_cast<double>(track.size());
  EXPECT_LT(std::fabs(mean), 10.0);
  int crossings = 0;
  for (size_t i = 1; i < track.size(); ++i)
    if ((track[i - 1] - mean < 0) != (track[i] - mean < 0))
      ++crossings;
  const double rate = crossings / 2.0 / (0.005 * track.size());
  EXPECT_NEAR(rate, 5.5, 0.8);
}

TEST(Sing, AMelismaHoldsOneVowelAcrossItsNotes) {
  const Sung r = sing({{0.0f, 0.4f, 147.0f, "L AA1 V"},
                       {0.4f, 0.4f, 165.0f, "_"},
                       {0.8f, 0.4f, 196.0f, "-"}});
  // One vowel phone from the first beat to the coda near the end, at each
  // note's pitch in its middle.
  std::vector<float> serials;
  for (const auto &f : r.frames)
    if (f[0] > r.origin + 0.02f && f[0] < r.origin + 1.05f)
      serials.push_back(f[1]);
  ASSERT_FALSE(serials.empty());
  EXPECT_EQ(*std::min_element(serials.begin(), serials.end()),
            *std::max_element(serials.begin(), serials.end()));
  const float coda = first_time(
      r, [&](const std::vector<float> &f) { return f[2] == phoneme("V"); });
  EXPECT_GT(coda, r.origin + 1.05f);
  EXPECT_LT(coda, r.origin + 1.2f);
  const double hz[] = {147.0, 165.0, 196.0};
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(pitch_at(r.audio, r.origin + 0.4 * i + 0.2), hz[i],
                0.01 * hz[i])
        << i;
}

TEST(Sing, LegatoNotesGlideWithoutAClick) {
  const Sung r = sing({{0.0f, 0.5f, 131.0f, "AA1"},
                       {0.5f, 0.5f, 175.0f, "_"},
                       {1.0f, 0.5f, 147.0f, "L AA1"}});
  const auto largest_step = [&](double from, double to) {
    float m = 0;
    const size_t a = static_cast<size_t>((r.origin + from) * kRate);
    const size_t b = static_cast<size_t>((r.origin + to) * kRate);
    for (size_t i = a + 1; i < b; ++i)
      m = std::max(m, std::fabs(r.audio[i] - r.audio[i - 1]));
    return m;
  };
  const float held = std::max(largest_step(0.15, 0.45), largest_step(0.6, 0.9));
  EXPECT_LE(largest_step(0.45, 0.55), 1.25f * held);
  EXPECT_LE(largest_step(0.9, 1.1), 1.25f * held);
  // Halfway through the glide the pitch is between the notes.
  const double mid = pitch_at(r.audio, r.origin + 0.5);
  EXPECT_GT(mid, 131.0 * 1.03);
  EXPECT_LT(mid, 175.0 / 1.03);
}

TEST(Sing, ARestTakesABreathAndPhrasesQueueWhileSinging) {
  tractwave_speaker *s = tractwave_speaker_create(0, kRate, 0);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(tractwave_speaker_set_vibrato(s, 5.5f, 0.0f, 0.25f), 0);
  ASSERT_EQ(tractwave_speaker_add_note(s, 0.0f, 0.5f, 147.0f, 1.0f, "N OW1", 0),
            0);
  ASSERT_EQ(tractwave_speaker_add_note(s, 1.2f, 0.5f, 147.0f, 1.0f, "M AY1", 0),
            0);
  float first = -1.0f, second = -1.0f;
  ASSERT_EQ(tractwave_speaker_sing(s, &first), 0);
  std::vector<float> block(480);
  float frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  bool breath = false;
  int frames = 0;
  for (; frames < 100; ++frames) { // one second in
    tractwave_speaker_render(s, block.data(), 480);
    tractwave_speaker_frame(s, frame);
    if (frame[2] == phoneme("HH") && frame[0] > first + 0.5f &&
        frame[0] < first + 1.2f)
      breath = true;
  }
  ASSERT_EQ(tractwave_speaker_add_note(s, 0.0f, 0.4f, 196.0f, 1.0f, "L AA1", 0),
            0);
  ASSERT_EQ(tractwave_speaker_sing(s, &second), 0);
  EXPECT_GE(second, first + 1.7f);
  EXPECT_LT(second, first + 1.9f);
  bool sang_second = false;
  for (; frames < 400; ++frames) {
    tractwave_speaker_render(s, block.data(), 480);
    tractwave_speaker_frame(s, frame);
    if (frame[2] == phoneme("AA") && frame[0] > second)
      sang_second = true;
    if (frame[2] == phoneme("HH") && frame[0] > first + 0.5f &&
        frame[0] < first + 1.2f)
      breath = true;
  }
  EXPECT_TRUE(breath);
  EXPECT_TRUE(sang_second);
  EXPECT_EQ(tractwave_speaker_pending(s), 0);
  tractwave_speaker_destroy(s);
}

TEST(Sing, PhrasesQueuedOnAnotherThreadAreAllSung) {
  // A small queue, so that the producer meets a full one and retries while
  // the renderer sings.
  tractwave_speaker *s = tractwave_speaker_create(1, 44100.0f, 32);
  ASSERT_NE(s, nullptr);
  constexpr int kPhrases = 12;
  std::atomic<int> queued{0};
  std::thread producer([&] {
    for (int i = 0; i < kPhrases; ++i) {
      tractwave_speaker_add_note(s, 0.0f, 0.15f, 262.0f, 1.0f, "L AA1", 0);
      tractwave_speaker_add_note(s, 0.15f, 0.15f, 294.0f, 1.0f, "_", 0);
      tractwave_speaker_add_note(s, 0.3f, 0.15f, 330.0f, 1.0f, "M IY1 N", 0);
      while (tractwave_speaker_sing(s, nullptr) == TRACTWAVE_SPEECH_QUEUE_FULL)
        std::this_thread::yield();
      ++queued;
    }
  });
  std::vector<float> out(441);
  float frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  float last_serial = -1.0f;
  int rendered = 0;
  // However slowly the producer runs (a loaded machine, an emulator), the
  // renderer waits for it in silence, for at most ten minutes of audio.
  while ((queued < kPhrases || tractwave_speaker_pending(s) > 0) &&
         rendered < 60000) {
    if (tractwave_speaker_pending(s) == 0)
      std::this_thread::yield();
    tractwave_speaker_render(s, out.data(), 441);
    tractwave_speaker_frame(s, frame);
    last_serial = std::max(last_serial, frame[1]);
    ++rendered;
  }
  producer.join();
  // Every phrase's five phones (L AA, then M IY N) were sung.
  EXPECT_EQ(last_serial, 5.0f * kPhrases - 1.0f);
  tractwave_speaker_destroy(s);
}

TEST(Sing, VelocitySetsTheLevel) {
  // The same held vowel at velocity 1 and 0.5: 6 dB apart in its middle.
  double rms[2];
  for (int k = 0; k < 2; ++k) {
    tractwave_speaker *s = tractwave_speaker_create(0, kRate, 0);
    ASSERT_NE(s, nullptr);
    float origin = 0;
    ASSERT_EQ(
        tractwave_speaker_add_note(s, 0, 1.0f, 147, k ? 0.5f : 1.0f, "AA1", 0),
        0);
    ASSERT_EQ(tractwave_speaker_sing(s, &origin), 0);
    std::vector<float> x(static_cast<size_t>((origin + 1.0f) * kRate));
    tractwave_speaker_render(s, x.data(), static_cast<int>(x.size()));
    double sum = 0;
    const size_t from = static_cast<size_t>((origin + 0.3f) * kRate);
    for (size_t i = from; i < from + 24000; ++i)
      sum += x[i] * x[i];
    rms[k] = std::sqrt(sum / 24000);
    tractwave_speaker_destroy(s);
  }
  EXPECT_NEAR(20 * std::log10(rms[1] / rms[0]), -6.0, 1.0);
}

// Every held vowel, diphthongs by their first vowel, at a vowel's level: a
// sung "day" is as loud as a sung "da".
TEST(Sing, HeldVowelsAreAtOneLevel) {
  const auto level = [](const char *syllable) {
    const Sung r = sing({{0.0f, 1.0f, 147.0f, syllable}});
    const size_t from = static_cast<size_t>((r.origin + 0.3f) * kRate);
    double sum = 0;
    for (size_t i = from; i < from + 24000; ++i)
      sum += static_cast<double>(r.audio[i]) * r.audio[i];
    return 10 * std::log10(sum / 24000);
  };
  const double aa = level("L AA1");
  for (const char *s : {"L EY1", "L OW1", "L AY1", "L IY1", "L UW1", "L EH1"})
    EXPECT_NEAR(level(s), aa, 6.0) << s;
}

// A song's times, worked out in double and handed over in float, follow one
// another even where float cannot hold them exactly (at 32 s a float is
// 4 us apart); a millisecond's overlap there is still two notes at once.
TEST(Sing, NotesEndToEndInFloatFollowOneAnother) {
  tractwave_speaker *s = tractwave_speaker_create(0, kRate, 4096);
  ASSERT_NE(s, nullptr);
  const double beat = 60.0 / 144.0;
  for (int k = 0; k < 120; ++k)
    ASSERT_EQ(tractwave_speaker_add_note(s, static_cast<float>(k * beat),
                                         static_cast<float>(beat), 220, 1,
                                         "L AA1", 0),
              0)
        << k;
  const float end = static_cast<float>(120 * beat);
  EXPECT_EQ(tractwave_speaker_add_note(s, end - 0.001f, 0.5f, 220, 1, "AA", 0),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  tractwave_speaker_destroy(s);
}

TEST(Sing, NotesThatCannotBeSungAreRefused) {
  tractwave_speaker *s = tractwave_speaker_create(0, kRate, 16);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(tractwave_speaker_add_note(s, 0, 0.5f, 220, 1, "_", 0),
            TRACTWAVE_SPEECH_BAD_ARGUMENT); // a melisma first
  EXPECT_EQ(tractwave_speaker_add_note(s, 0, 0.5f, 220, 1, "L AA1 XX", 0),
            TRACTWAVE_SPEECH_UNKNOWN_PHONEME);
  EXPECT_EQ(tractwave_speaker_error_offset(s), 6);
  EXPECT_EQ(tractwave_speaker_add_note(s, 0, 0.5f, 220, 1, " , ", 0),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  for (float bad : {NAN, 0.0f, -1.0f, 1e9f}) {
    EXPECT_EQ(tractwave_speaker_add_note(s, 0, bad, 220, 1, "AA", 0),
              TRACTWAVE_SPEECH_BAD_ARGUMENT);
    EXPECT_EQ(tractwave_speaker_add_note(s, 0, 0.5f, bad, 1, "AA", 0),
              TRACTWAVE_SPEECH_BAD_ARGUMENT);
    EXPECT_EQ(tractwave_speaker_add_note(s, 0, 0.5f, 220, bad, "AA", 0),
              TRACTWAVE_SPEECH_BAD_ARGUMENT);
  }
  EXPECT_EQ(tractwave_speaker_add_note(s, 0, 0.5f, 220, 1, "AA", 0), 0);
  // Overlapping the note before: one voice sings one note at a time.
  EXPECT_EQ(tractwave_speaker_add_note(s, 0.4f, 0.5f, 220, 1, "AA", 0),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_add_note(s, 0.5f, 0.5f, 220, 1, "S T R AA", 0),
            0);
  // More phones than the capacity of 16.
  EXPECT_EQ(tractwave_speaker_add_note(s, 1.0f, 0.5f, 220, 1,
                                       "S T R AA N G S T R AA N G", 0),
            TRACTWAVE_SPEECH_TOO_LONG);
  EXPECT_EQ(tractwave_speaker_set_vibrato(s, 30, 40, 0.2f),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_set_portamento(s, -0.1f),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_sing(nullptr, nullptr),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_sing(s, nullptr), 0);
  EXPECT_EQ(tractwave_speaker_pending(s), 5);
  tractwave_speaker_destroy(s);
}

TEST(Sing, WordsSplitIntoSyllablesAtLegalOnsets) {
  const auto split = [](const char *word) {
    char out[128];
    const int n = tractwave_speech_syllables(word, out, sizeof out, nullptr);
    return n < 0 ? std::to_string(n) : std::string(out);
  };
  EXPECT_EQ(split("D EY1 Z IY0"), "D EY1 - Z IY0");
  EXPECT_EQ(split("AH0 S T R EY1 L Y AH0"), "AH0 - S T R EY1 L - Y AH0");
  EXPECT_EQ(split("B AY1 S IH0 K AH0 L"), "B AY1 - S IH0 - K AH0 L");
  EXPECT_EQ(split("S IH1 NG ER0"), "S IH1 NG - ER0");
  EXPECT_EQ(split("B EH1 L | F AO1 R"), "B EH1 L - F AO1 R");
  EXPECT_EQ(split("S T R"), "S T R");
  EXPECT_EQ(split("D EY1 XX"),
            std::to_string(TRACTWAVE_SPEECH_UNKNOWN_PHONEME));
  EXPECT_NEAR(tractwave_speech_note_hz(69), 440.0f, 1e-3f);
  EXPECT_NEAR(tractwave_speech_note_hz(60.5f), 269.29f, 0.01f);
  EXPECT_EQ(tractwave_speech_note_hz(NAN), 0.0f);
}

} // namespace
