// Helpers of the tests that run tractwave-render as a user runs it: the
// program is started with arguments in a folder of its own, and its files,
// messages and exit status are checked.
#pragma once

#include "score.h"
#include "tool_test.h"
#include "tw_test.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tw::render_test {

namespace fs = std::filesystem;
using tw::render::Score;

using tool_test::read_pcm16;
using tool_test::read_wav;
using tool_test::Result;
using tool_test::slurp;
using tool_test::Wav;
using tool_test::write_text;

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

  // The program under test: TRACTWAVE_RENDER, if set, names another build
  // of it (an installed one, or an older one to compare with).
  static std::string program() {
    const char *other = std::getenv("TRACTWAVE_RENDER");
    return other && *other ? other : TRACTWAVE_RENDER_EXE;
  }

  // Starts the program in `dir` with stdout and stderr going to files. With
  // a data limit (bytes of heap and private mappings) an allocation beyond
  // it fails in the program, which reports running out of memory.
  pid_t start(const std::vector<std::string> &args, rlim_t data_limit = 0) {
    const fs::path out = dir / ".stdout", err = dir / ".stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0)
        _exit(127);
      const struct rlimit limit = {data_limit, data_limit};
      if (data_limit && setrlimit(RLIMIT_DATA, &limit) != 0)
        _exit(127);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char *> argv;
      std::string exe = program();
      argv.push_back(&exe[0]);
      std::vector<std::string> copy = args;
      for (auto &a : copy)
        argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }

  // Waits for a started program and collects what it printed.
  Result finish(pid_t pid) {
    Result r;
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus)     ? WEXITSTATUS(wstatus)
               : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus)
                                      : -1;
    const fs::path out = dir / ".stdout", err = dir / ".stderr";
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  Result run(const std::vector<std::string> &args, rlim_t data_limit = 0) {
    return finish(start(args, data_limit));
  }

  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
      if (e.path().filename() != ".stdout" && e.path().filename() != ".stderr")
        names.insert(e.path().filename().string());
    return names;
  }

  fs::path dir;
};

// The samples the rendering rule defines, made with direct library calls on
// a fresh thread: blocks of `block` samples from a new voice, each with the
// parameters interpolated at the time of its first sample.
inline std::vector<float> reference(const Score &score, int rate, int block,
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

inline ::testing::AssertionResult same_samples(const std::vector<float> &got,
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

} // namespace tw::render_test
