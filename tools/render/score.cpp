#include "score.h"

#include "host_facts.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace tw::render {

namespace {

template <std::size_t... I>
constexpr std::array<const char *, TRACTWAVE_NUM_PARAMETERS>
parameter_names(std::index_sequence<I...>) {
  return {tractwave_facts::kParameters[I].name...};
}

} // namespace

const std::array<const char *, TRACTWAVE_NUM_PARAMETERS> kParamNames =
    parameter_names(std::make_index_sequence<TRACTWAVE_NUM_PARAMETERS>());

double initial_value(int param) {
  return tractwave_facts::kParameters[param].initial;
}

namespace {

using tool::decimal_number;
using tool::quote;

constexpr std::size_t kLiteralChars = 40;

int param_index(std::string_view name) {
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

// Shortest text that reads back as the same double, as Python's repr and
// JavaScript's String() print it (up to the exponent's form).
std::string number_text(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// A number as the score spells it, cut short like quoted text.
std::string literal_text(std::string_view literal) {
  if (literal.size() <= kLiteralChars)
    return std::string(literal);
  return std::string(literal.substr(0, kLiteralChars)) + "...";
}

std::string line_prefix(const std::string &origin, int line) {
  return origin + ":" + std::to_string(line) + ": ";
}

// Offset of the first byte that is not well-formed UTF-8, or npos.
std::size_t invalid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      lo = c == 0xE0 ? 0xA0 : 0x80;
      hi = c == 0xED ? 0x9F : 0xBF; // no UTF-16 surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      lo = c == 0xF0 ? 0x90 : 0x80;
      hi = c == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else
      return i;
    if (s.size() - i < len)
      return i;
    const unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
    if (c1 < lo || c1 > hi)
      return i;
    for (std::size_t k = 2; k < len; ++k) {
      const unsigned char ck = static_cast<unsigned char>(s[i + k]);
      if (ck < 0x80 || ck > 0xBF)
        return i;
    }
    i += len;
  }
  return std::string_view::npos;
}

// Checks the encoding and skips a byte-order mark.
std::string_view checked_text(std::string_view text,
                              const std::string &origin) {
  const auto bad = invalid_utf8(text);
  if (bad != std::string_view::npos) {
    const auto line = 1 + std::count(text.begin(), text.begin() + bad, '\n');
    throw Error(line_prefix(origin, static_cast<int>(line)) +
                "not valid UTF-8 (byte " + std::to_string(bad) + ")");
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF")
    text.remove_prefix(3);
  return text;
}

// JSON's number grammar. Hexadecimal, "nan", "inf", a leading '+' or '.',
// or a leading zero before more digits are not numbers in a score.
std::size_t json_number_length(std::string_view s) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
      ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-')
    ++i;
  if (i < s.size() && s[i] == '0')
    ++i;
  else if (!digits())
    return 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits())
      return 0;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
      ++i;
    if (!digits())
      return 0;
  }
  return i;
}

// Correctly rounded, like every JSON reader; a literal too large for a
// double gives infinity, which the range check then refuses. The program
// never changes the "C" locale, so strtod reads '.' as the decimal point.
double to_double(std::string_view literal) {
  const std::string text(literal);
  return std::strtod(text.c_str(), nullptr);
}

// Where one keyframe's values are gathered before it joins the score.
struct PendingKeyframe {
  std::optional<double> t;
  int t_line = 0;
  std::array<double, TRACTWAVE_NUM_PARAMETERS> values{};
  std::array<bool, TRACTWAVE_NUM_PARAMETERS> given{};
};

// The checks every value passes wherever it was written; returns the fault.
std::optional<std::string> check_value(const std::string &name, double v,
                                       std::string_view literal, bool is_time) {
  if (!(std::fabs(v) <= kMaxValue))
    return name + ": " + literal_text(literal) +
           " is out of range (-1000000 to 1000000)";
  if (is_time && v < 0.0)
    return name + ": " + literal_text(literal) +
           " is negative (times are seconds from 0)";
  return std::nullopt;
}

