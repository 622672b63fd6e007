// tractwave-render: renders a score of articulatory keyframes to a WAV file.
#include "demo_score.h"
#include "score.h"

#include <CLI/CLI.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace tw::render;
using Clock = std::chrono::steady_clock;

constexpr int kExitFault = 2;
constexpr int kExitInterrupted = 130;

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void on_signal(int) { g_interrupted = 1; }

const char *kFooter = R"(Scores
  CSV: a header row naming "t" (seconds) and any of the parameters, then one
  keyframe a row. An empty cell leaves that parameter out of the keyframe.
      t,pitch,voicing,tongue_body,lips
      0.0,0.3,0,0.5,0.6
      0.2,0.35,0.8,,0.9
  JSON: {"sample_rate": 48000, "block": 64,
         "keyframes": [{"t": 0.0, "pitch": 0.3}, {"t": 0.5, "voicing": 0.8}]}
  "sample_rate" and "block" are optional; --rate and --block override them.
  The format follows the extension (.csv, .json) unless --input-format says.

  Parameters, nominally 0 to 1 (0.5 is neutral for the shapes): pitch
  (70 to 450 Hz), voicing, pharynx, tongue_body, tongue_tip, larynx,
  voice_mix, velum, lips, breathiness. A parameter a keyframe leaves out
  keeps its previous value; the first keyframe's defaults are 0.5, except
  voicing and breathiness, which are 0. Times must not decrease.

Rendering
  The output lasts until the last keyframe: round(t_last x rate) samples,
  made in blocks of --block samples (the last one shorter) by one
  synthesiser call per block, from a new voice. The block that starts at
  sample s uses the keyframes linearly interpolated at time s / rate
  (double precision, rounded to float). Before the first keyframe the first
  holds, after the last the last; of keyframes sharing a time the later one
  holds from that time on. With --gain 0 (the default) the file holds the
  synthesiser's samples unchanged; pcm16 rounds them to 16 bits (clipping at
  full scale).

Output
  A mono WAV file. It is written under a temporary name and renamed when
  complete, so a failed or interrupted render leaves no file behind (and an
  existing file of that name untouched). A summary line goes to stdout;
  renders longer than a second show progress on stderr when it is a
  terminal.

Exit status
  0 success; 2 a missing or malformed score, a bad option value or an
  unwritable output (one message on stderr naming the file, line, key or
  option at fault); 130 interrupted.
)";

struct Options {
  std::string score, output, format = "float", input_format;
  int rate = 0, block = 0;
  double gain_db = 0.0;
  bool print_demo = false, quiet = false;
};

std::string default_output(const std::string &score) {
  if (score.empty())
    return "tractwave-demo.wav";
  const auto slash = score.find_last_of("/\\");
  const auto dot = score.rfind('.');
  const bool has_ext =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_ext ? score.substr(0, dot) : score) + ".wav";
}

// Output goes to a temporary file beside the target, renamed into place only
// when every sample is written.
class OutputFile {
public:
  OutputFile(const std::string &path, int rate, int sf_subtype) : path_(path) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | sf_subtype;
#ifdef _WIN32
    temp_ = path + ".partial";
    file_ = sf_open(temp_.c_str(), SFM_WRITE, &info);
#else
    temp_ = path + ".XXXXXX";
    const int fd = mkstemp(&temp_[0]);
    if (fd < 0)
      fail("cannot create the output file");
    // mkstemp makes the file private; give it the permissions a plainly
    // created file would have.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file_)
      close(fd);
#endif
    if (!file_) {
      const std::string why = sf_strerror(nullptr);
      std::remove(temp_.c_str());
      throw Error(path_ + ": cannot write the output: " + why);
    }
    // Full-scale samples clip instead of wrapping around in 16-bit output.
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The PEAK chunk carries a time stamp; without it the same score always
    // gives the same bytes.
    sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  }

  ~OutputFile() {
    if (file_) {
      sf_close(file_);
      std::remove(temp_.c_str());
    }
  }

  void write(const float *samples, int n) {
    if (sf_write_float(file_, samples, n) != n)
      fail("cannot write the output");
  }

  void commit() {
    const int status = sf_close(file_);
    file_ = nullptr;
    if (status != 0) {
      std::remove(temp_.c_str());
      throw Error(path_ +
                  ": cannot write the output: " + sf_error_number(status));
    }
#ifdef _WIN32
    std::remove(path_.c_str());
#endif
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      std::remove(temp_.c_str());
      throw Error(path_ + ": cannot write the output: " + why);
    }
  }

