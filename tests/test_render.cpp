// tractwave-render as a user runs it: scores, options, messages, and what it
// does to the files around it.
#include "render_test.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <regex>

using tw::render::Keyframe;

namespace {

using namespace tw::render_test;

Keyframe frame(double t, std::array<double, TRACTWAVE_NUM_PARAMETERS> v) {
  Keyframe k;
  k.t = t;
  k.values = v;
  return k;
}

// A score whose keyframe times fall between block boundaries, with two
// keyframes at one time (a jump) and cells left empty (values carried over).
// Both forms below say the same; kTrickyFull is it with every value filled
// in by hand.
const char *kTrickyCsv = "t, pitch, voicing, tongue_body, lips, velum, "
                         "breathiness\n"
                         "0.0013, 0.2, 0.9, 0.2, 0.9, , 0.1\n"
                         "0.0371, 0.6, , 0.8, , 0.0, \n"
                         "0.0371, 0.3, 0.5, , 0.1, 0.9, 0.4\n"
                         "\n"
                         "0.0803, 0.45, 0.7, 0.5, , , 0.0\n";

const char *kTrickyJson = R"({"keyframes": [
  {"t": 0.0013, "pitch": 0.2, "voicing": 0.9, "tongue_body": 0.2, "lips": 0.9,
   "breathiness": 0.1},
  {"t": 0.0371, "pitch": 0.6, "tongue_body": 0.8, "velum": 0.0},
  {"t": 0.0371, "pitch": 0.3, "voicing": 0.5, "lips": 0.1, "velum": 0.9,
   "breathiness": 0.4},
  {"t": 0.0803, "pitch": 0.45, "voicing": 0.7, "tongue_body": 0.5,
   "breathiness": 0.0}]})";

Score tricky_full() {
  //             pitch voicing phar  body  tip   lar   mix   velum lips  breath
  Score s;
  s.keyframes = {
      frame(0.0013, {0.2, 0.9, 0.5, 0.2, 0.5, 0.5, 0.5, 0.5, 0.9, 0.1}),
      frame(0.0371, {0.6, 0.9, 0.5, 0.8, 0.5, 0.5, 0.5, 0.0, 0.9, 0.1}),
      frame(0.0371, {0.3, 0.5, 0.5, 0.8, 0.5, 0.5, 0.5, 0.9, 0.1, 0.4}),
      frame(0.0803, {0.45, 0.7, 0.5, 0.5, 0.5, 0.5, 0.5, 0.9, 0.1, 0.0})};
  return s;
}

} // namespace

TEST(Score, InterpolatesHoldsAndJumpsAtSharedTimes) {
  const Score s = tricky_full();
  using tw::render::params_at;
  // Before the first keyframe and after the last, the end keyframes hold.
  EXPECT_FLOAT_EQ(params_at(s, 0.0)[TRACTWAVE_PITCH], 0.2f);
  EXPECT_FLOAT_EQ(params_at(s, 5.0)[TRACTWAVE_PITCH], 0.45f);
  // Halfway between the first two keyframes.
  EXPECT_FLOAT_EQ(params_at(s, (0.0013 + 0.0371) / 2)[TRACTWAVE_PITCH], 0.4f);
  EXPECT_FLOAT_EQ(params_at(s, (0.0013 + 0.0371) / 2)[TRACTWAVE_VELUM], 0.25f);
  // Just before the shared time the first of the pair is approached; from
  // that time on the second one holds.
  EXPECT_NEAR(params_at(s, 0.0370999)[TRACTWAVE_PITCH], 0.6, 1e-5);
  EXPECT_FLOAT_EQ(params_at(s, 0.0371)[TRACTWAVE_PITCH], 0.3f);
  EXPECT_FLOAT_EQ(params_at(s, 0.0371)[TRACTWAVE_LIPS], 0.1f);
  EXPECT_FLOAT_EQ(params_at(s, (0.0371 + 0.0803) / 2)[TRACTWAVE_BREATHINESS],
                  0.2f);
}