// Appends a keyframe, carrying over the values it leaves out; returns the
// fault if its time is earlier than the previous keyframe's.
std::optional<std::string> append_keyframe(Score &score,
                                           const PendingKeyframe &k,
                                           const std::string &t_name) {
  if (!score.keyframes.empty() && *k.t < score.keyframes.back().t)
    return t_name + ": " + number_text(*k.t) +
           " is earlier than the previous keyframe's " +
           number_text(score.keyframes.back().t) + " (times must not decrease)";
  Keyframe f;
  f.t = *k.t;
  for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i) {
    const double before = score.keyframes.empty()
                              ? initial_value(i)
                              : score.keyframes.back().values[i];
    f.values[i] = k.given[i] ? k.values[i] : before;
  }
  score.keyframes.push_back(f);
  return std::nullopt;
}

std::string trim(std::string_view s) {
  const char *ws = " \t\r";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string_view::npos)
    return "";
  return std::string(s.substr(b, s.find_last_not_of(ws) - b + 1));
}

std::vector<std::string> split_cells(std::string_view line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (;;) {
    const auto comma = line.find(',', start);
    cells.push_back(trim(line.substr(start, comma - start)));
    if (comma == std::string_view::npos)
      return cells;
    start = comma + 1;
  }
}

// The JSON form. Faults of form (not JSON, a duplicate key, too deep) end the
// reading at once. Faults of meaning (an unknown key, a value out of range)
// are noted, the first one only, and reported once the whole text has been
// read as JSON, so that a score that is not JSON at all is always reported
// as such, as every JSON reader reports it.
class JsonReader {
public:
  JsonReader(std::string_view text, const std::string &origin)
      : s_(text), origin_(origin) {}

  Score read() {
    ws();
    const int line = line_;
    if (peek() == '{')
      score_object();
    else
      fault(line, "the score must be a JSON object with \"keyframes\", not " +
                      describe(value(1)));
    ws();
    if (pos_ < s_.size())
      syntax("unexpected " + found() + " after the score");
    if (fault_)
      throw Error(*fault_);
    if (score_.keyframes.empty())
      throw Error(origin_ + ": the score has no keyframes");
    return std::move(score_);
  }

private:
  enum class Kind { number, string, other };
  struct Value {
    Kind kind;
    std::string text; // a number's literal, a string's contents, else a word
  };

  [[noreturn]] void syntax(const std::string &what) const {
    throw Error(line_prefix(origin_, line_) + "not valid JSON: " + what);
  }