private:
  [[noreturn]] void fail(const char *what) {
    const std::string why =
        file_ ? sf_strerror(file_) : std::string(std::strerror(errno));
    throw Error(path_ + ": " + what + ": " + why);
  }

  std::string path_, temp_;
  SNDFILE *file_ = nullptr;
};

// Progress on stderr, only for a terminal and only once a render has taken
// a second, so that short renders and logs stay clean.
class Progress {
public:
  Progress(std::int64_t total, int rate)
      : total_(total), rate_(rate), start_(Clock::now()),
        enabled_(isatty(2) != 0) {}

  void update(std::int64_t done) {
    if (!enabled_)
      return;
    const auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) ||
        now - last_ < std::chrono::milliseconds(200))
      return;
    last_ = now;
    shown_ = true;
    std::fprintf(
        stderr, "\rrendering %3d%%  %.1f of %.1f s",
        static_cast<int>(100 * done / std::max<std::int64_t>(1, total_)),
        static_cast<double>(done) / rate_, static_cast<double>(total_) / rate_);
    std::fflush(stderr);
  }

  ~Progress() {
    if (shown_)
      std::fprintf(stderr, "\r%40s\r", "");
  }

private:
  std::int64_t total_;
  int rate_;
  Clock::time_point start_, last_{};
  bool enabled_, shown_ = false;
};

std::string decibels(double level) {
  if (level <= 0.0)
    return "-inf dBFS";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f dBFS", 20.0 * std::log10(level));
  return buf;
}

