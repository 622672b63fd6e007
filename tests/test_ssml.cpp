// tractwave-say's SSML subset and inline phonemes: what is spoken, how, and
// what is refused.
#include "ssml.h"

#include "text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using tw::say::parse_plain;
using tw::say::parse_ssml;
using tw::say::Segment;
using Kind = Segment::Kind;

std::string words_of(const std::vector<Segment> &segments) {
  std::string out;
  for (const Segment &s : segments)
    if (s.kind == Kind::words) {
      // White space as one space: only the words matter.
      out += "[";
      for (char c : s.text)
        if (c != ' ' || out.back() != ' ')
          out += c;
      out += "]";
    }
  return out;
}

TEST(Ssml, RecognisesDocuments) {
  EXPECT_TRUE(tw::say::is_ssml("<speak>hi</speak>"));
  EXPECT_TRUE(tw::say::is_ssml("  <?xml version=\"1.0\"?>\n<speak version="
                               "\"1.1\">hi</speak>"));
  EXPECT_FALSE(tw::say::is_ssml("hello <speak>"));
  EXPECT_FALSE(tw::say::is_ssml("<speaker>hi</speaker>"));
}

TEST(Ssml, TagsAreNeverSpoken) {
  const auto s = parse_ssml("<speak>Hello <break time=\"500ms\"/> world "
                            "<unknown a='1'>there</unknown><!-- note --> "
                            "<mark name=\"m\"/>now</speak>");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].kind, Kind::words);
  EXPECT_EQ(s[0].text, "Hello ");
  EXPECT_EQ(s[1].kind, Kind::pause);
  EXPECT_DOUBLE_EQ(s[1].pause_seconds, 0.5);
  // The unknown tag's text is spoken, its name and attributes are not.
  EXPECT_EQ(words_of(s), "[Hello ][ world there now]");
  EXPECT_EQ(words_of(parse_ssml("<speak>&lt;a&gt; &amp; &#65;&#x42;</speak>")),
            "[<a> & AB]");
}

TEST(Ssml, BreakTimesAndStrengths) {
  const auto s = parse_ssml("<speak><break time=\"1.5s\"/><break/>"
                            "<break strength=\"x-strong\"/>"
                            "<break strength=\"none\"/></speak>");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_DOUBLE_EQ(s[0].pause_seconds, 1.5);
  EXPECT_DOUBLE_EQ(s[1].pause_seconds, 0.4);
  EXPECT_DOUBLE_EQ(s[2].pause_seconds, 1.2);
  EXPECT_DOUBLE_EQ(s[3].pause_seconds, 0.0);
}

TEST(Ssml, ProsodyNestsAndEnds) {
  const auto s = parse_ssml(
      "<speak>a<prosody rate=\"150%\" pitch=\"+12st\" volume=\"-6dB\">b"
      "<prosody rate=\"slow\" pitch=\"-50%\">c</prosody>d</prosody>e"
      "<emphasis>f</emphasis></speak>");
  ASSERT_EQ(s.size(), 6u);
  EXPECT_DOUBLE_EQ(s[0].rate, 1.0);
  EXPECT_DOUBLE_EQ(s[1].rate, 1.5);
  EXPECT_DOUBLE_EQ(s[1].pitch, 2.0);
  EXPECT_NEAR(s[1].volume, 0.501, 0.001);
  EXPECT_DOUBLE_EQ(s[2].rate, 1.5 * 0.75);
  EXPECT_DOUBLE_EQ(s[2].pitch, 1.0);
  EXPECT_EQ(s[3].text, "d");
  EXPECT_DOUBLE_EQ(s[3].pitch, 2.0);
  EXPECT_EQ(s[4].text, "e");
  EXPECT_DOUBLE_EQ(s[4].volume, 1.0);
  EXPECT_LT(s[5].rate, 1.0);
  EXPECT_GT(s[5].volume, 1.0);
  // Scales stay within what the speaker takes.
  const auto fast = parse_ssml("<speak><prosody rate=\"x-fast\"><prosody "
                               "rate=\"x-fast\"><prosody rate=\"x-fast\">go"
                               "</prosody></prosody></prosody></speak>");
  EXPECT_DOUBLE_EQ(fast[0].rate, 4.0);
}

TEST(Ssml, PhonemesSayAsAndSub) {
  const auto s = parse_ssml(
      "<speak><phoneme alphabet=\"ipa\" "
      "ph=\"t&#x259;m&#x2C8;e&#x26A;to&#x28A;\">"
      "tomato</phoneme><phoneme alphabet=\"x-arpabet\" ph=\"HH AY1\">hi"
      "</phoneme><say-as interpret-as=\"characters\">Ab1</say-as>"
      "<say-as interpret-as=\"digits\">42</say-as>"
      "<sub alias=\"World Wide Web\">WWW</sub></speak>");
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s[0].kind, Kind::ipa);
  EXPECT_EQ(s[0].text, "t\xc9\x99m\xcb\x88"
                       "e\xc9\xaato\xca\x8a");
  EXPECT_EQ(s[1].kind, Kind::arpabet);
  EXPECT_EQ(s[1].text, "HH AY1");
  EXPECT_EQ(s[2].kind, Kind::arpabet);
  EXPECT_EQ(s[2].text, "EY1 | B IY1 | W AH1 N");
  EXPECT_EQ(s[3].text, "F AO1 R | T UW1");
  EXPECT_EQ(s[4].kind, Kind::words);
  EXPECT_EQ(s[4].text, "World Wide Web");
}

TEST(Ssml, RefusesWhatItCannotRead) {
  for (const char *bad :
       {"<speak>hi", "<speak>hi</p></speak>",
        "<speak><break time=\"soon\"/>"
        "</speak>",
        "<speak><break time=\"1000s\"/></speak>",
        "<speak><prosody rate=\"quick\">a</prosody></speak>",
        "<speak><phoneme alphabet=\"sampa\" ph=\"a\">a</phoneme></speak>",
        "<speak><phoneme>a</phoneme></speak>", "<speak>a &nbsp; b</speak>",
        "<speak>a <!-- b</speak>", "<speak><prosody rate=1>a</prosody></speak>",
        "<p>hi</p>"}) {
    EXPECT_THROW(parse_ssml(bad), tw::tool::Error) << bad;
  }
  try {
    parse_ssml("<speak>ok <break time=\"x\"/></speak>");
  } catch (const tw::tool::Error &e) {
    EXPECT_NE(std::string(e.what()).find("byte 10"), std::string::npos)
        << e.what();
  }
}

TEST(InlinePhonemes, PlainTextEscapes) {
  const auto s = parse_plain("Say [[HH AH0 L OW1]] to tractwave.");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].text, "Say ");
  EXPECT_EQ(s[1].kind, Kind::arpabet);
  EXPECT_EQ(s[1].text, "HH AH0 L OW1");
  EXPECT_EQ(s[2].text, " to tractwave.");
  EXPECT_EQ(parse_plain("no escapes here").size(), 1u);
  EXPECT_THROW(parse_plain("a [[HH AH0"), tw::tool::Error);
  // Inside SSML text too.
  EXPECT_EQ(parse_ssml("<speak>a [[B IY1]]</speak>")[1].kind, Kind::arpabet);
}

} // namespace
