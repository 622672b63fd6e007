// tractwave-render: renders a score of articulatory keyframes to a WAV file.
#include "cli.h"
#include "demo_score.h"
#include "output.h"
#include "score.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tw::render;
using namespace tw::tool;
using Clock = std::chrono::steady_clock;

// Samples rendered and written at a time, whatever the block size: the block
// says where parameters change, not how much is held in memory.
constexpr int kPiece = 1 << 16;

const char *kFooter = R"(Scores
  CSV: a header row naming "t" (seconds) and any of the parameters, then one
  keyframe a row. An empty cell leaves that parameter out of the keyframe.
      t,pitch,voicing,tongue_body,lips
      0.0,0.3,0,0.5,0.6
      0.2,0.35,0.8,,0.9
  JSON: {"sample_rate": 48000, "block": 64,
         "keyframes": [{"t": 0.0, "pitch": 0.3}, {"t": 0.5, "voicing": 0.8}]}
  "sample_rate" (8001 to 768000) and "block" (1 to 2147483647) are optional
  whole numbers; --sample-rate and --block override them. The format
  follows the extension (.csv, .json) unless --input-format says; a score
  named - is read from standard input (JSON unless --input-format csv).

  Parameters, nominally 0 to 1 (0.5 is neutral for the shapes): pitch
  (70 to 450 Hz), voicing, pharynx, tongue_body, tongue_tip, larynx,
  voice_mix, velum, lips, breathiness. A parameter a keyframe leaves out
  keeps its previous value; the first keyframe's defaults are 0.5, except
  voicing and breathiness, which are 0. Every value, times included, lies
  within -1000000 to 1000000; times are not negative and do not decrease.
  A score lasts at most 1000000000 samples and its file at most
  --max-score-size. docs/scores.md has the whole rule.

Rendering
  The output lasts until the last keyframe: round(t_last x rate) samples,
  made in blocks of --block samples (the last one shorter) from a new voice.
  The block that starts at sample s uses the keyframes linearly
  interpolated at time s / rate (double precision, rounded to float).
  Before the first keyframe the first holds, after the last the last; of
  keyframes sharing a time the later one holds from that time on. With
  --gain 0 (the default) the file holds the synthesiser's samples
  unchanged; pcm16 rounds them to 16 bits (clipping at full scale).

Output
  A mono sound file in the format its extension names: .wav (also for a
  name without one), .flac (24-bit, or 16 with --format pcm16) or .ogg
  (Vorbis); another extension is refused. -o - writes WAV to standard
  output, with the true sizes in its header even through a pipe. A regular
  file is written under a temporary name beside
  it (.NAME.tractwave-PID.tmp) and renamed when complete, so a failed or
  interrupted render leaves no file behind and an existing file untouched;
  its permissions are kept and a symbolic link is followed. A device or
  FIFO is written in place. A later run removes temporary files that a
  killed run left. The summary line and every message go to standard
  error; renders longer than a second show progress there when it is a
  terminal. --rate is the old spelling of --sample-rate.

Exit status
  0 success; 2 a missing or malformed score, a bad option value, an
  unwritable output or samples that are not finite numbers (one message on
  stderr naming the file, line, key or option at fault); 128 + the signal
  number when stopped by SIGINT (130), SIGHUP or SIGTERM.
)";

struct Options {
  std::string score, output, format = "float", input_format;
  std::string rate, block, gain = "0", max_score_size;
  bool print_demo = false, quiet = false;
};

std::string default_output(const std::string &score) {
  if (score.empty())
    return "tractwave-demo.wav";
  if (score == "-")
    return "tractwave-render.wav";
  const auto slash = score.find_last_of("/\\");
  const auto dot = score.rfind('.');
  const bool has_ext =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_ext ? score.substr(0, dot) : score) + ".wav";
}

