// A score: articulatory keyframes in time, and the one rule that turns it
// into samples. The renderer and its tests share this code so that "what a
// score sounds like" is defined in exactly one place.
#pragma once

#include "tractwave.h"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tw::render {

using ParamVector = std::array<float, TRACTWAVE_NUM_PARAMETERS>;

// The parameter names in index order, as scores spell them.
extern const std::array<const char *, TRACTWAVE_NUM_PARAMETERS> kParamNames;

// Value of a parameter that the first keyframe leaves out.
double initial_value(int param);

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

// A fault in a score or in the options; what() names the file and the line,
// key or option at fault.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class ScoreFormat { csv, json };

// `origin` names the text in error messages (usually the file name).
Score parse_csv(const std::string &text, const std::string &origin);
Score parse_json(const std::string &text, const std::string &origin);

// Reads and parses a file; an unreadable file is an Error too.
Score load_score(const std::string &path, ScoreFormat format);

// The format an extension (.csv, .json, any case) implies, if any.
std::optional<ScoreFormat> format_from_extension(const std::string &path);

// Lowest and highest sample rates the renderer accepts. The synthesiser
// treats rates of 8000 Hz and below as 48000 Hz, so a file written at such a
// rate would play at the wrong pitch.
constexpr int kMinRate = 8001;
constexpr int kMaxRate = 768000;
constexpr int kDefaultRate = 48000;
constexpr int kDefaultBlock = 64;

// Throws Error naming `what` if the rate or block size is unusable.
void check_rate(long long rate, const std::string &what);
void check_block(long long block, const std::string &what);

// Linear interpolation of the keyframes at time t (seconds), computed in
// double precision and rounded to float. Before the first keyframe the first
// holds, after the last the last; where two keyframes share a time, the
// later one holds from that time on.
ParamVector params_at(const Score &score, double t);

// Length of the rendering: the last keyframe's time times the rate, rounded
// to the nearest integer (halves away from zero).
std::int64_t sample_count(const Score &score, int rate);

// Renders a score block by block on the calling thread: one call of
// synthesize_waveguide_chunk_ex per block, from a new voice (zero waves and
// phase), with the parameter vector of the block that starts at sample s
// taken at time s / rate. The calling thread's own engine record carries
// over, so a thread that has rendered before does not give the same samples
// as a fresh one.
class Renderer {
public:
  Renderer(const Score &score, int rate, int block);

  std::int64_t total() const { return total_; }
  std::int64_t position() const { return position_; }
  bool done() const { return position_ >= total_; }

  // Writes the next block (at most `block` samples, fewer at the end) into
  // out, which holds at least `block` floats; returns its length.
  int next(float *out);

private:
  const Score &score_;
  int rate_, block_;
  std::int64_t total_, position_ = 0;
  std::array<float, TRACTWAVE_ORAL_SECTIONS> R_{}, L_{};
  std::array<float, TRACTWAVE_NASAL_SECTIONS> nasal_R_{}, nasal_L_{};
  float phase_ = 0.0f;
};

} // namespace tw::render
