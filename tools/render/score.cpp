#include "score.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tw::render {

const std::array<const char *, TRACTWAVE_NUM_PARAMETERS> kParamNames = {
    "pitch",  "voicing",   "pharynx", "tongue_body", "tongue_tip",
    "larynx", "voice_mix", "velum",   "lips",        "breathiness"};

// A score that starts without saying otherwise starts silent: neutral shapes,
// no voicing and no noise.
double initial_value(int param) {
  return param == TRACTWAVE_VOICING || param == TRACTWAVE_BREATHINESS ? 0.0
                                                                      : 0.5;
}

namespace {

int param_index(const std::string &name) {
  for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
    if (name == kParamNames[i])
      return i;
  return -1;
}

std::string known_names() {
  std::string s = "t";
  for (const char *n : kParamNames)
    s += std::string(", ") + n;
  return s;
}

// Appends a keyframe whose values are given for the parameters marked in
// `given`; the others carry over from the previous keyframe.
void append_keyframe(Score &score, double t,
                     const std::array<double, TRACTWAVE_NUM_PARAMETERS> &values,
                     const std::array<bool, TRACTWAVE_NUM_PARAMETERS> &given,
                     const std::string &where) {
  if (!std::isfinite(t) || t < 0.0)
    throw Error(where + ": time t must be a finite number of seconds >= 0");
  if (!score.keyframes.empty() && t < score.keyframes.back().t) {
    std::ostringstream msg;
    msg.precision(17);
    msg << where << ": time t = " << t
        << " is earlier than the previous keyframe's "
        << score.keyframes.back().t << " (times must not decrease)";
    throw Error(msg.str());
  }
  Keyframe k;
  k.t = t;
  for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i) {
    const double before = score.keyframes.empty()
                              ? initial_value(i)
                              : score.keyframes.back().values[i];
    k.values[i] = given[i] ? values[i] : before;
  }
  score.keyframes.push_back(k);
}

std::string trim(const std::string &s) {
  const char *ws = " \t\r";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string::npos)
    return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::vector<std::string> split_cells(const std::string &line) {
  std::vector<std::string> cells;
  std::string::size_type start = 0;
  for (;;) {
    const auto comma = line.find(',', start);
    cells.push_back(trim(line.substr(start, comma - start)));
    if (comma == std::string::npos)
      return cells;
    start = comma + 1;
  }
}

// Scores are data, not locale-dependent text: the program never changes the
// "C" locale, so strtod reads '.' as the decimal point everywhere.
bool parse_number(const std::string &cell, double &out) {
  if (cell.empty())
    return false;
  errno = 0;
  char *end = nullptr;
  out = std::strtod(cell.c_str(), &end);
  return end == cell.c_str() + cell.size() && errno != ERANGE &&
         std::isfinite(out);
}

void check_not_empty(const Score &score, const std::string &origin) {
  if (score.keyframes.empty())
    throw Error(origin + ": the score has no keyframes");
}

} // namespace

Score parse_csv(const std::string &text, const std::string &origin) {
  std::istringstream in(text);
  std::string line;
  int line_no = 0;
  std::vector<int> columns; // parameter index per column, -1 for t
  Score score;
  while (std::getline(in, line)) {
    ++line_no;
    if (line_no == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
      line.erase(0, 3); // byte-order mark written by some spreadsheets
    if (trim(line).empty())
      continue;
    const std::string where = origin + ":" + std::to_string(line_no);
    const auto cells = split_cells(line);
    if (columns.empty()) {
      bool has_t = false;
      for (const auto &name : cells) {
        const int index = name == "t" ? -1 : param_index(name);
        if (name != "t" && index < 0)
          throw Error(where + ": unknown column \"" + name +
                      "\" in the header (known: " + known_names() + ")");
        if (std::find(columns.begin(), columns.end(), index) != columns.end())
          throw Error(where + ": column \"" + name + "\" appears twice");
        has_t = has_t || index == -1;
        columns.push_back(index);
      }
      if (!has_t)
        throw Error(where + ": the header has no \"t\" column");
      continue;
    }
    if (cells.size() != columns.size())
      throw Error(where + ": " + std::to_string(cells.size()) +
                  " values, but the header names " +
                  std::to_string(columns.size()) + " columns");
    double t = 0.0;
    std::array<double, TRACTWAVE_NUM_PARAMETERS> values{};
    std::array<bool, TRACTWAVE_NUM_PARAMETERS> given{};
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const int index = columns[c];
      const char *name = index < 0 ? "t" : kParamNames[index];
      // An empty parameter cell leaves the parameter out of this keyframe.
      if (cells[c].empty() && index >= 0)
        continue;
      double v = 0.0;
      if (!parse_number(cells[c], v))
        throw Error(where + ": column \"" + name + "\": \"" + cells[c] +
                    "\" is not a finite number");
      if (index < 0)
        t = v;
      else
        values[index] = v, given[index] = true;
    }
    append_keyframe(score, t, values, given, where);
  }
  if (columns.empty())
    throw Error(origin + ": the score is empty (no header row)");
  check_not_empty(score, origin);
  return score;
}