int render(const Options &opt) {
  Score score;
  if (opt.score.empty()) {
    score = parse_json(kDemoScore, "built-in demo");
  } else {
    std::optional<ScoreFormat> format;
    if (!opt.input_format.empty())
      format = opt.input_format == "csv" ? ScoreFormat::csv : ScoreFormat::json;
    else
      format = format_from_extension(opt.score);
    if (!format)
      throw Error(opt.score + ": cannot tell the score's format from its "
                              "name; use --input-format csv|json");
    score = load_score(opt.score, *format);
  }

  const int rate =
      opt.rate ? opt.rate : score.sample_rate.value_or(kDefaultRate);
  const int block = opt.block ? opt.block : score.block.value_or(kDefaultBlock);
  const bool pcm16 = opt.format == "pcm16";
  const std::string output =
      opt.output.empty() ? default_output(opt.score) : opt.output;

  // A plain WAV file cannot hold more than 4 GiB of samples.
  const double bytes = score.keyframes.back().t * rate * (pcm16 ? 2 : 4);
  if (bytes > 4294967295.0 - 4096.0)
    throw Error((opt.score.empty() ? "built-in demo" : opt.score) +
                ": the score is too long for a WAV file at " +
                std::to_string(rate) + " Hz");
  const std::int64_t total = sample_count(score, rate);
  if (total < 1)
    throw Error((opt.score.empty() ? "built-in demo" : opt.score) +
                ": the score lasts no samples (its last keyframe is at t = " +
                std::to_string(score.keyframes.back().t) + ")");

  const float gain = static_cast<float>(std::pow(10.0, opt.gain_db / 20.0));
  const auto start = Clock::now();
  OutputFile out(output, rate, pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  Renderer renderer(score, rate, block);
  std::vector<float> buffer(
      static_cast<std::size_t>(std::min<std::int64_t>(block, total)));
  double peak = 0.0, sum_sq = 0.0;
  {
    Progress progress(total, rate);
    while (!renderer.done()) {
      if (g_interrupted)
        return kExitInterrupted; // the OutputFile removes its temporary file
      const int n = renderer.next(buffer.data());
      if (opt.gain_db != 0.0)
        for (int i = 0; i < n; ++i)
          buffer[i] *= gain;
      for (int i = 0; i < n; ++i) {
        peak = std::max(peak, static_cast<double>(std::fabs(buffer[i])));
        sum_sq += static_cast<double>(buffer[i]) * buffer[i];
      }
      out.write(buffer.data(), n);
      progress.update(renderer.position());
    }
  }
  out.commit();
  const double wall =
      std::chrono::duration<double>(Clock::now() - start).count();
  const double seconds = static_cast<double>(total) / rate;

  if (!opt.quiet) {
    std::printf("%s: %.3f s, %lld samples at %d Hz (%s, block %d); "
                "peak %.4f (%s), RMS %.4f (%s); rendered in %.3f s, "
                "%.1fx real time\n",
                output.c_str(), seconds, static_cast<long long>(total), rate,
                pcm16 ? "pcm16" : "float", block, peak, decibels(peak).c_str(),
                std::sqrt(sum_sq / total),
                decibels(std::sqrt(sum_sq / total)).c_str(), wall,
                seconds / std::max(wall, 1e-9));
    if (pcm16 && peak > 1.0)
      std::printf("warning: samples beyond full scale were clipped; lower "
                  "--gain\n");
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  Options opt;
  CLI::App app{"Renders a score of tractwave articulatory keyframes (CSV or "
               "JSON) to a mono WAV file. Without a score it renders the "
               "built-in demo to tractwave-demo.wav.",
               "tractwave-render"};
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("tractwave-render ") +
                                        TRACTWAVE_RENDER_VERSION + " (" +
                                        sf_version_string() + ")");
  app.add_option("score", opt.score, "Score file (.csv or .json)");
  app.add_option("-o,--output", opt.output,
                 "Output WAV file (default: the score's name with .wav, or "
                 "tractwave-demo.wav for the demo)");
  app.add_option("--rate", opt.rate,
                 "Sample rate in Hz, " + std::to_string(kMinRate) + " to " +
                     std::to_string(kMaxRate) +
                     " (default: the score's sample_rate, else 48000)");
  app.add_option("--block", opt.block,
                 "Samples per synthesiser call; parameters change at block "
                 "boundaries (default: the score's block, else 64)");
  app.add_option("--format", opt.format,
                 "Sample format: float (32-bit, default) or pcm16")
      ->check(CLI::IsMember({"float", "pcm16"}));
  app.add_option("--input-format", opt.input_format,
                 "Score format when the extension does not tell: csv or json")
      ->check(CLI::IsMember({"csv", "json"}));
  app.add_option("--gain", opt.gain_db,
                 "Gain in dB applied to every sample (default 0: the "
                 "synthesiser's own level, peaks around -20 dBFS)");
  app.add_flag("--print-demo", opt.print_demo,
               "Print the built-in demo score (JSON) to stdout and exit");
  app.add_flag("-q,--quiet", opt.quiet, "Do not print the summary line");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::cerr << "tractwave-render: " << e.what() << " (see --help)\n";
    return kExitFault;
  }

  if (opt.print_demo) {
    std::fputs(kDemoScore, stdout);
    return std::fflush(stdout) == 0 ? 0 : kExitFault;
  }

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  try {
    // Option values are checked before anything is read or written; a score's
    // own sample_rate and block were checked when it was parsed.
    if (app.count("--rate"))
      check_rate(opt.rate, "--rate");
    if (app.count("--block"))
      check_block(opt.block, "--block");
    if (!std::isfinite(opt.gain_db))
      throw Error("--gain: must be a finite number of dB");
    return render(opt);
  } catch (const Error &e) {
    std::cerr << "tractwave-render: " << e.what() << "\n";
    return kExitFault;
  } catch (const std::bad_alloc &) {
    std::cerr << "tractwave-render: out of memory\n";
    return kExitFault;
  }
}