TEST(Score, BothFormsFillMissingValuesTheSameWay) {
  const Score want = tricky_full();
  for (const Score &got : {tw::render::parse_csv(kTrickyCsv, "a.csv"),
                           tw::render::parse_json(kTrickyJson, "a.json")}) {
    ASSERT_EQ(got.keyframes.size(), want.keyframes.size());
    for (std::size_t k = 0; k < want.keyframes.size(); ++k) {
      EXPECT_EQ(got.keyframes[k].t, want.keyframes[k].t) << "keyframe " << k;
      for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
        EXPECT_EQ(got.keyframes[k].values[i], want.keyframes[k].values[i])
            << "keyframe " << k << ", " << tw::render::kParamNames[i];
    }
  }
  EXPECT_EQ(tw::render::plan_rendering(want, "s", 48000).total,
            3854); // 3854.4 rounds down
  Score half;
  half.keyframes = {frame(0.5, {})};
  EXPECT_EQ(tw::render::plan_rendering(half, "s", 9001).total,
            4501); // 4500.5 rounds up
}

TEST_F(Render, ScoreGivesExactlyTheDirectLibraryCalls) {
  write_text(dir / "score.csv", kTrickyCsv);
  // Blocks of 100 at 44100 Hz: no keyframe time is on a block boundary, and
  // the last of the 3541 samples come in a short block of 41.
  const Result r =
      run({"score.csv", "-o", "out.wav", "--rate", "44100", "--block", "100"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Wav w = read_wav(dir / "out.wav");
  EXPECT_EQ(w.info.samplerate, 44100);
  EXPECT_EQ(w.info.channels, 1);
  EXPECT_EQ(w.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_TRUE(
      same_samples(w.samples, reference(tricky_full(), 44100, 100, 3541)));
  // A different block size gives different samples, so the comparison above
  // does see where blocks start.
  EXPECT_FALSE(
      same_samples(w.samples, reference(tricky_full(), 44100, 101, 3541)));
}

TEST_F(Render, CsvAndJsonOfOneScoreGiveIdenticalFiles) {
  write_text(dir / "score.csv", kTrickyCsv);
  write_text(dir / "score.json", kTrickyJson);
  write_text(dir / "score.txt", kTrickyJson);
  ASSERT_EQ(run({"score.csv", "-o", "csv.wav", "--block", "37"}).status, 0);
  ASSERT_EQ(run({"score.json", "-o", "json.wav", "--block", "37"}).status, 0);
  ASSERT_EQ(run({"score.txt", "--input-format", "json", "-o", "txt.wav",
                 "--block", "37"})
                .status,
            0);
  const std::string csv = slurp(dir / "csv.wav");
  EXPECT_GT(csv.size(), 3854u * 4);
  EXPECT_EQ(csv, slurp(dir / "json.wav"));
  EXPECT_EQ(csv, slurp(dir / "txt.wav"));
  EXPECT_TRUE(same_samples(read_wav(dir / "json.wav").samples,
                           reference(tricky_full(), 48000, 37, 3854)));
}

TEST_F(Render, ScoreSettingsApplyAndOptionsOverrideThem) {
  write_text(dir / "s.json",
             R"({"sample_rate": 16000, "block": 7, "keyframes": [
                 {"t": 0, "voicing": 0.8}, {"t": 0.1, "lips": 0.2}]})");
  Score s;
  s.keyframes = {frame(0, {0.5, 0.8, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0}),
                 frame(0.1, {0.5, 0.8, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.2, 0})};
  ASSERT_EQ(run({"s.json"}).status, 0); // writes s.wav
  Wav w = read_wav(dir / "s.wav");
  EXPECT_EQ(w.info.samplerate, 16000);
  EXPECT_TRUE(same_samples(w.samples, reference(s, 16000, 7, 1600)));
  ASSERT_EQ(run({"s.json", "--rate", "22050", "--block", "64"}).status, 0);
  w = read_wav(dir / "s.wav");
  EXPECT_EQ(w.info.samplerate, 22050);
  EXPECT_TRUE(same_samples(w.samples, reference(s, 22050, 64, 2205)));
}

TEST_F(Render, Pcm16AgreesWithFloatWithinQuantisation) {
  ASSERT_EQ(run({"-o", "f.wav"}).status, 0);
  ASSERT_EQ(run({"-o", "i.wav", "--format", "pcm16"}).status, 0);
  const Wav f = read_wav(dir / "f.wav");
  const std::vector<short> i = read_pcm16(dir / "i.wav");
  EXPECT_EQ(read_wav(dir / "i.wav").info.format,
            SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(i.size(), f.samples.size());
  int largest = 0;
  for (std::size_t k = 0; k < i.size(); ++k) {
    largest = std::max(largest, std::abs(static_cast<int>(i[k])));
    ASSERT_LE(std::fabs(i[k] / 32768.0 - f.samples[k]), 1.0 / 32768)
        << "sample " << k;
  }
  EXPECT_GT(largest, 1000); // a real signal, not near-silence
}

TEST_F(Render, GainScalesEverySample) {
  ASSERT_EQ(run({"-o", "a.wav"}).status, 0);
  ASSERT_EQ(run({"-o", "b.wav", "--gain", "20"}).status, 0);
  const Wav a = read_wav(dir / "a.wav"), b = read_wav(dir / "b.wav");
  ASSERT_EQ(a.samples.size(), b.samples.size());
  for (std::size_t k = 0; k < a.samples.size(); ++k)
    ASSERT_NEAR(b.samples[k], 10.0 * a.samples[k], 1e-6) << "sample " << k;
}

TEST_F(Render, DemoIsTheShippedScoreAndSoundsForSeconds) {
  const Result printed = run({"--print-demo"});
  ASSERT_EQ(printed.status, 0);
  EXPECT_EQ(printed.out, slurp(TRACTWAVE_DEMO_JSON));
  write_text(dir / "demo.json", printed.out);

  const Result builtin = run({});
  ASSERT_EQ(builtin.status, 0) << builtin.err;
  ASSERT_EQ(run({"demo.json", "-q"}).status, 0);
  EXPECT_EQ(slurp(dir / "tractwave-demo.wav"), slurp(dir / "demo.wav"));

  const Wav w = read_wav(dir / "demo.wav");
  const double seconds = static_cast<double>(w.samples.size()) / 48000;
  EXPECT_GE(seconds, 2.0);
  EXPECT_LE(seconds, 6.0);
  double peak = 0, sum = 0;
  for (float x : w.samples) {
    peak = std::max(peak, static_cast<double>(std::fabs(x)));
    sum += static_cast<double>(x) * x;
  }
  const double rms = std::sqrt(sum / w.samples.size());
  EXPECT_GT(peak, 0.01);

  // The summary, on stderr (stdout may be the sound), names the file and
  // reports what was written; no progress line when stderr is not a
  // terminal.
  EXPECT_EQ(builtin.out, "");
  std::smatch m;
  const std::regex summary(
      R"(^tractwave-demo\.wav: ([0-9.]+) s, (\d+) samples at 48000 Hz .*peak )"
      R"(([0-9.]+) .*RMS ([0-9.]+) .*rendered in [0-9.]+ s, [0-9.]+x real time\n$)");
  ASSERT_TRUE(std::regex_match(builtin.err, m, summary)) << builtin.err;
  EXPECT_NEAR(std::stod(m[1]), seconds, 1e-3);
  EXPECT_EQ(std::stoll(m[2]), static_cast<long long>(w.samples.size()));
  EXPECT_NEAR(std::stod(m[3]), peak, 1e-4);
  EXPECT_NEAR(std::stod(m[4]), rms, 1e-4);
}

TEST_F(Render, HelpAndVersion) {
  const Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char *word :
       {"--output", "--rate", "--block", "--format", "--input-format",
        "--print-demo", "breathiness", "Exit status"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  const Result version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("tractwave-render 1.", 0), 0u) << version.out;
}

// Every fault gives exit status 2, one message naming what is at fault, and
// no output: no new file, no temporary file, and an existing output file
// left as it was.
TEST_F(Render, FaultsExitWithStatus2AndLeaveNoFile) {
  struct Case {
    const char *name;
    std::string score; // written to the file named by args[0] when not empty
    std::vector<std::string> args;
    std::string message; // part of the expected message
  };
  const std::string ok = "t,pitch\n0,0.5\n0.1,0.5\n";
  const std::vector<Case> cases = {
      {"missing file", "", {"absent.json", "-o", "out.wav"}, "absent.json"},
      {"unknown column",
       "t,pitch,lipz\n0,0.5,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:1: unknown column \"lipz\""},
      {"header without t",
       "pitch,lips\n0.5,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:1: the header has no \"t\""},
      {"repeated column",
       "t,lips,lips\n0,1,1\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:1: duplicate column \"lips\""},
      {"non-numeric CSV value",
       "t,pitch\n0,0.5\n0.1,high\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:3: pitch: must be a number, not \"high\""},
      {"NaN is not a number",
       "t,pitch\n0,nan\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:2: pitch: must be a number, not \"nan\""},
      {"short row",
       "t,pitch,lips\n0,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:2: 2 values"},
      {"decreasing CSV time",
       "t,pitch\n0,0.5\n\n0.2,0.5\n0.1,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:5: t: 0.1 is earlier"},
      {"negative time",
       "t,pitch\n-1,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:2: t: -1 is negative"},
      {"empty CSV",
       "\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv: the score is empty"},
      {"CSV without keyframes",
       "t,pitch\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv: the score has no keyframes"},
      {"malformed JSON",
       "{\"keyframes\": [\n {\"t\": 0,}\n]}",
       {"s.json", "-o", "out.wav"},
       "s.json:2: not valid JSON"},
      {"unknown JSON parameter",
       R"({"keyframes": [{"t": 0}, {"t": 1, "lipz": 0.5}]})",
       {"s.json", "-o", "out.wav"},
       "s.json:1: keyframes[1]: unknown key \"lipz\""},
      {"non-numeric JSON value",
       R"({"keyframes": [{"t": 0, "pitch": "high"}]})",
       {"s.json", "-o", "out.wav"},
       "s.json:1: keyframes[0].pitch: must be a number, not \"high\""},
      {"decreasing JSON time",
       R"({"keyframes": [{"t": 0.5}, {"t": 0.25}]})",
       {"s.json", "-o", "out.wav"},
       "s.json:1: keyframes[1].t: 0.25 is earlier"},
      {"empty JSON score",
       R"({"keyframes": []})",
       {"s.json", "-o", "out.wav"},
       "s.json: the score has no keyframes"},
      {"JSON rate too low",
       R"({"sample_rate": 0, "keyframes": [{"t": 1}]})",
       {"s.json", "-o", "out.wav"},
       "s.json:1: sample_rate: must be a whole number"},
      {"unknown JSON key",
       R"({"samplerate": 44100, "keyframes": [{"t": 1}]})",
       {"s.json", "-o", "out.wav"},
       "s.json:1: unknown key \"samplerate\""},
      {"score lasting no samples",
       "t,pitch\n0,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv: the score lasts no samples"},
      {"unknown extension", ok, {"s.txt", "-o", "out.wav"}, "--input-format"},
      {"rate 0", ok, {"s.csv", "-o", "out.wav", "--rate", "0"}, "--rate"},
      {"negative rate",
       ok,
       {"s.csv", "-o", "out.wav", "--rate", "-44100"},
       "--rate"},
      {"rate the synthesiser cannot use",
       ok,
       {"s.csv", "-o", "out.wav", "--rate", "8000"},
       "--rate"},
      {"non-numeric rate",
       ok,
       {"s.csv", "-o", "out.wav", "--rate", "fast"},
       "--rate"},
      {"block 0", ok, {"s.csv", "-o", "out.wav", "--block", "0"}, "--block"},
      {"unknown format",
       ok,
       {"s.csv", "-o", "out.wav", "--format", "mp3"},
       "--format"},
      {"unwritable output",
       ok,
       {"s.csv", "-o", "no/such/dir/out.wav"},
       "no/such/dir/out.wav"},
      {"output is a directory", ok, {"s.csv", "-o", "."}, "."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    if (!c.score.empty())
      write_text(dir / c.args[0], c.score);
    write_text(dir / "out.wav", "keep me");
    const auto before = files();
    const Result r = run(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("tractwave-render: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(files(), before);
    EXPECT_EQ(slurp(dir / "out.wav"), "keep me");
  }
}

// What the program does to the files around it: a regular output is replaced
// only by a complete file, everything else keeps being what it was.
namespace {

const char *kShort =
    R"({"keyframes": [{"t": 0, "voicing": 0.8}, {"t": 0.05}]})";

// A score of ten minutes in one block: about a second of rendering in one
// library call per 65536 samples, with no block boundary to stop at.
const char *kLong = R"({"keyframes": [{"t": 0, "voicing": 0.8}, {"t": 600}]})";

mode_t mode_of(const fs::path &p) {
  struct stat st {};
  lstat(p.c_str(), &st);
  return st.st_mode;
}

} // namespace

TEST_F(Render, FifoOutputIsWrittenInPlace) {
  write_text(dir / "s.json", kShort);
  ASSERT_EQ(run({"s.json", "-o", "file.wav"}).status, 0);
  const fs::path fifo = dir / "pipe.wav";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The reader is open before the program starts, so neither side waits for
  // the other; it reads until the program has exited and the pipe is empty.
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::atomic<bool> exited{false};
  std::string got;
  std::thread reader([&] {
    char buf[1 << 16];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0)
        got.append(buf, static_cast<std::size_t>(n));
      else if (n == 0 && exited)
        return;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const Result r = run({"s.json", "-o", "pipe.wav"});
  exited = true;
  reader.join();
  close(fd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(S_ISFIFO(mode_of(fifo)));
  EXPECT_EQ(got, slurp(dir / "file.wav"));
  EXPECT_EQ(files(), (std::set<std::string>{"s.json", "file.wav", "pipe.wav"}));
}

TEST_F(Render, DeviceOutputIsWrittenInPlace) {
  // A twin of /dev/null inside the test's folder, so that a failure cannot
  // replace the system's own.
  const fs::path null = dir / "null";
  if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
  write_text(dir / "s.json", kShort);
  const Result r = run({"s.json", "-o", "null"});
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(lstat(null.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(1, 3));
  EXPECT_EQ(files(), (std::set<std::string>{"s.json", "null"}));
}

TEST_F(Render, SymbolicLinksAreFollowedAndKept) {
  write_text(dir / "s.json", kShort);
  ASSERT_EQ(run({"s.json", "-o", "plain.wav"}).status, 0);
  const std::string wav = slurp(dir / "plain.wav");
  write_text(dir / "real.wav", "old");
  fs::create_symlink("real.wav", dir / "link.wav");
  fs::create_directory(dir / "sub");
  fs::create_symlink("sub/new.wav", dir / "dangling.wav");

  ASSERT_EQ(run({"s.json", "-o", "link.wav"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
  EXPECT_EQ(slurp(dir / "real.wav"), wav);
  // A link to a file not yet there makes the file, beside its target.
  ASSERT_EQ(run({"s.json", "-o", "dangling.wav"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.wav"));
  EXPECT_EQ(slurp(dir / "sub" / "new.wav"), wav);
  EXPECT_EQ(files(),
            (std::set<std::string>{"s.json", "plain.wav", "real.wav",
                                   "link.wav", "sub", "dangling.wav"}));
  std::set<std::string> in_sub;
  for (const auto &e : fs::directory_iterator(dir / "sub"))
    in_sub.insert(e.path().filename().string());
  EXPECT_EQ(in_sub, std::set<std::string>{"new.wav"});
}

TEST_F(Render, ReplacedFilesKeepTheirPermissions) {
  write_text(dir / "s.json", kShort);
  for (mode_t mode : {0600, 0640, 0755}) {
    write_text(dir / "out.wav", "old");
    ASSERT_EQ(chmod((dir / "out.wav").c_str(), mode), 0);
    ASSERT_EQ(run({"s.json", "-o", "out.wav"}).status, 0);
    EXPECT_EQ(mode_of(dir / "out.wav") & 07777, mode);
    EXPECT_NE(slurp(dir / "out.wav"), "old");
  }
  // A new file gets what the umask allows, as any plainly created file.
  const mode_t mask = umask(0);
  umask(mask);
  ASSERT_EQ(run({"s.json", "-o", "new.wav"}).status, 0);
  EXPECT_EQ(mode_of(dir / "new.wav") & 07777, 0666 & ~mask);
}

TEST_F(Render, HardLinkedOutputChangesEveryName) {
  write_text(dir / "s.json", kShort);
  write_text(dir / "a.wav", "old");
  fs::create_hard_link(dir / "a.wav", dir / "b.wav");
  ASSERT_EQ(run({"s.json", "-o", "a.wav"}).status, 0);
  EXPECT_TRUE(fs::equivalent(dir / "a.wav", dir / "b.wav"));
  EXPECT_EQ(fs::hard_link_count(dir / "a.wav"), 2u);
  EXPECT_EQ(read_wav(dir / "b.wav").samples.size(), 2400u);
  EXPECT_EQ(files(), (std::set<std::string>{"s.json", "a.wav", "b.wav"}));
}

TEST_F(Render, OutputThatIsTheScoreIsRefusedBeforeWriting) {
  write_text(dir / "same.json", kShort);
  write_text(dir / "x.wav", kShort);
  fs::create_hard_link(dir / "same.json", dir / "alias.json");
  fs::create_symlink("same.json", dir / "link.json");
  const std::vector<std::vector<std::string>> runs = {
      {"same.json", "-o", "same.json"},
      {"x.wav", "--input-format", "json"}, // the default output is x.wav
      {"same.json", "-o", "alias.json"},
      {"same.json", "-o", "link.json"},
      {"link.json", "-o", "same.json"}};
  for (const auto &args : runs) {
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
    const auto before = files();
    const Result r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the output is the score itself"), std::string::npos)
        << r.err;
    EXPECT_EQ(files(), before);
    EXPECT_EQ(slurp(dir / "same.json"), kShort);
    EXPECT_EQ(slurp(dir / "x.wav"), kShort);
  }
}

// Input meant to break the program gives one short message on one line,
// with nothing from the score that could drive a terminal, and status 2.
TEST_F(Render, HostileScoresGiveOneMessage) {
  fs::create_directory(dir / "folder.json");
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"o.json", R"({"gain": 1e309, "keyframes": [{"t": 1}]})"},
      {"i.json",
       R"({"keyframes": [{"t": 1, "pitch": )" + std::string(400, '7') + "}]}"},
      {"b.json", R"({"block": )" + std::string(400, '1') +
                     R"(, "keyframes": [{"t": 1}]})"},
      {"d.json", R"({"keyframes": [{"t": 1, "x": )" + deep + "}]}"},
      {"e.json",
       "{\"keyframes\": [{\"t\": 1, \"\x1b[2J\x1b]0;owned\x07\": 1}]}"},
      {"c.csv", "t,pitch\x1b[31m\n0,1\n"},
      {"s.json", R"({"keyframes": [{"t": 1, "pitch": ")" +
                     std::string(3 << 20, 'x') + "\"}]}"},
      {"folder.json", ""},
  };
  for (const auto &[name, text] : cases) {
    SCOPED_TRACE(name);
    if (!text.empty())
      write_text(dir / name, text);
    const Result r = run({name, "-o", "out.wav"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("tractwave-render: " + name, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_LT(r.err.size(), 400u);
    EXPECT_EQ(std::count_if(r.err.begin(), r.err.end() - 1,
                            [](char c) { return c >= 0 && c < 0x20; }),
              0)
        << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.wav"));
  }
}

TEST_F(Render, ValuesBeyondTheLibrarysRangeAreRefusedWithKeyAndLine) {
  write_text(dir / "s.csv", "t,pitch\n0,0.5\n0.1,1e39\n");
  write_text(dir / "s.json", "{\"keyframes\": [{\"t\": 0},\n"
                             "  {\"t\": 0.1, \"velum\": 1e20}]}");
  Result r = run({"s.csv", "-o", "out.wav"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("s.csv:3: pitch: 1e39 is out of range"),
            std::string::npos)
      << r.err;
  r = run({"s.json", "-o", "out.wav"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("s.json:2: keyframes[1].velum: 1e20 is out of range"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "out.wav"));
}

TEST_F(Render, SamplesThatAreNotFiniteFailTheRender) {
  write_text(dir / "s.json", kShort);
  write_text(dir / "out.wav", "keep me");
  const Result r = run({"s.json", "-o", "out.wav", "--gain", "1e9"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("out.wav: 2400 of 2400 samples are not finite numbers"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(dir / "out.wav"), "keep me");
  EXPECT_EQ(files(), (std::set<std::string>{"s.json", "out.wav"}));
}

TEST_F(Render, CommandLineNumbersAreDecimal) {
  write_text(dir / "s.json", kShort);
  Result r = run({"s.json", "-o", "a.wav", "--rate", "044100", "--block", "010",
                  "--gain", "06"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_wav(dir / "a.wav").info.samplerate, 44100);
  EXPECT_NE(r.err.find("at 44100 Hz (float, block 10)"), std::string::npos)
      << r.err;
  // Whole numbers in any decimal form, as in a score.
  r = run({"s.json", "-o", "b.wav", "--rate", "4.41e4", "--block", "10.0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir / "a.wav").size(), slurp(dir / "b.wav").size());
  for (const auto &[option, value] :
       std::vector<std::pair<std::string, std::string>>{{"--rate", "0xBB80"},
                                                        {"--block", "0x10"},
                                                        {"--block", "6.5"},
                                                        {"--gain", "0x10"},
                                                        {"--gain", "inf"},
                                                        {"--rate", "44100 "}}) {
    r = run({"s.json", "-o", "c.wav", option, value});
    EXPECT_EQ(r.status, 2) << option << " " << value;
    EXPECT_EQ(r.err.rfind("tractwave-render: " + option + ": ", 0), 0u)
        << r.err;
  }
  EXPECT_FALSE(fs::exists(dir / "c.wav"));
}

// Ctrl-C, kill and a closed terminal stop a render whenever they come before
// the rename, even in the middle of one long block.
TEST_F(Render, SignalBeforeTheRenameWins) {
  write_text(dir / "long.json", kLong);
  write_text(dir / "out.wav", "keep me");
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    const pid_t pid =
        start({"long.json", "-o", "out.wav", "--block", "2147483647"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, sig);
    const Result r = finish(pid);
    EXPECT_EQ(r.status, 128 + sig) << r.err;
    EXPECT_EQ(slurp(dir / "out.wav"), "keep me");
    EXPECT_EQ(files(), (std::set<std::string>{"long.json", "out.wav"}));
  }
}

TEST_F(Render, LeftoversOfAKilledRunAreRemovedByTheNext) {
  write_text(dir / "long.json", kLong);
  write_text(dir / "s.json", kShort);
  const pid_t pid = start({"long.json", "-o", "out.wav"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGKILL);
  finish(pid);
  // SIGKILL cannot be caught: the killed run's temporary file is there, and
  // its name says whose it is.
  const std::string leftover =
      ".out.wav.tractwave-" + std::to_string(pid) + ".tmp";
  EXPECT_EQ(files(), (std::set<std::string>{"long.json", "s.json", leftover}));
  // One of a process that is still running stays.
  const std::string busy =
      ".out.wav.tractwave-" + std::to_string(getpid()) + ".tmp";
  write_text(dir / busy, "busy");
  ASSERT_EQ(run({"s.json", "-o", "out.wav"}).status, 0);
  EXPECT_EQ(files(),
            (std::set<std::string>{"long.json", "s.json", "out.wav", busy}));
}

TEST_F(Render, MemoryStaysBoundedWhateverTheBlock) {
  // Five minutes of samples are 58 MB of floats; the program holds a few
  // hundred kilobytes of them at a time, so 32 MiB of data are plenty.
  write_text(dir / "long.json",
             R"({"keyframes": [{"t": 0, "voicing": 0.8}, {"t": 300}]})");
  const Result r = run(
      {"long.json", "-o", "out.wav", "--block", "2147483647", "-q"}, 32 << 20);
  ASSERT_EQ(r.status, 0) << r.err;
  SF_INFO info{};
  SNDFILE *f = sf_open((dir / "out.wav").c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  sf_close(f);
  EXPECT_EQ(info.frames, 14400000);
}

TEST_F(Render, OneHugeBlockGivesTheSamplesOfOneLibraryCall) {
  const Score demo = tw::render::parse_json(slurp(TRACTWAVE_DEMO_JSON), "demo");
  ASSERT_EQ(run({"-o", "out.wav", "--block", "2147483647"}).status, 0);
  const Wav w = read_wav(dir / "out.wav");
  ASSERT_GT(w.samples.size(), 65536u * 2);
  EXPECT_TRUE(same_samples(w.samples,
                           reference(demo, 48000, INT_MAX, w.samples.size())));
}

TEST_F(Render, ScoreFilesAreCappedInSize) {
  // Exactly the limit is read; a byte more is refused.
  std::string text = kShort;
  text += std::string((1 << 20) - text.size(), ' ');
  write_text(dir / "fits.json", text);
  write_text(dir / "over.json", text + " ");
  Result r = run({"fits.json", "-o", "a.wav", "--max-score-size", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = run({"over.json", "-o", "b.wav", "--max-score-size", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("over.json: the score is larger than 1 MiB "
                       "(--max-score-size raises the limit)"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "b.wav"));
}

TEST_F(Render, EndlessScoreIsCutOff) {
  // At most the limit is held, with room to grow it once.
  const Result r = run({"/dev/zero", "--input-format", "json", "-o", "a.wav"},
                       rlim_t{512} << 20);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/dev/zero: the score is larger than 256 MiB"),
            std::string::npos)
      << r.err;
}

TEST_F(Render, LongestFileNameIsWritable) {
  write_text(dir / "s.json", kShort);
  const long name_max = pathconf(dir.c_str(), _PC_NAME_MAX);
  const std::string name =
      std::string(static_cast<std::size_t>(name_max > 0 ? name_max : 255) - 4,
                  'n') +
      ".wav";
  const Result r = run({"s.json", "-o", name});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(files(), (std::set<std::string>{"s.json", name}));
}
