// tractwave-sing as a user runs it, and its score readers on their own: a
// small MusicXML score and a small MIDI file each sing at their pitches and
// tempo; files that cannot be sung get one message, exit status 2, and
// leave the output as it was.
#include "score.h"
#include "song.h"
#include "tool_test.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kSource = TRACTWAVE_SOURCE_DIR;

using tw::tool_test::Result;
using tw::tool_test::slurp;
constexpr auto spit = tw::tool_test::write_text;

// A Standard MIDI File of one track: notes (key, beats) one after another
// at 120 beats a minute, each with its lyric (none for an empty string).
struct MidiNote {
  int key;
  double beats;
  std::string lyric;
};

std::string vlq(uint32_t v) {
  std::string s(1, static_cast<char>(v & 0x7f));
  while (v >>= 7)
    s.insert(s.begin(), static_cast<char>(0x80 | (v & 0x7f)));
  return s;
}

std::string be(uint32_t v, int n) {
  std::string s;
  for (int i = n - 1; i >= 0; --i)
    s += static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

std::string smf(const std::vector<MidiNote> &notes, uint32_t us = 500000) {
  std::string track = vlq(0) + "\xff\x51\x03" + be(us, 3);
  for (const MidiNote &n : notes) {
    if (!n.lyric.empty())
      track += vlq(0) + "\xff\x05" +
               vlq(static_cast<uint32_t>(n.lyric.size())) + n.lyric;
    track += vlq(0) + "\x90" + static_cast<char>(n.key) + "\x64";
    track += vlq(static_cast<uint32_t>(n.beats * 480)) + "\x80" +
             static_cast<char>(n.key) + "\x40";
  }
  track += vlq(0) + std::string("\xff\x2f\x00", 3);
  return std::string("MThd") + be(6, 4) + be(0, 2) + be(1, 2) + be(480, 2) +
         "MTrk" + be(static_cast<uint32_t>(track.size()), 4) + track;
}

// The same with two notes sounding at once.
std::string smf_chord() {
  std::string track = vlq(0) + "\xff\x05\x02la" + vlq(0) + "\x90\x30\x64" +
                      vlq(0) + "\x90\x34\x64" + vlq(480) + "\x80\x30\x40" +
                      vlq(0) + "\x80\x34\x40" + vlq(0) +
                      std::string("\xff\x2f\x00", 3);
  return std::string("MThd") + be(6, 4) + be(0, 2) + be(1, 2) + be(480, 2) +
         "MTrk" + be(static_cast<uint32_t>(track.size()), 4) + track;
}

std::string musicxml(const std::string &measures, int tempo = 120) {
  return "<?xml version=\"1.0\"?>\n<score-partwise version=\"4.0\"><part-list>"
         "<score-part id=\"P1\"><part-name>V</part-name></score-part>"
         "</part-list><part id=\"P1\"><measure number=\"1\"><attributes>"
         "<divisions>1</divisions></attributes><direction><sound tempo=\"" +
         std::to_string(tempo) + "\"/></direction>" + measures +
         "</measure></part></score-partwise>\n";
}

std::string xml_note(const char *step, int octave, int beats,
                     const std::string &lyric, const char *extra = "") {
  std::string n = "<note>" + std::string(extra) + "<pitch><step>" + step +
                  "</step><octave>" + std::to_string(octave) +
                  "</octave></pitch><duration>" + std::to_string(beats) +
                  "</duration><voice>1</voice>";
  if (!lyric.empty())
    n += "<lyric><syllabic>single</syllabic><text>" + lyric + "</text></lyric>";
  return n + "</note>";
}

class SingTool : public ::testing::Test {
protected:
  fs::path dir;
  std::string dict; // the test's own words unless set
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "tw_sing_XXXXXX");
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    dir = tmpl;
    // A dictionary of the test's words keeps the runs quick and exact.
    spit(dir / "words.dict", "la L AA1\ndaisy D EY1 Z IY0\ngive G IH1 V\n"
                             "me M IY1\nyour Y AO1 R\n");
  }
  void TearDown() override { fs::remove_all(dir); }

  Result run(const std::vector<std::string> &args) {
    std::string cmd = std::string(TRACTWAVE_SING_EXE) + " -q --dict " +
                      (dict.empty() ? (dir / "words.dict").string() : dict);
    for (const std::string &a : args)
      cmd += " '" + a + "'";
    cmd += " >" + (dir / "out").string() + " 2>" + (dir / "err").string();
    const int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(dir / "out");
    r.err = slurp(dir / "err");
    return r;
  }

  std::vector<float> wav(const fs::path &p) {
    const tw::tool_test::Wav w = tw::tool_test::read_wav(p);
    EXPECT_EQ(w.info.samplerate, 48000);
    return w.samples;
  }

  // Refused: status 2, one line naming the fault, the old output intact.
  void expect_refused(const std::string &score, const std::string &bytes,
                      const std::string &says) {
    spit(dir / score, bytes);
    spit(dir / "out.wav", "keep");
    const Result r =
        run({(dir / score).string(), "-o", (dir / "out.wav").string()});
    EXPECT_EQ(r.status, 2) << score;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("tractwave-sing: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    EXPECT_EQ(slurp(dir / "out.wav"), "keep") << score;
  }
};

