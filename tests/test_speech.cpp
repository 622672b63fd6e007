// The speech library through its C API: what a speaker says, how it fails,
// and the lexicon that turns words into phonemes.
#include "tractwave_speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct SpeakerDeleter {
  void operator()(tractwave_speaker *s) const { tractwave_speaker_destroy(s); }
};
using Speaker = std::unique_ptr<tractwave_speaker, SpeakerDeleter>;

struct LexiconDeleter {
  void operator()(tractwave_lexicon *l) const { tractwave_lexicon_destroy(l); }
};
using Lexicon = std::unique_ptr<tractwave_lexicon, LexiconDeleter>;

Speaker make(int voice = TRACTWAVE_SPEECH_MALE, float rate = 48000.0f) {
  Speaker s(tractwave_speaker_create(voice, rate, 0));
  EXPECT_NE(s, nullptr);
  return s;
}

// Everything a speaker says for one text, rendered in blocks of `block`
// samples, up to the end of its speech.
std::vector<float> say(tractwave_speaker *s, const char *text, int block = 480,
                       int notation = TRACTWAVE_SPEECH_ARPABET) {
  EXPECT_EQ(tractwave_speaker_queue(s, text, notation), TRACTWAVE_SPEECH_OK);
  std::vector<float> out, buf(static_cast<size_t>(block));
  // (At most ten minutes of speech.)
  for (int64_t guard = 0; guard < 48000LL * 600 / block; ++guard) {
    const int n = tractwave_speaker_render(s, buf.data(), block);
    out.insert(out.end(), buf.begin(), buf.begin() + n);
    if (n < block)
      break;
  }
  return out;
}

std::vector<float> say(const char *text, int voice = TRACTWAVE_SPEECH_MALE,
                       float rate = 48000.0f, int block = 480) {
  Speaker s = make(voice, rate);
  return say(s.get(), text, block);
}

double rms(const std::vector<float> &x, size_t from, size_t to) {
  double sum = 0.0;
  for (size_t i = from; i < to && i < x.size(); ++i)
    sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum / static_cast<double>(std::max<size_t>(1, to - from)));
}

const char *kSentence = "DH AH0 | K W IH1 K | B R AW1 N | F AA1 K S , "
                        "JH AH1 M P S | OW1 V ER0 | DH AH0 | L EY1 Z IY0 | "
                        "D AO1 G ?";

TEST(Speaker, CreateRefusesBadArguments) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(tractwave_speaker_create(-1, 48000.0f, 0), nullptr);
  EXPECT_EQ(tractwave_speaker_create(3, 48000.0f, 0), nullptr);
  EXPECT_EQ(tractwave_speaker_create(0, 7999.0f, 0), nullptr);
  EXPECT_EQ(tractwave_speaker_create(0, 768001.0f, 0), nullptr);
  EXPECT_EQ(tractwave_speaker_create(0, nan, 0), nullptr);
  EXPECT_EQ(tractwave_speaker_create(0, 48000.0f, -1), nullptr);
  EXPECT_EQ(tractwave_speaker_create(0, 48000.0f, 15), nullptr);
  EXPECT_EQ(tractwave_speaker_create(0, 48000.0f, 1048577), nullptr);
  Speaker ok(tractwave_speaker_create(0, 8000.0f, 16));
  EXPECT_NE(ok, nullptr);
}

TEST(Speaker, CallsWithBadArgumentsChangeNothing) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  float buf[16], frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  EXPECT_EQ(tractwave_speaker_queue(nullptr, "AA1", 0),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_render(nullptr, buf, 16),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_set_speed(nullptr, 1.0f),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_frame(nullptr, frame),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_pending(nullptr), TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_error_offset(nullptr), -1);
  tractwave_speaker_destroy(nullptr);

  Speaker s = make();
  EXPECT_EQ(tractwave_speaker_queue(s.get(), nullptr, 0),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "AA1", 2),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_render(s.get(), nullptr, 16),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_speaker_render(s.get(), buf, -1),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  for (float bad : {0.0f, 0.2f, 4.5f, nan}) {
    EXPECT_EQ(tractwave_speaker_set_speed(s.get(), bad),
              TRACTWAVE_SPEECH_BAD_ARGUMENT);
    EXPECT_EQ(tractwave_speaker_set_pitch(s.get(), bad),
              TRACTWAVE_SPEECH_BAD_ARGUMENT);
  }
  EXPECT_EQ(tractwave_speaker_render(s.get(), buf, 0), 0);
  // After all that, the speaker speaks as a new one does.
  EXPECT_EQ(say(s.get(), kSentence), say(kSentence));
}

