// How the speaker behaves at the edges of what it is given: the time that
// queueing takes as texts grow, and the silence after the last phone.
#include "tractwave_speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

struct SpeakerDeleter {
  void operator()(tractwave_speaker *s) const { tractwave_speaker_destroy(s); }
};
using Speaker = std::unique_ptr<tractwave_speaker, SpeakerDeleter>;

// Seconds one queue call takes for `text`, the best of three fresh speakers
// (so that another process on the machine counts as little as it can).
double queue_seconds(const std::string &text) {
  double best = 1e9;
  for (int round = 0; round < 3; ++round) {
    Speaker s(
        tractwave_speaker_create(TRACTWAVE_SPEECH_MALE, 48000.0f, 1048576));
    EXPECT_NE(s, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tractwave_speaker_queue(s.get(), text.c_str(), 0),
              TRACTWAVE_SPEECH_OK);
    const std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

std::string repeated(const char *piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i)
    text += piece;
  return text;
}

TEST(Queue, PlanningTimeIsLinearEvenWithoutVowels) {
  // A long word of consonants alone once made every phone look along the
  // whole text for its syllable.
  // Eight times the text: linear planning takes about eight times as long,
  // quadratic sixty-four; the bound sits between with room for a busy
  // machine and for the larger text falling out of cache.
  const double small = queue_seconds(repeated("B ", 16384));
  const double large = queue_seconds(repeated("B ", 131072));
  EXPECT_LT(small, 1.0);
  EXPECT_LT(large, 24.0 * small + 0.05) << small << " s, then " << large;
  // Ordinary text, for comparison, the same way.
  const double words = queue_seconds(repeated("S IH1 K S | ", 16384));
  EXPECT_LT(words, 1.0);
}

// Renders text queued to `s` in blocks of `block` until the speaker has
// fallen silent; returns the samples of every call, each call's count of
// speech samples in `spoken`.
std::vector<float> render_all(tractwave_speaker *s, int block,
                              std::vector<int> &spoken) {
  std::vector<float> out, buf(static_cast<size_t>(block));
  for (int guard = 0; guard < 100000; ++guard) {
    std::fill(buf.begin(), buf.end(), 1.0f);
    const int n = tractwave_speaker_render(s, buf.data(), block);
    spoken.push_back(n);
    out.insert(out.end(), buf.begin(), buf.end());
    if (n == 0)
      break;
  }
  return out;
}

TEST(Render, EverySampleAfterTheSpeechIsExactlyZero) {
  for (int voice :
       {TRACTWAVE_SPEECH_MALE, TRACTWAVE_SPEECH_FEMALE, TRACTWAVE_SPEECH_CHILD})
    for (float rate : {48000.0f, 44100.0f, 16000.0f})
      for (float speed : {0.5f, 1.0f, 2.5f})
        for (const char *text : {"S IY1 .", "M AE1 N ?", "AA1 T"}) {
          Speaker s(tractwave_speaker_create(voice, rate, 0));
          ASSERT_NE(s, nullptr);
          ASSERT_EQ(tractwave_speaker_set_speed(s.get(), speed), 0);
          ASSERT_EQ(tractwave_speaker_queue(s.get(), text, 0), 0);
          std::vector<int> spoken;
          const int block = 333;
          const std::vector<float> y = render_all(s.get(), block, spoken);
          // The speech ends inside the call before the first silent one.
          ASSERT_GE(spoken.size(), 2u);
          const size_t last = spoken.size() - 2;
          const size_t end = last * block + static_cast<size_t>(spoken[last]);
          ASSERT_GT(end, 0u);
          size_t nonzero = 0;
          for (size_t i = end; i < y.size(); ++i)
            nonzero += y[i] != 0.0f;
          EXPECT_EQ(nonzero, 0u) << "voice " << voice << " at " << rate
                                 << " Hz, speed " << speed << ", " << text;
        }
}

} // namespace