// f0 by autocorrelation over 40 ms at `at` seconds.
double pitch_at(const std::vector<float> &x, double at) {
  const int n = 1920, from = static_cast<int>(at * 48000) - n / 2;
  double best = -1;
  int lag_best = 0;
  std::vector<double> c(801, 0.0);
  for (int lag = 80; lag <= 800; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (int i = 0; i < n; ++i) {
      xy += x[from + i] * x[from + i + lag];
      xx += x[from + i] * x[from + i];
      yy += x[from + i + lag] * x[from + i + lag];
    }
    c[lag] = xy / std::sqrt(xx * yy + 1e-20);
    best = std::max(best, c[lag]);
  }
  for (int lag = 81; lag < 800; ++lag)
    if (c[lag] >= 0.9 * best && c[lag] >= c[lag - 1] && c[lag] >= c[lag + 1]) {
      lag_best = lag;
      break;
    }
  const double a = c[lag_best - 1], b = c[lag_best], d = c[lag_best + 1];
  return 48000.0 / (lag_best + 0.5 * (a - d) / (a - 2 * b + d));
}

TEST_F(SingTool, AMusicXmlScoreSingsAtItsPitchesAndTempo) {
  const fs::path score = kSource / "tests/sing/daisy.musicxml";
  const fs::path out = dir / "daisy.wav";
  ASSERT_EQ(
      run({score.string(), "-o", out.string(), "--vibrato", "off"}).status, 0);
  const std::vector<float> x = wav(out);
  // Twelve beats at 90 a minute, the last two a rest: 6.67 s of notes,
  // after the first onset's lead and before the tail.
  EXPECT_NEAR(x.size() / 48000.0, 6.67 + 0.2, 0.15);
  EXPECT_NEAR(pitch_at(x, 1.2), 146.83, 1.5); // D3 held ("Dai")
  EXPECT_NEAR(pitch_at(x, 3.2), 123.47, 1.3); // B2 ("sy")
  // An octave up and twice as fast.
  ASSERT_EQ(run({score.string(), "-o", out.string(), "--vibrato", "off",
                 "--transpose", "12", "--tempo-scale", "2"})
                .status,
            0);
  const std::vector<float> y = wav(out);
  EXPECT_NEAR(y.size() / 48000.0, 3.33 + 0.2, 0.15);
  EXPECT_NEAR(pitch_at(y, 0.6), 293.66, 3.0);
  // The word split at the score's syllables, by the dictionary's
  // pronunciation; the lyric-less note after "give" holds its vowel.
  const Result p = run({score.string(), "--print-phonemes"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "0.000\t2.000\t50.00\tDai\tD EY1\n"
                   "2.000\t2.000\t47.00\tsy,\tZ IY0\n"
                   "4.000\t1.333\t43.00\tgive\tG IH1 V\n"
                   "5.333\t0.667\t45.00\t_\t_\n"
                   "6.000\t0.667\t47.00\tme\tM IY1\n");
}

// The demo song as shipped: it reads, every note sings a syllable of its
// words (none held over from a note before), at a pitch a male voice sings,
// and the chorus lasts as long as it should at its tempo.
TEST_F(SingTool, TheDemoSongReadsWithALyricAndAMalePitchOnEveryNote) {
  // By the dictionary the demo command sings it with, when installed.
  const char *cmu = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";
  if (fs::exists(cmu))
    dict = cmu;
  const Result p = run({(kSource / "examples" / "daisy-bell.musicxml").string(),
                        "--print-phonemes"});
  ASSERT_EQ(p.status, 0) << p.err;
  std::istringstream lines(p.out);
  std::string line;
  int notes = 0;
  double end = 0;
  while (std::getline(lines, line)) {
    std::istringstream cols(line);
    double start = 0, duration = 0, key = 0;
    std::string text, sung;
    cols >> start >> duration >> key >> text;
    std::getline(cols >> std::ws, sung);
    EXPECT_NE(text, "_") << line;
    EXPECT_NE(sung.find_first_of("012"), std::string::npos) << line;
    EXPECT_GE(key, 40.0) << line;
    EXPECT_LE(key, 72.0) << line;
    EXPECT_GE(start, end - 2e-3) << line; // printed to the millisecond
    end = start + duration;
    ++notes;
  }
  EXPECT_EQ(notes, 51);
  EXPECT_NEAR(end, 33 * 3 * 60.0 / 144, 0.01); // 33 bars of 3/4 at 144
}

TEST_F(SingTool, AMidiFileWithLyricsSings) {
  spit(dir / "la.mid", smf({{48, 1, "la"}, {52, 1, "la"}, {55, 2, "la"}}));
  const fs::path out = dir / "la.wav";
  ASSERT_EQ(
      run({(dir / "la.mid").string(), "-o", out.string(), "--vibrato", "off"})
          .status,
      0);
  const std::vector<float> x = wav(out);
  EXPECT_NEAR(x.size() / 48000.0, 2.0 + 0.2, 0.15);
  EXPECT_NEAR(pitch_at(x, 0.3), 130.81, 1.3);
  EXPECT_NEAR(pitch_at(x, 0.8), 164.81, 1.6);
  EXPECT_NEAR(pitch_at(x, 1.6), 196.0, 2.0);
}

TEST_F(SingTool, FilesThatCannotBeSungAreRefusedWithOneMessage) {
  expect_refused("bare.musicxml", musicxml(xml_note("C", 3, 1, "")),
                 "no lyrics");
  expect_refused("chord.musicxml",
                 musicxml(xml_note("C", 3, 1, "la") +
                          xml_note("E", 3, 1, "la", "<chord/>")),
                 "overlapping notes");
  expect_refused("fast.musicxml", musicxml(xml_note("C", 3, 1, "la"), 5000),
                 "tempo");
  expect_refused("text.musicxml", "these are not the notes you want\n",
                 "not a MusicXML score");
  expect_refused("orphan.musicxml",
                 musicxml(xml_note("C", 3, 1, "la") +
                          "<note><rest/><duration>1</duration></note>" +
                          xml_note("D", 3, 1, "")),
                 "without a lyric");
  expect_refused("none.mid", smf({{48, 1, ""}}), "no lyrics");
  expect_refused("fast.mid", smf({{48, 1, "la"}}, 1000), "tempo");
  expect_refused("chord.mid", smf_chord(), "overlapping notes");
  const std::string whole = smf({{48, 1, "la"}, {52, 1, "la"}});
  // Cut inside an event, the track's length telling the truth.
  std::string cut = whole.substr(0, whole.size() - 6);
  cut.replace(18, 4, be(static_cast<uint32_t>(cut.size() - 22), 4));
  expect_refused("cut.mid", cut, "truncated");
  std::string lying = whole;
  lying[18] = '\x7f'; // the track claims more bytes than the file has
  expect_refused("long.mid", lying, "past the end");
  // A 100 MB file is refused by its size, before it is read.
  {
    std::ofstream big(dir / "big.musicxml");
    big.seekp(100 << 20);
    big << '\n';
  }
  spit(dir / "out.wav", "keep");
  const Result r =
      run({(dir / "big.musicxml").string(), "-o", (dir / "out.wav").string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("larger than 16 MiB"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(dir / "out.wav"), "keep");
  // Options out of range.
  const std::string ok = (kSource / "tests/sing/daisy.musicxml").string();
  for (const std::vector<std::string> &bad :
       {std::vector<std::string>{"--tempo-scale", "0"},
        {"--transpose", "100"},
        {"--vibrato", "5,40"},
        {"--vibrato", "50,40,0.2"}}) {
    std::vector<std::string> args{ok, "-o", (dir / "out.wav").string()};
    args.insert(args.end(), bad.begin(), bad.end());
    const Result o = run(args);
    EXPECT_EQ(o.status, 2) << bad[0];
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_EQ(slurp(dir / "out.wav"), "keep");
  }
}

TEST(SingScores, LyricsJoinIntoWordsAndHeldNotesHoldTheVowel) {
  // Hyphens join the syllables of a MIDI file's word; a note without a
  // lyric right after one holds its vowel.
  const std::string mid =
      smf({{50, 1, "Dai-"}, {47, 1, "sy "}, {43, 1, "give "}, {45, 1, ""}});
  const tw::sing::Song song = tw::sing::read_smf(mid, "t.mid");
  ASSERT_EQ(song.notes.size(), 4u);
  EXPECT_EQ(song.notes[0].text, "Dai");
  EXPECT_EQ(song.notes[0].syllabic, tw::sing::Syllabic::begin);
  EXPECT_EQ(song.notes[1].syllabic, tw::sing::Syllabic::end);
  EXPECT_EQ(song.notes[2].syllabic, tw::sing::Syllabic::single);
  EXPECT_EQ(song.notes[3].text, "");
  EXPECT_NEAR(song.notes[3].start, 1.5, 1e-9);
  EXPECT_NO_THROW(tw::sing::check_song(song, "t.mid"));
  // Tied notes are one note.
  const tw::sing::Song tied = tw::sing::read_musicxml(
      musicxml(xml_note("C", 3, 1, "la", "") +
               "<note><pitch><step>C</step><octave>3</octave></pitch>"
               "<duration>2</duration><tie type=\"stop\"/><voice>1</voice>"
               "</note>"),
      "t.musicxml");
  ASSERT_EQ(tied.notes.size(), 1u);
  EXPECT_NEAR(tied.notes[0].duration, 1.5, 1e-9);
  EXPECT_NEAR(tied.notes[0].key, 48, 1e-9);
}

} // namespace