TEST(Speaker, UnknownPhonemesRefuseTheWholeTextAndSayWhere) {
  Speaker s = make();
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "HH AH0 L XX1 OW1", 0),
            TRACTWAVE_SPEECH_UNKNOWN_PHONEME);
  EXPECT_EQ(tractwave_speaker_error_offset(s.get()), 9);
  EXPECT_EQ(tractwave_speaker_pending(s.get()), 0);
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "AA12", 0),
            TRACTWAVE_SPEECH_UNKNOWN_PHONEME);
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "h\xc9\x99l\xcb\x88o\xca\x8a $",
                                    TRACTWAVE_SPEECH_IPA),
            TRACTWAVE_SPEECH_UNKNOWN_PHONEME);
  EXPECT_EQ(tractwave_speaker_error_offset(s.get()), 10);
  // Bytes that are not UTF-8 are not phonemes either.
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "\xff\xfe", TRACTWAVE_SPEECH_IPA),
            TRACTWAVE_SPEECH_UNKNOWN_PHONEME);
  // Nothing was queued: the speaker is silent.
  float buf[480];
  EXPECT_EQ(tractwave_speaker_render(s.get(), buf, 480), 0);
  // A good text clears the offset.
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "AA1", 0), TRACTWAVE_SPEECH_OK);
  EXPECT_EQ(tractwave_speaker_error_offset(s.get()), -1);
}

TEST(Speaker, SilentUntilSpokenToAndAfterwards) {
  Speaker s = make();
  std::vector<float> buf(4800, 1.0f);
  EXPECT_EQ(tractwave_speaker_render(s.get(), buf.data(), 4800), 0);
  for (float x : buf)
    ASSERT_EQ(x, 0.0f);
  // Text without phonemes is accepted and changes nothing.
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "", 0), TRACTWAVE_SPEECH_OK);
  EXPECT_EQ(tractwave_speaker_queue(s.get(), " | , . ", 0),
            TRACTWAVE_SPEECH_OK);
  EXPECT_EQ(tractwave_speaker_render(s.get(), buf.data(), 4800), 0);
  // Speech, then exact silence once it has died away.
  const std::vector<float> speech = say(s.get(), "S IY1 .");
  EXPECT_GT(speech.size(), 4800u);
  std::fill(buf.begin(), buf.end(), 1.0f);
  EXPECT_EQ(tractwave_speaker_render(s.get(), buf.data(), 4800), 0);
  for (float x : buf)
    ASSERT_EQ(x, 0.0f);
  EXPECT_EQ(tractwave_speaker_pending(s.get()), 0);
}

TEST(Speaker, OutputIsBoundedAndAtTheDocumentedLevel) {
  for (int voice : {TRACTWAVE_SPEECH_MALE, TRACTWAVE_SPEECH_FEMALE,
                    TRACTWAVE_SPEECH_CHILD}) {
    const std::vector<float> y = say(kSentence, voice, 44100.0f);
    float peak = 0.0f;
    for (float x : y) {
      ASSERT_TRUE(std::isfinite(x));
      peak = std::max(peak, std::fabs(x));
    }
    EXPECT_LE(peak, 0.95f) << voice;
    EXPECT_GT(peak, 0.05f) << voice;
  }
  // A vowel, past its onset and before its final fall: near -26 dBFS RMS.
  const std::vector<float> a = say("AA1 .");
  const double level = 20.0 * std::log10(rms(a, 4800, 12000));
  EXPECT_NEAR(level, -26.0, 3.0);
}

TEST(Speaker, TheSameTextGivesTheSameSamplesHoweverItIsRendered) {
  const std::vector<float> whole = say(kSentence, 0, 48000.0f, 480);
  EXPECT_EQ(say(kSentence, 0, 48000.0f, 1), whole);
  EXPECT_EQ(say(kSentence, 0, 48000.0f, 4097), whole);
  // Resampled output too.
  EXPECT_EQ(say(kSentence, TRACTWAVE_SPEECH_CHILD, 22050.0f, 7),
            say(kSentence, TRACTWAVE_SPEECH_CHILD, 22050.0f, 1000));
}

