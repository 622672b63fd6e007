// A score: articulatory keyframes in time, and the one rule that turns it
// into samples. The renderer, its tests and the parser fuzzer share this code
// so that "what a score sounds like" is defined in exactly one place here;
// docs/scores.md states the rule, and the Python package and the playground
// follow it, checked by the shared cases in tests/scores/.
#pragma once

#include "text.h"
#include "tractwave.h"

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::render {

using ParamVector = std::array<float, TRACTWAVE_NUM_PARAMETERS>;

// The parameter names in index order, as scores spell them.
extern const std::array<const char *, TRACTWAVE_NUM_PARAMETERS> kParamNames;

// Value of a parameter that the first keyframe leaves out.
double initial_value(int param);

// Limits of the rule. Every number in a score lies within -kMaxValue ...
// kMaxValue, the range in which the library promises bounded output.
constexpr double kMaxValue = 1e6;
constexpr int kMinRate = 8001; // the library renders 8000 Hz and below as 48000
constexpr int kMaxRate = 768000;
constexpr int kDefaultRate = 48000;
constexpr int kDefaultBlock = 64;
constexpr long long kMaxBlock = INT_MAX;
// Longest rendering, in samples: a 32-bit float WAV file holds it, and so
// does memory for Python's output array on any 64-bit machine.
constexpr std::int64_t kMaxSamples = 1000000000;
// No score needs more than three levels (score, keyframes, keyframe); the
// limit only keeps hostile input from exhausting the stack.
constexpr int kMaxDepth = 64;
constexpr std::size_t kDefaultMaxScoreBytes = std::size_t{256} << 20;

// Every value is filled in: a parameter a keyframe leaves out has already
// been carried over from the keyframe before.
struct Keyframe {
  double t = 0.0;
  std::array<double, TRACTWAVE_NUM_PARAMETERS> values{};
};

struct Score {
  std::vector<Keyframe> keyframes; // never empty, times non-decreasing
  std::optional<int> sample_rate;  // as given by a JSON score
  std::optional<int> block;
};

// A fault in a score or in the options: the tools' one kind of fault.
using tool::Error;

enum class ScoreFormat { csv, json };

// `origin` names the text in error messages (usually the file name). The
// text must be UTF-8; a leading byte-order mark is skipped.
Score parse_csv(std::string_view text, const std::string &origin);
Score parse_json(std::string_view text, const std::string &origin);
Score parse_score(std::string_view text, ScoreFormat format,
                  const std::string &origin);

// A score file, read as tool::read_text_file reads one.
std::string read_score_file(const std::string &path, std::size_t max_bytes);

// The format an extension (.csv, .json, any case) implies, if any.
std::optional<ScoreFormat> format_from_extension(const std::string &path);

// Throws Error naming `what` if the rate or block size is unusable.
void check_rate(long long rate, const std::string &what);
void check_block(long long block, const std::string &what);

// How a score renders: the rate and block (an override, else the score's
// own, else the default) and the length, round(t_last x rate) with halves
// rounded up. Throws Error, naming `origin`, for a score that lasts no
// samples or more than kMaxSamples.
struct Plan {
  int rate = kDefaultRate;
  int block = kDefaultBlock;
  std::int64_t total = 0;
};
Plan plan_rendering(const Score &score, const std::string &origin,
                    std::optional<int> rate = std::nullopt,
                    std::optional<int> block = std::nullopt);

// Linear interpolation of the keyframes at time t (seconds): with a and b
// the keyframes around t, w = (t - a.t) / (b.t - a.t) and a + (b - a) x w,
// all in double precision, rounded to float at the end. Before the first
// keyframe the first holds, after the last the last; where two keyframes
// share a time, the later one holds from that time on.
ParamVector params_at(const Score &score, double t);

// Renders a score on the calling thread, from a new voice (zero waves and
// phase): the block that starts at sample s uses the parameter vector at
// time s / rate. A block is rendered in as many library calls as the
// caller's buffer needs, which gives the same samples as one call, so memory
// stays bounded whatever the block size. The calling thread's own engine
// record carries over, so a thread that has rendered before does not give
// the same samples as a fresh one.
class Renderer {
public:
  Renderer(const Score &score, const Plan &plan);

  std::int64_t total() const { return total_; }
  std::int64_t position() const { return position_; }
  bool done() const { return position_ >= total_; }

  // Writes the next samples, at most `capacity` of them (fewer at the end),
  // into out; returns how many.
  int render(float *out, int capacity);

private:
  const Score &score_;
  int rate_, block_;
  std::int64_t total_, position_ = 0, block_left_ = 0;
  ParamVector params_{};
  std::array<float, TRACTWAVE_ORAL_SECTIONS> R_{}, L_{};
  std::array<float, TRACTWAVE_NASAL_SECTIONS> nasal_R_{}, nasal_L_{};
  float phase_ = 0.0f;
};

} // namespace tw::render
