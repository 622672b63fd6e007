// tractwave-say and tractwave-render in pipelines, as espeak-ng and sox
// users run them: text on standard input, sound on standard output through
// a pipe, messages on standard error, the output format from its name.
#include "tool_test.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using tw::tool_test::Result;

// Runs a program with `input` on a pipe as standard input and standard
// output and error read from pipes (neither can seek).
Result run(const std::string &exe, const std::vector<std::string> &args,
           const std::string &input, const fs::path &dir) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
    return {};
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0)
      _exit(127);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      close(fd);
    std::vector<std::string> copy = args;
    std::string name = exe;
    std::vector<char *> argv = {&name[0]};
    for (auto &a : copy)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Small inputs: the pipe takes them whole before the program reads.
  if (!input.empty() && write(in[1], input.data(), input.size()) !=
                            static_cast<ssize_t>(input.size()))
    ADD_FAILURE() << "could not write the input";
  close(in[1]);
  Result r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *into[2] = {&r.out, &r.err};
  int open_pipes = 2;
  char buf[65536];
  while (open_pipes > 0 && poll(fds, 2, -1) > 0)
    for (int i = 0; i < 2; ++i)
      if (fds[i].fd >= 0 && fds[i].revents) {
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          into[i]->append(buf, static_cast<std::size_t>(n));
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_pipes;
        }
      }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return r;
}

std::uint32_t le32(const std::string &s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

// The samples of a WAV file held in memory, after checking that its RIFF
// and data chunk sizes are the true ones (what a reader of a pipe relies on).
std::vector<float> wav_samples(const std::string &bytes) {
  EXPECT_GE(bytes.size(), 44u);
  if (bytes.size() < 44)
    return {};
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
  const std::size_t data = bytes.find("data");
  EXPECT_NE(data, std::string::npos);
  if (data == std::string::npos)
    return {};
  EXPECT_EQ(le32(bytes, data + 4), bytes.size() - data - 8);
  std::vector<float> samples((bytes.size() - data - 8) / 4);
  std::memcpy(samples.data(), bytes.data() + data + 8, samples.size() * 4);
  return samples;
}

class Pipes : public ::testing::Test {
protected:
  fs::path dir, dict;

  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "tw_pipes_XXXXXX");
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    dir = tmpl;
    dict = dir / "words.dict";
    std::ofstream(dict) << "hello HH AH L OW\nworld W ER L D\n";
  }
  void TearDown() override { fs::remove_all(dir); }

  Result say(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.end(), {"--dict", dict.string(), "--no-espeak"});
    return run(TRACTWAVE_SAY_EXE, args, input, dir);
  }
};

TEST_F(Pipes, SayReadsStandardInputAndWritesStandardOutput) {
  const Result piped = say({"-o", "-"}, "hello world\n");
  ASSERT_EQ(piped.status, 0) << piped.err;
  const std::vector<float> samples = wav_samples(piped.out);
  EXPECT_GT(samples.size(), 48000u / 4);
  // The summary is on stderr, never in the sound.
  EXPECT_NE(piped.err.find("-: "), std::string::npos) << piped.err;
  EXPECT_EQ(piped.out.find("samples at"), std::string::npos);

  // The same speech as from the words given as arguments, and from -f -.
  ASSERT_EQ(say({"hello world", "-o", "words.wav", "-q"}).status, 0);
  const std::string file = tw::tool_test::slurp(dir / "words.wav");
  EXPECT_EQ(piped.out, file);
  const Result dash = say({"-f", "-", "-o", "-", "-q"}, "hello world");
  EXPECT_EQ(dash.out, file);
  EXPECT_EQ(dash.err, "");
}