TEST(Speaker, TextQueuedWhileSpeakingFollowsOnWithoutAGap) {
  // A text and its continuation queued while the first part is spoken: the
  // speaker talks on through the join, and the whole takes as long as the
  // two parts queued at once (a part without final punctuation leaves its
  // phrase open, so its last syllable is not lengthened as a phrase end).
  const std::vector<float> whole = say("HH AH0 L OW1 | W ER1 L D .");
  Speaker s = make();
  ASSERT_EQ(tractwave_speaker_queue(s.get(), "HH AH0 L OW1 |", 0), 0);
  std::vector<float> out(4800);
  ASSERT_EQ(tractwave_speaker_render(s.get(), out.data(), 4800), 4800);
  const std::vector<float> rest = say(s.get(), "W ER1 L D .", 48);
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_NEAR(static_cast<double>(out.size()),
              static_cast<double>(whole.size()), 0.01 * whole.size());
  // No stretch of silence before the final pause (the last half second).
  for (size_t at = 2400; at + 24000 < out.size(); at += 480)
    EXPECT_GT(rms(out, at, at + 480), 1e-4) << at;
}

TEST(Speaker, AFullQueueRefusesTextUntilThereIsRoom) {
  Speaker s(tractwave_speaker_create(0, 48000.0f, 16));
  ASSERT_NE(s, nullptr);
  const char *twelve = "S EH1 V AH0 N | S EH1 V AH0 N | AA1 AA1";
  EXPECT_EQ(tractwave_speaker_queue(s.get(), twelve, 0), TRACTWAVE_SPEECH_OK);
  EXPECT_EQ(tractwave_speaker_pending(s.get()), 12);
  EXPECT_EQ(tractwave_speaker_queue(s.get(), "S EH1 V AH0 N", 0),
            TRACTWAVE_SPEECH_QUEUE_FULL);
  // A text larger than the whole queue never fits, and says so rather than
  // being full for ever.
  std::string huge;
  for (int i = 0; i < 20; ++i)
    huge += "AA1 ";
  float buf[480];
  int rounds = 0;
  while (tractwave_speaker_queue(s.get(), "S EH1 V AH0 N", 0) ==
         TRACTWAVE_SPEECH_QUEUE_FULL) {
    ASSERT_EQ(tractwave_speaker_render(s.get(), buf, 480), 480);
    ASSERT_LT(++rounds, 10000);
  }
  EXPECT_GT(rounds, 0);
  EXPECT_EQ(tractwave_speaker_queue(s.get(), huge.c_str(), 0),
            TRACTWAVE_SPEECH_TOO_LONG);
}

TEST(Speaker, SpeedAndPitchApplyToWhatIsQueuedNext) {
  const size_t normal = say("S EH1 V AH0 N .").size();
  Speaker fast = make();
  ASSERT_EQ(tractwave_speaker_set_speed(fast.get(), 2.0f), 0);
  const size_t quick = say(fast.get(), "S EH1 V AH0 N .").size();
  EXPECT_LT(quick, normal * 0.7);
  EXPECT_GT(quick, normal * 0.4);

  // The pitch shows in the controls the speaker hands the engine.
  const auto mean_f0 = [](float factor) {
    Speaker s = make();
    tractwave_speaker_set_pitch(s.get(), factor);
    tractwave_speaker_queue(s.get(), "AA1 AA1 AA1 ,", 0);
    float buf[48], frame[TRACTWAVE_SPEECH_FRAME_SIZE];
    double sum = 0.0;
    int count = 0;
    while (tractwave_speaker_render(s.get(), buf, 48) == 48) {
      tractwave_speaker_frame(s.get(), frame);
      if (frame[2] >= 0 && frame[4] > 0.0f) {
        sum += frame[3];
        ++count;
      }
    }
    return sum / std::max(count, 1);
  };
  const double low = mean_f0(1.0f), high = mean_f0(1.5f);
  EXPECT_GT(low, 90.0);
  EXPECT_LT(low, 140.0);
  EXPECT_NEAR(high / low, 1.5, 0.01);
}

