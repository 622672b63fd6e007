// tractwave-say as a user runs it: what it writes, and how it refuses what it
// cannot speak (one message naming the word, phoneme, file or option, exit
// status 2, no file written and none changed).
#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out, err;
};

std::string slurp(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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
  w.samples.resize(static_cast<size_t>(w.info.frames));
  sf_read_float(f, w.samples.data(), w.info.frames);
  sf_close(f);
  return w;
}

double peak_dbfs(const Wav &w) {
  float peak = 0.0f;
  for (float x : w.samples)
    peak = std::max(peak, std::fabs(x));
  return 20.0 * std::log10(peak);
}

class Say : public ::testing::Test {
protected:
  fs::path dir;
  fs::path dict;

  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "tw_say_XXXXXX");
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    dir = tmpl;
    // A small dictionary of our own: the tests do not depend on Debian's.
    dict = dir / "words.dict";
    std::ofstream(dict) << ";;; test words\n"
                           "hello HH AH L OW\n"
                           "world W ER L D\n"
                           "six S IH1 K S\n"
                           "seven S EH1 V AH0 N\n"
                           "a AH0\n";
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the program in `dir` (PATH as the test has it, so that whether
  // espeak-ng is found is the system's business; `no_path` hides it).
  Result run(const std::vector<std::string> &args, bool no_path = false) {
    const fs::path out = dir / ".stdout", err = dir / ".stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0)
        _exit(127);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int none = open("/dev/null", O_RDONLY);
      dup2(none, 0); // no text arrives on standard input
      dup2(o, 1);
      dup2(e, 2);
      if (no_path)
        setenv("PATH", "/nonexistent", 1);
      std::vector<std::string> copy = args;
      std::string exe = TRACTWAVE_SAY_EXE;
      std::vector<char *> argv = {&exe[0]};
      for (auto &a : copy)
        argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  // A refusal: status 2, one line on stderr holding `what`, nothing new in
  // the folder and out.wav (if any) as it was.
  void expect_refused(const std::vector<std::string> &args,
                      const std::string &what, bool no_path = false) {
    std::ofstream(dir / "out.wav") << "keep me";
    const Result r = run(args, no_path);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(what), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(slurp(dir / "out.wav"), "keep me");
    for (const auto &e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      EXPECT_TRUE(name == "out.wav" || name == "words.dict" ||
                  name.rfind("input", 0) == 0)
          << "left behind: " << name;
    }
  }
};

TEST_F(Say, WordsBecomeAWavPeakingAtMinusThreeDbfs) {
  const Result r = run({"Hello, world!", "--dict", dict.string(), "-o",
                        "hello.wav", "--no-espeak"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("hello.wav: "), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  const Wav w = read_wav(dir / "hello.wav");
  EXPECT_EQ(w.info.samplerate, 48000);
  EXPECT_EQ(w.info.channels, 1);
  EXPECT_EQ(w.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_NEAR(peak_dbfs(w), -3.0, 0.01);
  EXPECT_GT(w.samples.size(), 48000u / 2);
  EXPECT_LT(w.samples.size(), 48000u * 3);

  // The same speech from the transcription it prints.
  const Result p = run({"Hello, world!", "--dict", dict.string(),
                        "--print-phonemes", "--no-espeak"});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.out, "HH AH0 L OW1 , W ER1 L D !\n");
  ASSERT_EQ(
      run({"--phonemes", "HH AH0 L OW1 , W ER1 L D !", "-o", "p.wav"}).status,
      0);
  EXPECT_EQ(slurp(dir / "p.wav"), slurp(dir / "hello.wav"));
}

TEST_F(Say, VoiceRateAndFormatOptions) {
  const Result r = run({"--phonemes", "S IH1 K S .", "--voice", "child",
                        "--rate", "16000", "--format", "pcm16", "--speed",
                        "1.5", "--pitch", "0.8", "-o", "six.wav", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const Wav w = read_wav(dir / "six.wav");
  EXPECT_EQ(w.info.samplerate, 16000);
  EXPECT_EQ(w.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_NEAR(peak_dbfs(w), -3.0, 0.05);
  // Faster speech is shorter.
  ASSERT_EQ(run({"--phonemes", "S IH1 K S .", "--voice", "child", "--rate",
                 "16000", "-o", "slow.wav", "-q"})
                .status,
            0);
  EXPECT_LT(w.samples.size(), read_wav(dir / "slow.wav").samples.size());
}

TEST_F(Say, TheTrajectoryFollowsThePhonemes) {
  const Result r = run({"--phonemes", "S IH1 K S .", "-o", "six.wav", "--score",
                        "six.json", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string json = slurp(dir / "six.json");
  ASSERT_EQ(json.rfind("{\"sample_rate\": 48000, \"voice\": \"male\"", 0), 0u);
  // The phonemes appear in their order.
  size_t at = 0;
  for (const char *p : {"\"S\"", "\"IH\"", "\"K\"", "\"S\"", "\"_\""}) {
    at = json.find(std::string("\"phoneme\": ") + p, at);
    ASSERT_NE(at, std::string::npos) << p;
  }
  EXPECT_NE(json.find("\"oral\": ["), std::string::npos);
  EXPECT_EQ(json.substr(json.size() - 3), "]}\n");
}

TEST_F(Say, RefusesWhatItCannotSpeak) {
  // A word of Latin letters is read by the letter rule; one of other letters
  // is refused.
  const std::string greek = "\xce\xbb\xcf\x8c\xce\xb3\xce\xbf\xcf\x82";
  expect_refused(
      {"hello", greek, "--dict", dict.string(), "--no-espeak", "-o", "out.wav"},
      "'" + greek + "' is not in the dictionary");
  // Without espeak-ng on the PATH, the message says so.
  expect_refused({greek, "--dict", dict.string(), "-o", "out.wav"},
                 "'" + greek + "' is not in the dictionary " + dict.string() +
                     " and espeak-ng is not installed",
                 true);
  expect_refused({"--phonemes", "HH AH0 QQ OW1", "-o", "out.wav"},
                 "'QQ' is not an ARPAbet phoneme");
  expect_refused(
      {"--ipa-input", "h\xc9\x99l\xcb\x88o\xca\x8a $", "-o", "out.wav"},
      "'$' is not an IPA phoneme");
  expect_refused({"", "--dict", dict.string(), "-o", "out.wav"},
                 "nothing to say");
  expect_refused({"--phonemes", " , . ", "-o", "out.wav"}, "nothing to say");
  expect_refused({"-o", "out.wav"}, "nothing to say");
  expect_refused({"six", "--phonemes", "S", "-o", "out.wav"},
                 "give only one of");
}

TEST_F(Say, RefusesMissingAndMalformedDictionaries) {
  expect_refused({"hello", "--dict", "missing.dict", "-o", "out.wav"},
                 "missing.dict: cannot open the dictionary");
  std::ofstream(dir / "input.dict") << "hello HH AH L OW\nworld\n";
  expect_refused({"hello", "--dict", "input.dict", "-o", "out.wav"},
                 "input.dict:2: not a dictionary entry");
  std::ofstream(dir / "input-empty.dict") << ";;; nothing\n";
  expect_refused({"hello", "--dict", "input-empty.dict", "-o", "out.wav"},
                 "holds no words");
  // The dictionary is an input: never the output.
  const std::string before = slurp(dict);
  const Result r = run({"hello", "--dict", dict.string(), "-o", dict.string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("that is an input"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(dict), before);
}

TEST_F(Say, RefusesBadOptionValues) {
  expect_refused({"--phonemes", "AA1", "--speed", "0", "-o", "out.wav"},
                 "--speed");
  expect_refused({"--phonemes", "AA1", "--pitch", "nan", "-o", "out.wav"},
                 "--pitch");
  expect_refused({"--phonemes", "AA1", "--rate", "7999", "-o", "out.wav"},
                 "--rate");
  expect_refused({"--phonemes", "AA1", "--rate", "44100.5", "-o", "out.wav"},
                 "--rate");
  expect_refused({"--phonemes", "AA1", "--voice", "robot", "-o", "out.wav"},
                 "--voice");
}

TEST_F(Say, UnknownWordsGoToEspeakWhenItIsInstalled) {
  if (std::system("command -v espeak-ng >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "espeak-ng is not installed";
  const Result r =
      run({"hello", "tractwave", "--dict", dict.string(), "--print-phonemes"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("HH AH0 L OW1 | T R AE1 K T", 0), 0u) << r.out;
}

TEST_F(Say, ReadsALongTextFromAFile) {
  // Ten thousand words, as a book's worth of text would come: sentences of
  // short words, and one very long sentence without punctuation.
  std::string text;
  for (int i = 0; i < 9000; ++i)
    text += i % 100 == 99 ? "six. " : "a ";
  for (int i = 0; i < 1000; ++i)
    text += "a ";
  std::ofstream(dir / "input.txt") << text;
  const Result r = run({"-f", "input.txt", "--dict", dict.string(), "--rate",
                        "8000", "--format", "pcm16", "-o", "long.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Wav w = read_wav(dir / "long.wav");
  EXPECT_NEAR(peak_dbfs(w), -3.0, 0.05);
  EXPECT_GT(w.samples.size(), 8000u * 60 * 5);
  fs::remove(dir / "long.wav");
  // The text file is an input too.
  expect_refused(
      {"-f", "input.txt", "--dict", dict.string(), "-o", "input.txt"},
      "input.txt");
}

} // namespace