// Whole numbers on the command line follow the score's rule: decimal, in
// any form with a whole value ("44100", "044100", "4.41e4"); "0xAC44" is
// no number.
long long whole_option(const std::string &text, const std::string &option) {
  const auto v = decimal_number(text);
  if (!v || *v != std::floor(*v) || std::fabs(*v) > 9e18)
    throw Error(option + ": " + quote(text) +
                " is not a whole number written in decimal");
  return static_cast<long long>(*v);
}

// Progress on stderr, only for a terminal and only once a render has taken
// a second, so that short renders and logs stay clean.
class Progress {
public:
  Progress(std::int64_t total, int rate)
      : total_(total), rate_(rate), start_(Clock::now()),
        enabled_(os::is_terminal(2)) {}

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

int render(const Options &opt, std::optional<int> rate,
           std::optional<int> block, std::size_t max_score_bytes) {
  const std::string origin = opt.score.empty() ? "built-in demo" : opt.score;
  Score score;
  if (opt.score.empty()) {
    score = parse_json(kDemoScore, origin);
  } else {
    std::optional<ScoreFormat> format;
    if (!opt.input_format.empty())
      format = opt.input_format == "csv" ? ScoreFormat::csv : ScoreFormat::json;
    else if (opt.score == "-")
      format = ScoreFormat::json;
    else
      format = format_from_extension(opt.score);
    if (!format)
      throw Error(opt.score + ": cannot tell the score's format from its "
                              "name; use --input-format csv|json");
    score = parse_score(
        opt.score == "-"
            ? read_text_file(opt.score, "score", max_score_bytes,
                             "--max-score-size raises the limit", true)
            : read_score_file(opt.score, max_score_bytes),
        *format, opt.score == "-" ? "standard input" : opt.score);
  }
  const Plan plan = plan_rendering(score, origin, rate, block);
  const bool pcm16 = opt.format == "pcm16";
  const std::string output =
      opt.output.empty() ? default_output(opt.score) : opt.output;
  const double gain_db = *decimal_number(opt.gain);
  const float gain = static_cast<float>(std::pow(10.0, gain_db / 20.0));

  const auto start = Clock::now();
  catch_stop_signals();
  OutputFile out(output, opt.score, plan.rate,
                 pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  Renderer renderer(score, plan);
  std::vector<float> buffer(
      static_cast<std::size_t>(std::min<std::int64_t>(kPiece, plan.total)));
  double peak = 0.0, sum_sq = 0.0;
  std::int64_t not_finite = 0, first_not_finite = 0;
  {
    Progress progress(plan.total, plan.rate);
    while (!renderer.done()) {
      if (g_stop_signal)
        return stopped_status(); // the OutputFile removes its temporary
      const std::int64_t at = renderer.position();
      const int n = renderer.render(buffer.data(), kPiece);
      if (gain_db != 0.0)
        for (int i = 0; i < n; ++i)
          buffer[i] *= gain;
      for (int i = 0; i < n; ++i) {
        const double x = buffer[i];
        if (!std::isfinite(x)) {
          if (not_finite++ == 0)
            first_not_finite = at + i;
          continue;
        }
        peak = std::max(peak, std::fabs(x));
        sum_sq += x * x;
      }
      // After the first sample that is not a number nothing is written; the
      // render goes on only to count them.
      if (not_finite == 0)
        out.write(buffer.data(), n);
      progress.update(renderer.position());
    }
  }
  if (not_finite > 0) {
    char where[64];
    std::snprintf(where, sizeof where, "sample %lld, %.6g s",
                  static_cast<long long>(first_not_finite),
                  static_cast<double>(first_not_finite) / plan.rate);
    throw Error(output + ": " + std::to_string(not_finite) + " of " +
                std::to_string(plan.total) +
                " samples are not finite numbers (the first at " + where +
                (gain_db != 0.0 ? "; lower --gain" : "") +
                "); no file written");
  }
  if (!out.commit())
    return stopped_status();
  const double wall =
      std::chrono::duration<double>(Clock::now() - start).count();
  const double seconds = static_cast<double>(plan.total) / plan.rate;

  if (!opt.quiet) {
    const double rms = std::sqrt(sum_sq / plan.total);
    std::fprintf(stderr,
                 "%s: %.3f s, %lld samples at %d Hz (%s, block %d); "
                 "peak %.4f (%s), RMS %.4f (%s); rendered in %.3f s, "
                 "%.1fx real time\n",
                 printable(output).c_str(), seconds,
                 static_cast<long long>(plan.total), plan.rate,
                 pcm16 ? "pcm16" : "float", plan.block, peak,
                 decibels(peak).c_str(), rms, decibels(rms).c_str(), wall,
                 seconds / std::max(wall, 1e-9));
    if (pcm16 && peak > 1.0)
      std::fprintf(stderr, "warning: samples beyond full scale were clipped; "
                           "lower --gain\n");
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
  app.set_version_flag(
      "--version", version_text("tractwave-render", TRACTWAVE_RENDER_VERSION));
  app.add_option("score", opt.score,
                 "Score file (.csv or .json; - for standard input)");
  app.add_option("-o,--output", opt.output,
                 "Output file, .wav, .flac or .ogg; - writes WAV to standard "
                 "output (default: the score's name with .wav, or "
                 "tractwave-demo.wav for the demo)");
  app.add_option("--sample-rate,--rate", opt.rate,
                 "Sample rate in Hz, " + std::to_string(kMinRate) + " to " +
                     std::to_string(kMaxRate) +
                     " (default: the score's sample_rate, else 48000)");
  app.add_option("--block", opt.block,
                 "Samples per block, 1 to 2147483647; parameters change at "
                 "block boundaries (default: the score's block, else 64)");
  add_sample_format(app, opt.format);
  app.add_option("--input-format", opt.input_format,
                 "Score format when the extension does not tell: csv or json")
      ->check(CLI::IsMember({"csv", "json"}));
  app.add_option("--gain", opt.gain,
                 "Gain in dB applied to every sample (default 0: the "
                 "synthesiser's own level, peaks around -20 dBFS)");
  app.add_option("--max-score-size", opt.max_score_size,
                 "Largest score file read, in MiB (default 256)");
  app.add_flag("--print-demo", opt.print_demo,
               "Print the built-in demo score (JSON) to stdout and exit");
  add_quiet(app, opt.quiet);

  return run_tool(app, argc, argv, [&] {
    if (opt.print_demo) {
      std::fputs(kDemoScore, stdout);
      return std::fflush(stdout) == 0 ? 0 : kExitFault;
    }
    // Option values are checked before anything is read or written; a score's
    // own sample_rate and block are checked when it is parsed.
    std::optional<int> rate, block;
    std::size_t max_score_bytes = kDefaultMaxScoreBytes;
    if (app.count("--sample-rate")) {
      // Messages name the option as it was written (--rate is the old name).
      std::string name = "--sample-rate";
      for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--rate", 6) == 0)
          name = "--rate";
      const long long r = whole_option(opt.rate, name);
      check_rate(r, name);
      rate = static_cast<int>(r);
    }
    if (app.count("--block")) {
      const long long b = whole_option(opt.block, "--block");
      check_block(b, "--block");
      block = static_cast<int>(b);
    }
    const auto gain = decimal_number(opt.gain);
    if (!gain || !std::isfinite(*gain))
      throw Error("--gain: " + quote(opt.gain) +
                  " is not a number of dB written in decimal");
    if (app.count("--max-score-size")) {
      const long long mib =
          whole_option(opt.max_score_size, "--max-score-size");
      if (mib < 1 || mib > (1LL << 20))
        throw Error("--max-score-size: must be from 1 to 1048576 MiB");
      max_score_bytes = static_cast<std::size_t>(mib) << 20;
    }
    return render(opt, rate, block, max_score_bytes);
  });
}