TEST(Speaker, FramesFollowThePhonemesSpoken) {
  Speaker s = make();
  float frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  ASSERT_EQ(tractwave_speaker_frame(s.get(), frame), 0);
  EXPECT_EQ(frame[1], -1.0f);
  ASSERT_EQ(tractwave_speaker_queue(s.get(), "M AA1 .", 0), 0);
  float buf[48];
  std::string heard;
  bool velum_open_in_m = false, lips_shut_in_m = false;
  while (tractwave_speaker_render(s.get(), buf, 48) == 48) {
    tractwave_speaker_frame(s.get(), frame);
    const char *name =
        tractwave_speech_phoneme_name(static_cast<int>(frame[2]));
    if (name && (heard.empty() || heard.back() != name[0]))
      heard += name[0];
    if (name && std::strcmp(name, "M") == 0) {
      velum_open_in_m |= frame[7] > 0.5f;
      lips_shut_in_m |= frame[10 + 24] < 0.1f;
    }
  }
  EXPECT_EQ(heard, "MA_");
  EXPECT_TRUE(velum_open_in_m);
  EXPECT_TRUE(lips_shut_in_m);
  EXPECT_EQ(tractwave_speech_phoneme_name(-1), nullptr);
  EXPECT_EQ(tractwave_speech_phoneme_name(1000), nullptr);
  EXPECT_STREQ(tractwave_speech_result_text(TRACTWAVE_SPEECH_QUEUE_FULL),
               "queue full");
}

// The RMS (dB) under 500 Hz of what a speaker says while the named phoneme
// is being spoken, from 20 ms into it (past the ringing of the vowel
// before).
double low_band_db_during(const char *text, const char *phoneme) {
  Speaker s = make();
  EXPECT_EQ(tractwave_speaker_queue(s.get(), text, 0), 0);
  float buf[48], frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  // Two one-pole low-passes at 500 Hz.
  const float a = 1.0f - std::exp(-2.0f * 3.14159265f * 500.0f / 48000.0f);
  float y1 = 0.0f, y2 = 0.0f;
  double sum = 0.0;
  int count = 0, in_phoneme = 0;
  while (tractwave_speaker_render(s.get(), buf, 48) == 48) {
    tractwave_speaker_frame(s.get(), frame);
    const char *name =
        tractwave_speech_phoneme_name(static_cast<int>(frame[2]));
    in_phoneme = name && std::strcmp(name, phoneme) == 0 ? in_phoneme + 48 : 0;
    const bool during = in_phoneme > 960;
    for (float x : buf) {
      y1 += a * (x - y1);
      y2 += a * (y1 - y2);
      if (during) {
        sum += static_cast<double>(y2) * y2;
        ++count;
      }
    }
  }
  EXPECT_GT(count, 0) << phoneme;
  return 10.0 * std::log10(sum / std::max(count, 1) + 1e-30);
}

TEST(Speaker, VoicedObstruentsKeepTheirVoicingThroughTheConstriction) {
  // A shut or narrow tract radiates little of the voice; a talker's voiced
  // closures and fricatives still carry it low down, voiceless ones do not.
  const char *pairs[][4] = {{"AA1 B AA1 .", "B", "AA1 P AA1 .", "P"},
                            {"AA1 D AA1 .", "D", "AA1 T AA1 .", "T"},
                            {"AA1 V AA1 .", "V", "AA1 F AA1 .", "F"},
                            {"AA1 Z AA1 .", "Z", "AA1 S AA1 .", "S"}};
  for (const auto &p : pairs)
    EXPECT_GT(low_band_db_during(p[0], p[1]),
              low_band_db_during(p[2], p[3]) + 10.0)
        << p[1];
}

// The RMS (dB) at 2-3 kHz, where F2 and F3 of /ae/ lie, of what a speaker
// says over the frames `pick` chooses.
template <typename Pick> double f2_f3_band_db(const char *text, Pick pick) {
  Speaker s = make();
  EXPECT_EQ(tractwave_speaker_queue(s.get(), text, 0), 0);
  float buf[48], frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  // A band-pass biquad at 2.45 kHz, Q 2.4 (about 2-3 kHz).
  const double w = 2.0 * 3.14159265358979 * 2450.0 / 48000.0;
  const double alpha = std::sin(w) / (2.0 * 2.4), a0 = 1.0 + alpha;
  const double b0 = alpha / a0, a1 = -2.0 * std::cos(w) / a0,
               a2 = (1.0 - alpha) / a0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0, sum = 0;
  int count = 0;
  while (tractwave_speaker_render(s.get(), buf, 48) == 48) {
    tractwave_speaker_frame(s.get(), frame);
    const bool during = pick(frame);
    for (float x : buf) {
      const double y = b0 * x - b0 * x2 - a1 * y1 - a2 * y2;
      x2 = x1, x1 = x, y2 = y1, y1 = y;
      if (during) {
        sum += y * y;
        ++count;
      }
    }
  }
  EXPECT_GT(count, 0) << text;
  return 10.0 * std::log10(sum / std::max(count, 1) + 1e-30);
}

