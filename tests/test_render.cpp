// tractwave-render as a user runs it: the built program is started with
// arguments, and its files, messages and exit status are checked. WAV files
// are read back with libsndfile.
#include "score.h"
#include "tw_test.h"

#include <sndfile.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using tw::render::Keyframe;
using tw::render::Score;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

std::string slurp(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const fs::path &p, const std::string &text) {
  std::ofstream(p, std::ios::binary) << text;
}

struct Wav {
  SF_INFO info{};
  std::vector<float> samples;
};

Wav read_wav(const fs::path &p) {
  Wav w;
  SNDFILE *f = sf_open(p.c_str(), SFM_READ, &w.info);
  if (!f) {
    ADD_FAILURE() << "cannot read " << p << ": " << sf_strerror(nullptr);
    return w;
  }
  w.samples.resize(static_cast<std::size_t>(w.info.frames * w.info.channels));
  EXPECT_EQ(sf_read_float(f, w.samples.data(), w.info.frames), w.info.frames);
  sf_close(f);
  return w;
}

std::vector<short> read_pcm16(const fs::path &p) {
  SF_INFO info{};
  SNDFILE *f = sf_open(p.c_str(), SFM_READ, &info);
  std::vector<short> s(f ? static_cast<std::size_t>(info.frames) : 0);
  if (f) {
    sf_read_short(f, s.data(), info.frames);
    sf_close(f);
  }
  return s;
}

// Each test works in a directory of its own, so that "no file left behind"
// can be checked by listing it.
class Render : public ::testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "tw_render_XXXXXX");
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the program in `dir` with stdout and stderr captured.
  Result run(const std::vector<std::string> &args) {
    const fs::path out = dir / ".stdout", err = dir / ".stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0)
        _exit(127);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char *> argv;
      std::string exe = TRACTWAVE_RENDER_EXE;
      argv.push_back(&exe[0]);
      std::vector<std::string> copy = args;
      for (auto &a : copy)
        argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    Result r;
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
      names.insert(e.path().filename().string());
    return names;
  }

  fs::path dir;
};

// The samples the rendering rule defines, made with direct library calls on
// a fresh thread: blocks of `block` samples from a new voice, each with the
// parameters interpolated at the time of its first sample.
std::vector<float> reference(const Score &score, int rate, int block,
                             std::int64_t total) {
  std::vector<float> out(static_cast<std::size_t>(total));
  tw::on_fresh_thread([&] {
    tw::Voice v;
    for (std::int64_t s = 0; s < total; s += block) {
      const int n = static_cast<int>(std::min<std::int64_t>(block, total - s));
      const auto p =
          tw::render::params_at(score, static_cast<double>(s) / rate);
      synthesize_waveguide_chunk_ex(
          n, p.data(), v.R.data(), v.L.data(), v.nasal_R.data(),
          v.nasal_L.data(), &v.phase, out.data() + s, static_cast<float>(rate));
    }
  });
  return out;
}

::testing::AssertionResult same_samples(const std::vector<float> &got,
                                        const std::vector<float> &want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure()
           << got.size() << " samples, expected " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i)
    if (!(got[i] == want[i]))
      return ::testing::AssertionFailure()
             << "sample " << i << " is " << got[i] << ", expected " << want[i];
  return ::testing::AssertionSuccess();
}

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
  EXPECT_EQ(tw::render::sample_count(want, 48000), 3854); // 3854.4 rounds down
  Score half;
  half.keyframes = {frame(0.5, {})};
  EXPECT_EQ(tw::render::sample_count(half, 9001), 4501); // 4500.5 rounds up
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

  // The summary names the file and reports what was written.
  std::smatch m;
  const std::regex summary(
      R"(^tractwave-demo\.wav: ([0-9.]+) s, (\d+) samples at 48000 Hz .*peak )"
      R"(([0-9.]+) .*RMS ([0-9.]+) .*rendered in [0-9.]+ s, [0-9.]+x real time\n$)");
  ASSERT_TRUE(std::regex_match(builtin.out, m, summary)) << builtin.out;
  EXPECT_NEAR(std::stod(m[1]), seconds, 1e-3);
  EXPECT_EQ(std::stoll(m[2]), static_cast<long long>(w.samples.size()));
  EXPECT_NEAR(std::stod(m[3]), peak, 1e-4);
  EXPECT_NEAR(std::stod(m[4]), rms, 1e-4);
  EXPECT_EQ(builtin.err, ""); // no progress line when stderr is not a terminal
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
       "s.csv:1: column \"lips\" appears twice"},
      {"non-numeric CSV value",
       "t,pitch\n0,0.5\n0.1,high\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:3: column \"pitch\": \"high\""},
      {"NaN is not a number",
       "t,pitch\n0,nan\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:2: column \"pitch\""},
      {"short row",
       "t,pitch,lips\n0,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:2: 2 values"},
      {"decreasing CSV time",
       "t,pitch\n0,0.5\n\n0.2,0.5\n0.1,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:5: time t = 0.1"},
      {"negative time",
       "t,pitch\n-1,0.5\n",
       {"s.csv", "-o", "out.wav"},
       "s.csv:2: time t"},
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
       "s.json:2: malformed JSON"},
      {"unknown JSON parameter",
       R"({"keyframes": [{"t": 0}, {"t": 1, "lipz": 0.5}]})",
       {"s.json", "-o", "out.wav"},
       "s.json: keyframes[1]: unknown key \"lipz\""},
      {"non-numeric JSON value",
       R"({"keyframes": [{"t": 0, "pitch": "high"}]})",
       {"s.json", "-o", "out.wav"},
       "s.json: keyframes[0].pitch: \"high\""},
      {"decreasing JSON time",
       R"({"keyframes": [{"t": 0.5}, {"t": 0.25}]})",
       {"s.json", "-o", "out.wav"},
       "s.json: keyframes[1]: time t = 0.25"},
      {"empty JSON score",
       R"({"keyframes": []})",
       {"s.json", "-o", "out.wav"},
       "s.json: the score has no keyframes"},
      {"JSON rate too low",
       R"({"sample_rate": 0, "keyframes": [{"t": 1}]})",
       {"s.json", "-o", "out.wav"},
       "s.json: \"sample_rate\""},
      {"unknown JSON key",
       R"({"samplerate": 44100, "keyframes": [{"t": 1}]})",
       {"s.json", "-o", "out.wav"},
       "s.json: unknown key \"samplerate\""},
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