  void fault(int line, const std::string &what) {
    if (!fault_)
      fault_ = line_prefix(origin_, line) + what;
  }

  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }

  std::string found() const {
    if (pos_ >= s_.size())
      return "end of the text";
    return "character " + quote(s_.substr(pos_, 1));
  }

  void ws() {
    for (; pos_ < s_.size(); ++pos_) {
      const char c = s_[pos_];
      if (c == '\n')
        ++line_;
      else if (c != ' ' && c != '\t' && c != '\r')
        return;
    }
  }

  void expect(char c) {
    ws();
    if (peek() != c)
      syntax(std::string("expected '") + c + "' but found " + found());
    ++pos_;
  }

  static std::string describe(const Value &v) {
    switch (v.kind) {
    case Kind::number:
      return literal_text(v.text);
    case Kind::string:
      return quote(v.text);
    default:
      return v.text;
    }
  }

  void open(int depth) {
    if (depth > kMaxDepth)
      throw Error(line_prefix(origin_, line_) + "nested too deeply (more " +
                  "than " + std::to_string(kMaxDepth) + " levels)");
    ++pos_;
  }

  unsigned hex4() {
    unsigned u = 0;
    for (int k = 0; k < 4; ++k, ++pos_) {
      const char c = peek();
      u <<= 4;
      if (c >= '0' && c <= '9')
        u |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        u |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        u |= static_cast<unsigned>(c - 'A' + 10);
      else
        syntax("bad \\u escape in a string");
    }
    return u;
  }

  std::string string_() {
    std::string out;
    ++pos_; // the opening quote
    for (;;) {
      if (pos_ >= s_.size())
        syntax("a string is not closed");
      const char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20)
        syntax("control character in a string (write it as \\u00XX)");
      if (c != '\\') {
        out += c;
        ++pos_;
        continue;
      }
      ++pos_;
      const char e = peek();
      const char *plain = "\"\\/bfnrt";
      const char *meant = "\"\\/\b\f\n\r\t";
      if (const char *p = e ? std::strchr(plain, e) : nullptr) {
        out += meant[p - plain];
        ++pos_;
      } else if (e == 'u') {
        ++pos_;
        unsigned cp = hex4();
        if (cp >= 0xD800 && cp < 0xDC00 && s_.substr(pos_, 2) == "\\u") {
          const std::size_t back = pos_;
          pos_ += 2;
          const unsigned low = hex4();
          if (low >= 0xDC00 && low < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          else
            pos_ = back;
        }
        // A lone surrogate is kept, so that messages show it as the other
        // front ends do.
        tool::append_utf8(out, cp);
      } else {
        syntax("bad escape in a string");
      }
    }
  }

  std::string_view number_() {
    const std::size_t len = json_number_length(s_.substr(pos_));
    if (len == 0)
      syntax("bad number");
    const auto literal = s_.substr(pos_, len);
    pos_ += len;
    return literal;
  }

  // Reads any value; objects and arrays are read through for their form
  // only. `depth` is the level a container opened here would have.
  Value value(int depth) {
    ws();
    const char c = peek();
    if (c == '{') {
      members(depth, [&](const std::string &, int) { value(depth + 1); });
      return {Kind::other, "an object"};
    }
    if (c == '[') {
      elements(depth, [&](std::size_t) { value(depth + 1); });
      return {Kind::other, "an array"};
    }
    if (c == '"')
      return {Kind::string, string_()};
    if (c == '-' || (c >= '0' && c <= '9'))
      return {Kind::number, std::string(number_())};
    for (const char *word : {"true", "false", "null"})
      if (s_.substr(pos_, std::strlen(word)) == word) {
        pos_ += std::strlen(word);
        return {Kind::other, word};
      }
    syntax("expected a value but found " + found());
  }

  // Reads an object; on_member(key, line) reads each member's value.
  template <class F> void members(int depth, F on_member) {
    open(depth);
    std::set<std::string> seen;
    ws();
    if (peek() == '}') {
      ++pos_;
      return;
    }
    for (;;) {
      ws();
      if (peek() != '"')
        syntax("expected a key in quotes but found " + found());
      const int line = line_;
      std::string key = string_();
      if (!seen.insert(key).second)
        throw Error(line_prefix(origin_, line) + "duplicate key " + quote(key));
      expect(':');
      on_member(key, line);
      ws();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') {
        ++pos_;
        return;
      }
      syntax("expected ',' or '}' but found " + found());
    }
  }

  template <class F> void elements(int depth, F on_element) {
    open(depth);
    ws();
    if (peek() == ']') {
      ++pos_;
      return;
    }
    for (std::size_t index = 0;; ++index) {
      on_element(index);
      ws();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') {
        ++pos_;
        return;
      }
      syntax("expected ',' or ']' but found " + found());
    }
  }

  // "sample_rate" or "block": a whole number in any JSON number form.
  std::optional<int> whole(const std::string &key, long long lo, long long hi) {
    ws();
    const int line = line_;
    const Value v = value(2);
    if (v.kind == Kind::number) {
      const double x = to_double(v.text);
      if (x >= static_cast<double>(lo) && x <= static_cast<double>(hi) &&
          x == std::floor(x))
        return static_cast<int>(x);
    }
    fault(line, key + ": must be a whole number from " + std::to_string(lo) +
                    " to " + std::to_string(hi) + ", not " + describe(v));
    return std::nullopt;
  }

  void score_object() {
    members(1, [&](const std::string &key, int line) {
      if (key == "sample_rate") {
        score_.sample_rate = whole(key, kMinRate, kMaxRate);
      } else if (key == "block") {
        score_.block = whole(key, 1, kMaxBlock);
      } else if (key == "keyframes") {
        ws();
        const int at = line_;
        if (peek() == '[')
          elements(2, [&](std::size_t index) { keyframe(index); });
        else
          fault(at, "keyframes: must be an array of keyframes, not " +
                        describe(value(2)));
      } else {
        fault(line, "unknown key " + quote(key) +
                        " (known: sample_rate, block, keyframes)");
        value(2);
      }
    });
  }

  void keyframe(std::size_t index) {
    const std::string where = "keyframes[" + std::to_string(index) + "]";
    ws();
    const int line = line_;
    if (peek() != '{') {
      fault(line, where +
                      ": must be an object such as {\"t\": 0.5, "
                      "\"pitch\": 0.3}, not " +
                      describe(value(3)));
      return;
    }
    PendingKeyframe k;
    members(3, [&](const std::string &key, int key_line) {
      const int param = key == "t" ? -1 : param_index(key);
      if (key != "t" && param < 0) {
        fault(key_line, where + ": unknown key " + quote(key) +
                            " (known: " + known_names() + ")");
        value(4);
        return;
      }
      const std::string name = where + "." + key;
      ws();
      const int value_line = line_;
      const Value v = value(4);
      if (v.kind != Kind::number) {
        fault(value_line, name + ": must be a number, not " + describe(v));
        return;
      }
      const double x = to_double(v.text);
      if (auto bad = check_value(name, x, v.text, param < 0)) {
        fault(value_line, *bad);
        return;
      }
      if (param < 0)
        k.t = x, k.t_line = value_line;
      else
        k.values[param] = x, k.given[param] = true;
    });
    if (fault_)
      return;
    if (!k.t)
      fault(line, where + ": has no \"t\"");
    else if (auto bad = append_keyframe(score_, k, where + ".t"))
      fault(k.t_line, *bad);
  }

  std::string_view s_;
  const std::string &origin_;
  std::size_t pos_ = 0;
  int line_ = 1;
  std::optional<std::string> fault_;
  Score score_;
};

} // namespace