TEST_F(Pipes, SsmlBreaksAreSilenceAndTagsAreNotSpoken) {
  const Result plain = say({"-o", "-", "-q"}, "hello world");
  const Result ssml = say({"-o", "-", "-q"},
                          "<speak>hello <break time=\"500ms\"/> world</speak>");
  ASSERT_EQ(ssml.status, 0) << ssml.err;
  const std::vector<float> a = wav_samples(plain.out),
                           b = wav_samples(ssml.out);
  // Half a second longer, and a little more: the phrase ends before it.
  EXPECT_GE(b.size(), a.size() + 24000);
  EXPECT_LE(b.size(), a.size() + 36000);
  std::size_t run = 0, longest = 0;
  for (float x : b) {
    run = x == 0.0f ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  EXPECT_GE(longest, 24000u);
  // The words spoken are the words of the text, the break a pause.
  const Result phonemes =
      say({"--print-phonemes"},
          "<speak>hello <break time=\"500ms\"/><foo>world</foo></speak>");
  EXPECT_EQ(phonemes.out, "HH AH0 L OW1 SIL W ER1 L D\n") << phonemes.err;
  // A word the test dictionary lacks is read by the letter rule, and the
  // inline phonemes after it are still spoken as written.
  const Result mixed = say({"--print-phonemes", "say [[B IY1]] hello"});
  EXPECT_EQ(mixed.status, 0) << mixed.err;
  EXPECT_NE(mixed.out.find("B IY1 HH AH0 L OW1\n"), std::string::npos);
  EXPECT_EQ(say({"--print-phonemes", "[[B IY1]] hello"}).out,
            "B IY1 HH AH0 L OW1\n");
}

TEST_F(Pipes, SayOptionsOfTheEcosystem) {
  const Result voices = say({"--voices"});
  EXPECT_EQ(voices.status, 0);
  for (const char *v : {"male", "female", "child"})
    EXPECT_NE(voices.out.find(v), std::string::npos) << voices.out;
  // espeak-ng's --ipa prints IPA; it is refused, pointing at --ipa-input.
  const Result ipa = say({"--ipa", "hello"});
  EXPECT_EQ(ipa.status, 2);
  EXPECT_NE(ipa.err.find("--ipa-input"), std::string::npos) << ipa.err;
  // A speaking rate given as --rate is refused, not taken for hertz.
  const Result rate = say({"hello", "--rate", "150", "-o", "r.wav"});
  EXPECT_EQ(rate.status, 2);
  EXPECT_NE(rate.err.find("--speed"), std::string::npos) << rate.err;
  EXPECT_FALSE(fs::exists(dir / "r.wav"));
}

TEST_F(Pipes, OutputFormatFollowsTheName) {
  for (const auto &[name, format] :
       std::vector<std::pair<std::string, int>>{{"a.flac", SF_FORMAT_FLAC},
                                                {"a.ogg", SF_FORMAT_OGG},
                                                {"a.WAV", SF_FORMAT_WAV}}) {
    const Result r = run(TRACTWAVE_RENDER_EXE, {"-o", name, "-q"}, "", dir);
    ASSERT_EQ(r.status, 0) << name << ": " << r.err;
    SF_INFO info{};
    SNDFILE *f = sf_open((dir / name).c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, format) << name;
    EXPECT_GT(info.frames, 48000) << name;
    sf_close(f);
  }
  for (const char *refused : {"a.mp3", "a.flac.txt"}) {
    const Result r = run(TRACTWAVE_RENDER_EXE, {"-o", refused}, "", dir);
    EXPECT_EQ(r.status, 2) << refused;
    EXPECT_NE(r.err.find(".wav, .flac or .ogg"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / refused));
  }
}

TEST_F(Pipes, RenderTakesAScoreOnStandardInput) {
  const std::string score = R"({"keyframes": [{"t": 0, "voicing": 0.8},
                                              {"t": 0.25}]})";
  const Result r = run(TRACTWAVE_RENDER_EXE, {"-", "-o", "-"}, score, dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(wav_samples(r.out).size(), 12000u);
  EXPECT_NE(r.err.find("12000 samples"), std::string::npos) << r.err;
  const Result bad = run(TRACTWAVE_RENDER_EXE, {"-", "-o", "-"}, "{", dir);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("standard input"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.out, "");
}

} // namespace