TEST(Speaker, AStopsAspirationIsNoLouderThanItsVowelWhereTheFormantsAre) {
  // Aspiration is the vowel's tract excited by noise: in a talker it stands
  // no higher than the voiced vowel at F2 and F3. At twice the strength
  // (4 dB over the vowel here) "candle" was heard as "window"; now it is
  // within a dB of the vowel.
  const auto aspirated = [](const float *f) {
    return f[TRACTWAVE_SPEECH_FRAME_ASPIRATION] > 0.1f &&
           f[TRACTWAVE_SPEECH_FRAME_VOICING] < 0.1f;
  };
  const auto voiced = [](const float *f) {
    const char *name = tractwave_speech_phoneme_name(
        static_cast<int>(f[TRACTWAVE_SPEECH_FRAME_PHONEME]));
    return name && std::strcmp(name, "AE") == 0 &&
           f[TRACTWAVE_SPEECH_FRAME_VOICING] > 0.9f;
  };
  for (const char *text : {"K AE1 T .", "P AE1 T .", "T AE1 P ."})
    EXPECT_LT(f2_f3_band_db(text, aspirated), f2_f3_band_db(text, voiced) + 2.0)
        << text;
}

// The phonemes a speaker's frames name while it says `text`, one letter
// each, repeats merged.
std::string phonemes_spoken(const char *text) {
  Speaker s = make();
  EXPECT_EQ(tractwave_speaker_queue(s.get(), text, 0), 0);
  float buf[48], frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  std::string heard, last;
  while (tractwave_speaker_render(s.get(), buf, 48) == 48) {
    tractwave_speaker_frame(s.get(), frame);
    const char *name = tractwave_speech_phoneme_name(
        static_cast<int>(frame[TRACTWAVE_SPEECH_FRAME_PHONEME]));
    if (name && last != name) {
      last = name;
      heard += (heard.empty() ? "" : " ") + last;
    }
  }
  return heard;
}

TEST(Speaker, TAndDAreTappedBeforeAnUnstressedVowelOfTheirWord) {
  EXPECT_EQ(phonemes_spoken("W AO1 T ER0 ."), "W AO DX ER _");
  EXPECT_EQ(phonemes_spoken("L AE1 D ER0 ."), "L AE DX ER _");
  // Not before a stressed vowel, nor across a word's end or from a
  // consonant.
  EXPECT_EQ(phonemes_spoken("T AH0 D EY1 ."), "T AH D EY _");
  EXPECT_EQ(phonemes_spoken("G EH1 T | IH0 T ."), "G EH T IH T _");
  EXPECT_EQ(phonemes_spoken("W IH1 N T ER0 ."), "W IH N T ER _");
}

TEST(Speaker, NeverDigitallySilentWhileSpeaking) {
  // Closures and the pause between phrases carry a faint floor (listeners
  // and recognisers alike lose their footing in exact zeros); once the
  // speech has died away the output is exact silence again.
  Speaker s = make();
  const std::vector<float> y = say(s.get(), "AA1 T . K AA1 T .");
  size_t run = 0, longest = 0;
  for (float x : y) {
    run = x == 0.0f ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  EXPECT_LT(longest, 8u);
  std::vector<float> after(4800, 1.0f);
  EXPECT_EQ(tractwave_speaker_render(s.get(), after.data(), 4800), 0);
  for (float x : after)
    ASSERT_EQ(x, 0.0f);
}

TEST(Speaker, IpaAndArpabetSaySameThing) {
  Speaker a = make(), b = make();
  const std::vector<float> from_ipa =
      say(a.get(), "h\xc9\x99l\xcb\x88o\xca\x8a w\xcb\x88\xc9\x9dld.", 480,
          TRACTWAVE_SPEECH_IPA);
  const std::vector<float> from_arpabet =
      say(b.get(), "HH AX0 L OW1 | W ER1 L D .", 480);
  EXPECT_EQ(from_ipa, from_arpabet);
}

TEST(Speaker, QueueingOnOneThreadWhileAnotherRenders) {
  // The two sides meet only in the lock-free queue; the thread sanitizer
  // run checks that they share nothing else.
  Speaker s(tractwave_speaker_create(0, 48000.0f, 64));
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < 40; ++i)
      while (tractwave_speaker_queue(s.get(), "S IH1 K S ,", 0) ==
             TRACTWAVE_SPEECH_QUEUE_FULL)
        std::this_thread::yield();
    done = true;
  });
  std::vector<float> buf(480);
  long long speech = 0;
  for (int guard = 0; guard < 200000; ++guard) {
    const int n = tractwave_speaker_render(s.get(), buf.data(), 480);
    speech += n;
    for (float x : buf)
      ASSERT_TRUE(std::isfinite(x));
    if (done && tractwave_speaker_pending(s.get()) == 0 && n == 0)
      break;
  }
  producer.join();
  // 40 times "six" and a short pause: about 40 x 0.55 s.
  EXPECT_GT(speech, 40 * 48000 * 3 / 10);
}