Score parse_csv(std::string_view text, const std::string &origin) {
  text = checked_text(text, origin);
  std::vector<int> columns; // parameter index per column, -1 for t
  Score score;
  int line_no = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    const std::string_view line = text.substr(start, end - start);
    start = end == std::string_view::npos ? text.size() : end + 1;
    ++line_no;
    if (trim(line).empty())
      continue;
    const std::string where = line_prefix(origin, line_no);
    const auto cells = split_cells(line);
    if (columns.empty()) {
      bool has_t = false;
      for (const auto &name : cells) {
        const int index = name == "t" ? -1 : param_index(name);
        if (name != "t" && index < 0)
          throw Error(where + "unknown column " + quote(name) +
                      " (known: " + known_names() + ")");
        if (std::find(columns.begin(), columns.end(), index) != columns.end())
          throw Error(where + "duplicate column " + quote(name));
        has_t = has_t || index == -1;
        columns.push_back(index);
      }
      if (!has_t)
        throw Error(where + "the header has no \"t\" column");
      continue;
    }
    if (cells.size() != columns.size())
      throw Error(where + std::to_string(cells.size()) +
                  " values, but the header names " +
                  std::to_string(columns.size()) + " columns");
    PendingKeyframe k;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const int index = columns[c];
      const std::string name = index < 0 ? "t" : kParamNames[index];
      // An empty parameter cell leaves the parameter out of this keyframe.
      if (cells[c].empty() && index >= 0)
        continue;
      // A CSV cell is a number in decimal: ".5" and "5." included, as
      // spreadsheets write them.
      const auto number = decimal_number(cells[c]);
      if (!number)
        throw Error(where + name + ": must be a number, not " +
                    quote(cells[c]));
      const double v = *number;
      if (auto bad = check_value(name, v, cells[c], index < 0))
        throw Error(where + *bad);
      if (index < 0)
        k.t = v;
      else
        k.values[index] = v, k.given[index] = true;
    }
    if (auto bad = append_keyframe(score, k, "t"))
      throw Error(where + *bad);
  }
  if (columns.empty())
    throw Error(origin + ": the score is empty (no header row)");
  if (score.keyframes.empty())
    throw Error(origin + ": the score has no keyframes");
  return score;
}