Score parse_json(const std::string &text, const std::string &origin) {
  using nlohmann::json;
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::parse_error &e) {
    // Turn the byte offset into a line number a reader can go to.
    const auto upto = std::min<std::size_t>(e.byte, text.size());
    const auto line = 1 + std::count(text.begin(), text.begin() + upto, '\n');
    std::string what = e.what();
    const auto colon = what.find(": ", what.find("parse error"));
    throw Error(origin + ":" + std::to_string(line) + ": malformed JSON" +
                (colon == std::string::npos ? "" : what.substr(colon)));
  }
  if (!doc.is_object())
    throw Error(origin +
                ": the score must be a JSON object with \"keyframes\"");
  Score score;
  auto integer = [&](const char *key, long long lo, long long hi) {
    const json &v = doc[key];
    if (!v.is_number_integer() || v.get<long long>() < lo ||
        v.get<long long>() > hi)
      throw Error(origin + ": \"" + key + "\" must be an integer from " +
                  std::to_string(lo) + " to " + std::to_string(hi) + ", not " +
                  v.dump());
    return static_cast<int>(v.get<long long>());
  };
  for (const auto &item : doc.items()) {
    const std::string &key = item.key();
    if (key == "sample_rate")
      score.sample_rate = integer("sample_rate", kMinRate, kMaxRate);
    else if (key == "block")
      score.block = integer("block", 1, INT_MAX);
    else if (key != "keyframes")
      throw Error(origin + ": unknown key \"" + key +
                  "\" (known: sample_rate, block, keyframes)");
  }
  if (!doc.contains("keyframes") || !doc["keyframes"].is_array())
    throw Error(origin + ": \"keyframes\" must be an array of keyframes");
  const json &frames = doc["keyframes"];
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const std::string where = origin + ": keyframes[" + std::to_string(k) + "]";
    const json &frame = frames[k];
    if (!frame.is_object())
      throw Error(where + " must be an object such as {\"t\": 0.5, ...}");
    if (!frame.contains("t"))
      throw Error(where + " has no \"t\"");
    double t = 0.0;
    std::array<double, TRACTWAVE_NUM_PARAMETERS> values{};
    std::array<bool, TRACTWAVE_NUM_PARAMETERS> given{};
    for (const auto &item : frame.items()) {
      const std::string &key = item.key();
      const int index = key == "t" ? -1 : param_index(key);
      if (key != "t" && index < 0)
        throw Error(where + ": unknown key \"" + key +
                    "\" (known: " + known_names() + ")");
      if (!item.value().is_number() ||
          !std::isfinite(item.value().get<double>()))
        throw Error(where + "." + key + ": " + item.value().dump() +
                    " is not a finite number");
      const double v = item.value().get<double>();
      if (index < 0)
        t = v;
      else
        values[index] = v, given[index] = true;
    }
    append_keyframe(score, t, values, given, where);
  }
  check_not_empty(score, origin);
  return score;
}

std::optional<ScoreFormat> format_from_extension(const std::string &path) {
  const auto dot = path.rfind('.');
  if (dot == std::string::npos ||
      path.find_first_of("/\\", dot) != std::string::npos)
    return std::nullopt;
  std::string ext = path.substr(dot + 1);
  for (char &c : ext)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "csv")
    return ScoreFormat::csv;
  if (ext == "json")
    return ScoreFormat::json;
  return std::nullopt;
}

Score load_score(const std::string &path, ScoreFormat format) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw Error(path + ": cannot open the score: " + std::strerror(errno));
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  if (in.bad())
    throw Error(path + ": cannot read the score: " + std::strerror(errno));
  return format == ScoreFormat::csv ? parse_csv(text, path)
                                    : parse_json(text, path);
}

void check_rate(long long rate, const std::string &what) {
  if (rate < kMinRate || rate > kMaxRate)
    throw Error(what + ": sample rate " + std::to_string(rate) +
                " Hz is out of range (" + std::to_string(kMinRate) + " to " +
                std::to_string(kMaxRate) + ")");
}

void check_block(long long block, const std::string &what) {
  if (block < 1 || block > INT_MAX)
    throw Error(what + ": block size " + std::to_string(block) +
                " must be at least 1");
}

ParamVector params_at(const Score &score, double t) {
  const auto &k = score.keyframes;
  // The first keyframe after t; the one before it is the last whose time is
  // at or before t, so of several keyframes at one time the last one wins.
  const auto after = std::upper_bound(
      k.begin(), k.end(), t,
      [](double time, const Keyframe &f) { return time < f.t; });
  ParamVector p;
  if (after == k.begin() || after == k.end()) {
    const Keyframe &hold = after == k.begin() ? k.front() : k.back();
    for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
      p[i] = static_cast<float>(hold.values[i]);
    return p;
  }
  const Keyframe &a = *(after - 1), &b = *after;
  const double f = (t - a.t) / (b.t - a.t);
  for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
    p[i] = static_cast<float>(a.values[i] + (b.values[i] - a.values[i]) * f);
  return p;
}

std::int64_t sample_count(const Score &score, int rate) {
  return std::llround(score.keyframes.back().t * rate);
}

Renderer::Renderer(const Score &score, int rate, int block)
    : score_(score), rate_(rate), block_(block),
      total_(sample_count(score, rate)) {}

int Renderer::next(float *out) {
  const int n = static_cast<int>(std::min<std::int64_t>(
      block_, std::max<std::int64_t>(0, total_ - position_)));
  if (n == 0)
    return 0;
  const ParamVector p =
      params_at(score_, static_cast<double>(position_) / rate_);
  synthesize_waveguide_chunk_ex(n, p.data(), R_.data(), L_.data(),
                                nasal_R_.data(), nasal_L_.data(), &phase_, out,
                                static_cast<float>(rate_));
  position_ += n;
  return n;
}

} // namespace tw::render