TEST(Lexicon, ReadsTheCmuFormat) {
  Lexicon lex(tractwave_lexicon_create());
  const std::string dict = ";;; a comment\n"
                           "hello HH AH L OW\n"
                           "hello(2) HH EH L OW\n"
                           "\n"
                           "WORLD  W ER1 L D  # American\r\n"
                           "the DH AH0\n"
                           "six S IH1 K S";
  int line = -1;
  ASSERT_EQ(tractwave_lexicon_load(lex.get(), dict.data(),
                                   static_cast<int>(dict.size()), &line),
            TRACTWAVE_SPEECH_OK);
  EXPECT_EQ(line, 0);
  EXPECT_EQ(tractwave_lexicon_count(lex.get()), 4);
  char out[256];
  int offset = 0, length = 0;
  // The first pronunciation wins; stress is inferred where the dictionary
  // gives none (the schwa-like AH is passed over); the words join with |,
  // the punctuation stays, case does not matter.
  const int n = tractwave_lexicon_transcribe(lex.get(), "Hello, WORLD six!",
                                             out, sizeof out, &offset, &length);
  EXPECT_STREQ(out, "HH AH0 L OW1 , W ER1 L D | S IH1 K S !");
  EXPECT_EQ(n, static_cast<int>(std::strlen(out)));
  EXPECT_EQ(offset, -1);
  // A function word in a phrase is reduced; said alone it keeps its stress.
  tractwave_lexicon_add(lex.get(), "of", "AH1 V");
  tractwave_lexicon_transcribe(lex.get(), "six of six", out, sizeof out,
                               nullptr, nullptr);
  EXPECT_STREQ(out, "S IH1 K S | AH0 V | S IH1 K S");
  tractwave_lexicon_transcribe(lex.get(), "of", out, sizeof out, nullptr,
                               nullptr);
  EXPECT_STREQ(out, "AH1 V");
}

TEST(Lexicon, NamesTheFirstUnknownWordAndTheFirstBadLine) {
  Lexicon lex(tractwave_lexicon_create());
  const std::string bad[] = {"hello HH AH L OW\nworld\n",
                             "hello HH AH L OW\nworld W ER1 L XX\n",
                             "hello HH AH L OW\nworld W ER1 , L D\n",
                             std::string("hello HH AH L OW\nwor\0d W\n", 25)};
  for (const std::string &d : bad) {
    int line = 0;
    EXPECT_EQ(tractwave_lexicon_load(lex.get(), d.data(),
                                     static_cast<int>(d.size()), &line),
              TRACTWAVE_SPEECH_MALFORMED)
        << d;
    EXPECT_EQ(line, 2) << d;
  }
  char out[64];
  int offset = 0, length = 0;
  EXPECT_EQ(tractwave_lexicon_transcribe(lex.get(), "hello there hello", out,
                                         sizeof out, &offset, &length),
            TRACTWAVE_SPEECH_UNKNOWN_WORD);
  EXPECT_EQ(offset, 6);
  EXPECT_EQ(length, 5);
  // Quotes written as apostrophes are not part of a word.
  EXPECT_GT(tractwave_lexicon_transcribe(lex.get(), "'hello'", out, sizeof out,
                                         nullptr, nullptr),
            0);
  EXPECT_STREQ(out, "HH AH0 L OW1");
  EXPECT_EQ(tractwave_lexicon_add(lex.get(), "two words", "T UW1"),
            TRACTWAVE_SPEECH_BAD_ARGUMENT);
  EXPECT_EQ(tractwave_lexicon_add(lex.get(), "x", "T QQ"),
            TRACTWAVE_SPEECH_MALFORMED);
}

