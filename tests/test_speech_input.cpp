// The speech library at the edges of what it reads: text longer than a
// speaker's queue, and IPA with the diacritics espeak-ng and people write.
#include "tractwave_speech.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string arpabet_of_ipa(const std::string &ipa) {
  int offset = -1;
  const int n =
      tractwave_speech_ipa_to_arpabet(ipa.c_str(), nullptr, 0, &offset);
  if (n < 0)
    return "refused at " + std::to_string(offset);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  tractwave_speech_ipa_to_arpabet(ipa.c_str(), &out[0], n + 1, nullptr);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string repeated(const char *unit, int times) {
  std::string s;
  for (int i = 0; i < times; ++i)
    s += unit;
  return s;
}

TEST(SpeakerCapacity, TextThatCanNeverFitIsRefusedAsTooLong) {
  tractwave_speaker *s =
      tractwave_speaker_create(TRACTWAVE_SPEECH_MALE, 16000.0f, 16);
  ASSERT_NE(s, nullptr);
  // 17 phones into a queue of 16: never "full, try again", even when empty.
  const std::string seventeen = repeated("AA1 ", 17);
  EXPECT_EQ(
      tractwave_speaker_queue(s, seventeen.c_str(), TRACTWAVE_SPEECH_ARPABET),
      TRACTWAVE_SPEECH_TOO_LONG);
  EXPECT_EQ(tractwave_speaker_pending(s), 0);
  EXPECT_STRNE(tractwave_speech_result_text(TRACTWAVE_SPEECH_TOO_LONG),
               tractwave_speech_result_text(TRACTWAVE_SPEECH_QUEUE_FULL));
  // Sixteen fit; while they are queued more is full, and fits once spoken.
  const std::string sixteen = repeated("AA1 ", 16);
  ASSERT_EQ(
      tractwave_speaker_queue(s, sixteen.c_str(), TRACTWAVE_SPEECH_ARPABET),
      TRACTWAVE_SPEECH_OK);
  EXPECT_EQ(tractwave_speaker_queue(s, "B AA1", TRACTWAVE_SPEECH_ARPABET),
            TRACTWAVE_SPEECH_QUEUE_FULL);
  std::vector<float> buf(1600);
  while (tractwave_speaker_render(s, buf.data(), 1600) > 0) {
  }
  EXPECT_EQ(
      tractwave_speaker_queue(s, sixteen.c_str(), TRACTWAVE_SPEECH_ARPABET),
      TRACTWAVE_SPEECH_OK);
  // IPA counts its phones the same way.
  const std::string ipa = repeated("\xc9\x91", 17);
  tractwave_speaker *t =
      tractwave_speaker_create(TRACTWAVE_SPEECH_MALE, 16000.0f, 16);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tractwave_speaker_queue(t, ipa.c_str(), TRACTWAVE_SPEECH_IPA),
            TRACTWAVE_SPEECH_TOO_LONG);
  tractwave_speaker_destroy(t);
  tractwave_speaker_destroy(s);
}

TEST(IpaDiacritics, AccentsAndDiaeresesAreIgnoredLikeOtherDiacritics) {
  // Combining acute and diaeresis, and precomposed vowels, read as the
  // plain vowel, also as the first letter of a diphthong.
  EXPECT_EQ(arpabet_of_ipa("k\xcb\x88o\xcc\x81t"),
            arpabet_of_ipa("k\xcb\x88ot"));
  EXPECT_EQ(arpabet_of_ipa("b\xcb\x88i\xcc\x88t"),
            arpabet_of_ipa("b\xcb\x88it"));
  EXPECT_EQ(arpabet_of_ipa("k\xcb\x88\xc3\xb3t"),
            arpabet_of_ipa("k\xcb\x88ot"));
  EXPECT_EQ(arpabet_of_ipa("n\xcb\x88\xc3\xb5n"),
            arpabet_of_ipa("n\xcb\x88on"));
  EXPECT_EQ(arpabet_of_ipa("b\xcb\x88\xc3\xb3\xca\x8at"),
            arpabet_of_ipa("b\xcb\x88o\xca\x8at"));
  EXPECT_EQ(arpabet_of_ipa("k\xcb\x88ot"), "K OW1 T");
  // What is not a vowel with a diacritic is still refused where it stands.
  EXPECT_EQ(arpabet_of_ipa("k\xc3\xb7t"), "refused at 1");
  EXPECT_EQ(arpabet_of_ipa("\xcc\x81"), "");
}

} // namespace