Score parse_json(std::string_view text, const std::string &origin) {
  return JsonReader(checked_text(text, origin), origin).read();
}

Score parse_score(std::string_view text, ScoreFormat format,
                  const std::string &origin) {
  return format == ScoreFormat::csv ? parse_csv(text, origin)
                                    : parse_json(text, origin);
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

std::string read_score_file(const std::string &path, std::size_t max_bytes) {
  return tool::read_text_file(path, "score", max_bytes,
                              "--max-score-size raises the limit");
}

void check_rate(long long rate, const std::string &what) {
  if (rate < kMinRate || rate > kMaxRate)
    throw Error(what + ": sample rate " + std::to_string(rate) +
                " Hz is out of range (" + std::to_string(kMinRate) + " to " +
                std::to_string(kMaxRate) + ")");
}

void check_block(long long block, const std::string &what) {
  if (block < 1 || block > kMaxBlock)
    throw Error(what + ": block size " + std::to_string(block) +
                " is out of range (1 to " + std::to_string(kMaxBlock) + ")");
}

Plan plan_rendering(const Score &score, const std::string &origin,
                    std::optional<int> rate, std::optional<int> block) {
  Plan plan;
  plan.rate = rate.value_or(score.sample_rate.value_or(kDefaultRate));
  plan.block = block.value_or(score.block.value_or(kDefaultBlock));
  const double last = score.keyframes.back().t;
  // Times are at most kMaxValue, so the product is far inside int64.
  plan.total = std::llround(last * plan.rate);
  if (plan.total > kMaxSamples)
    throw Error(origin +
                ": the score is too long: " + std::to_string(plan.total) +
                " samples at " + std::to_string(plan.rate) + " Hz (at most " +
                std::to_string(kMaxSamples) + ")");
  if (plan.total < 1)
    throw Error(origin +
                ": the score lasts no samples (its last keyframe is at t = " +
                number_text(last) + ")");
  return plan;
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
  const double w = (t - a.t) / (b.t - a.t);
  for (int i = 0; i < TRACTWAVE_NUM_PARAMETERS; ++i)
    p[i] = static_cast<float>(a.values[i] + (b.values[i] - a.values[i]) * w);
  return p;
}

Renderer::Renderer(const Score &score, const Plan &plan)
    : score_(score), rate_(plan.rate), block_(plan.block), total_(plan.total) {}

int Renderer::render(float *out, int capacity) {
  int written = 0;
  while (written < capacity && position_ < total_) {
    if (block_left_ == 0) {
      params_ = params_at(score_, static_cast<double>(position_) / rate_);
      block_left_ = std::min<std::int64_t>(block_, total_ - position_);
    }
    const int n = static_cast<int>(
        std::min<std::int64_t>(capacity - written, block_left_));
    synthesize_waveguide_chunk_ex(n, params_.data(), R_.data(), L_.data(),
                                  nasal_R_.data(), nasal_L_.data(), &phase_,
                                  out + written, static_cast<float>(rate_));
    written += n;
    position_ += n;
    block_left_ -= n;
  }
  return written;
}

} // namespace tw::render