TEST(Lexicon, MeasuresWhenTheBufferIsTooSmall) {
  Lexicon lex(tractwave_lexicon_create());
  ASSERT_EQ(tractwave_lexicon_add(lex.get(), "seven", "S EH1 V AH0 N"), 0);
  const int need = tractwave_lexicon_transcribe(lex.get(), "seven seven",
                                                nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(need,
            static_cast<int>(std::strlen("S EH1 V AH0 N | S EH1 V AH0 N")));
  char small[8];
  EXPECT_EQ(tractwave_lexicon_transcribe(lex.get(), "seven seven", small,
                                         sizeof small, nullptr, nullptr),
            need);
  EXPECT_STREQ(small, "S EH1 V");
}

TEST(Lexicon, IpaBecomesArpabet) {
  char out[128];
  int offset = 0;
  // espeak-ng's American English for "hello world".
  ASSERT_GT(tractwave_speech_ipa_to_arpabet(
                "h\xc9\x99l\xcb\x88o\xca\x8a w\xcb\x88\xc9\x9c\xcb\x90ld.", out,
                sizeof out, &offset),
            0);
  EXPECT_STREQ(out, "HH AX0 L OW1 | W ER1 L D .");
  // t, tie bar, sh (five bytes), a space, e and small capital i (three).
  EXPECT_EQ(tractwave_speech_ipa_to_arpabet("t\xcd\xa1\xca\x83 e\xc9\xaa #",
                                            out, sizeof out, &offset),
            TRACTWAVE_SPEECH_UNKNOWN_PHONEME);
  EXPECT_EQ(offset, 10);
}

TEST(Lexicon, TenThousandWordsGoThroughTheSpeakerInPieces) {
  Lexicon lex(tractwave_lexicon_create());
  const std::string dict = "six S IH1 K S\nzero Z IH1 R OW0\na AH0\n";
  ASSERT_EQ(tractwave_lexicon_load(lex.get(), dict.data(),
                                   static_cast<int>(dict.size()), nullptr),
            0);
  // Mostly short words, spoken four times as fast as normal, so that the
  // test (which also runs under emulators and sanitizers) renders minutes
  // of speech rather than an hour.
  std::string text;
  for (int i = 0; i < 10000; ++i)
    text += i % 100 == 99 ? "zero. " : (i % 10 == 9 ? "six " : "a ");
  const int need = tractwave_lexicon_transcribe(lex.get(), text.c_str(),
                                                nullptr, 0, nullptr, nullptr);
  ASSERT_GT(need, 0);
  std::string arpabet(static_cast<size_t>(need) + 1, '\0');
  tractwave_lexicon_transcribe(lex.get(), text.c_str(), &arpabet[0], need + 1,
                               nullptr, nullptr);
  // Sentence by sentence, as a host speaks text as it arrives, into a queue
  // that holds a couple of sentences.
  Speaker s(tractwave_speaker_create(0, 48000.0f, 256));
  ASSERT_EQ(tractwave_speaker_set_speed(s.get(), 4.0f), 0);
  std::vector<float> buf(4800);
  size_t start = 0;
  long long samples = 0;
  int sentences = 0;
  while (start < static_cast<size_t>(need)) {
    size_t end = arpabet.find('.', start);
    end = end == std::string::npos ? static_cast<size_t>(need) : end + 1;
    const std::string sentence = arpabet.substr(start, end - start);
    while (tractwave_speaker_queue(s.get(), sentence.c_str(), 0) ==
           TRACTWAVE_SPEECH_QUEUE_FULL)
      samples += tractwave_speaker_render(s.get(), buf.data(), 4800);
    start = end;
    ++sentences;
  }
  int n;
  while ((n = tractwave_speaker_render(s.get(), buf.data(), 4800)) == 4800)
    samples += n;
  samples += n;
  EXPECT_EQ(sentences, 100);
  // Ten thousand words at four times the speed: several minutes.
  EXPECT_GT(samples, 48000LL * 60 * 2);
  EXPECT_EQ(tractwave_speaker_pending(s.get()), 0);
}

} // namespace
