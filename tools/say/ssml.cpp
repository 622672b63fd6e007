#include "ssml.h"

#include "text.h"

#include "tractwave_speech.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

namespace tw::say {

namespace {

using tw::tool::decimal_number;
using tw::tool::Error;

constexpr double kMaxPause = 600.0; // seconds
constexpr double kMinScale = 0.25, kMaxScale = 4.0;

// Digit names in ARPAbet, so that say-as spells the same way whatever the
// dictionary holds; a letter's name is the speech library's.
const char *const kDigits[10] = {
    "Z IH1 R OW0", "W AH1 N",   "T UW1",         "TH R IY1", "F AO1 R",
    "F AY1 V",     "S IH1 K S", "S EH1 V AH0 N", "EY1 T",    "N AY1 N"};

struct Prosody {
  double rate = 1.0, pitch = 1.0, volume = 1.0;
};

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string where(std::size_t at) {
  return "SSML at byte " + std::to_string(at) + ": ";
}

// A number with an optional sign and the given unit ("%", "ms", "dB"...),
// or nothing when the text is not one.
std::optional<double> number_with_unit(const std::string &text,
                                       const std::string &unit) {
  if (text.size() <= unit.size() ||
      lower(text.substr(text.size() - unit.size())) != lower(unit))
    return std::nullopt;
  return decimal_number(text.substr(0, text.size() - unit.size()));
}

bool signed_text(const std::string &text) {
  return !text.empty() && (text[0] == '+' || text[0] == '-');
}

// A relative change: "+10%", "-20%" (of the current value), "150%" (the
// current value times 1.5).
std::optional<double> percent(const std::string &text) {
  const auto v = number_with_unit(text, "%");
  if (!v)
    return std::nullopt;
  return signed_text(text) ? 1.0 + *v / 100.0 : *v / 100.0;
}

double scale_or_throw(std::optional<double> v, const std::string &attribute,
                      const std::string &text, std::size_t at) {
  if (!v || !std::isfinite(*v) || *v < 0)
    throw Error(where(at) + attribute + "=\"" + text + "\" is not a value " +
                "tractwave-say knows");
  return *v;
}

double rate_of(const std::string &text, std::size_t at) {
  static const std::map<std::string, double> words = {
      {"x-slow", 0.5},  {"slow", 0.75}, {"medium", 1.0},
      {"default", 1.0}, {"fast", 1.3},  {"x-fast", 1.7}};
  const auto w = words.find(lower(text));
  if (w != words.end())
    return w->second;
  auto v = percent(text);
  if (!v && !signed_text(text))
    v = decimal_number(text); // a bare multiplier: "1.5"
  return scale_or_throw(v, "rate", text, at);
}

double pitch_of(const std::string &text, std::size_t at) {
  static const std::map<std::string, double> words = {
      {"x-low", 0.7},   {"low", 0.85},  {"medium", 1.0},
      {"default", 1.0}, {"high", 1.15}, {"x-high", 1.3}};
  const auto w = words.find(lower(text));
  if (w != words.end())
    return w->second;
  auto v = percent(text);
  if (!v)
    if (const auto st = number_with_unit(text, "st"))
      v = std::pow(2.0, *st / 12.0);
  return scale_or_throw(v, "pitch", text, at);
}

double volume_of(const std::string &text, std::size_t at) {
  static const std::map<std::string, double> words = {
      {"silent", 0.0},  {"x-soft", 0.25}, {"soft", 0.5},  {"medium", 1.0},
      {"default", 1.0}, {"loud", 1.4},    {"x-loud", 2.0}};
  const auto w = words.find(lower(text));
  if (w != words.end())
    return w->second;
  auto v = percent(text);
  if (!v)
    if (const auto db = number_with_unit(text, "dB"))
      v = std::pow(10.0, *db / 20.0);
  if (!v && !signed_text(text))
    if (const auto n = decimal_number(text)) // 0 to 100
      v = *n / 100.0;
  return scale_or_throw(v, "volume", text, at);
}

double pause_of(const std::map<std::string, std::string> &attributes,
                std::size_t at) {
  const auto time = attributes.find("time");
  if (time != attributes.end()) {
    std::optional<double> seconds;
    if (const auto ms = number_with_unit(time->second, "ms"))
      seconds = *ms / 1000.0;
    else if (const auto s = number_with_unit(time->second, "s"))
      seconds = *s;
    if (!seconds || !(*seconds >= 0 && *seconds <= kMaxPause))
      throw Error(where(at) + "break time=\"" + time->second +
                  "\" is not a time from 0 to 600 s (\"500ms\", \"1.5s\")");
    return *seconds;
  }
  static const std::map<std::string, double> strengths = {
      {"none", 0.0},   {"x-weak", 0.1},  {"weak", 0.25},
      {"medium", 0.4}, {"strong", 0.75}, {"x-strong", 1.2}};
  const auto strength = attributes.find("strength");
  if (strength == attributes.end())
    return strengths.at("medium");
  const auto s = strengths.find(lower(strength->second));
  if (s == strengths.end())
    throw Error(where(at) + "break strength=\"" + strength->second +
                "\" is not none, x-weak, weak, medium, strong or x-strong");
  return s->second;
}

std::string decode_entities(std::string_view text, std::size_t at) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t end = text.find(';', i);
    if (end == std::string_view::npos || end - i > 12)
      throw Error(where(at + i) + "'&' starts no entity (write &amp;)");
    const std::string name(text.substr(i + 1, end - i - 1));
    static const std::map<std::string, std::string> named = {
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
    const auto n = named.find(name);
    if (n != named.end()) {
      out += n->second;
    } else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string digits = name.substr(hex ? 2 : 1);
      char *stop = nullptr;
      const unsigned long code =
          std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
      if (digits.empty() || *stop || code == 0 || code > 0x10FFFF)
        throw Error(where(at + i) + "&" + name + "; is not a character");
      tw::tool::append_utf8(out, static_cast<unsigned>(code));
    } else {
      throw Error(where(at + i) + "&" + name + "; is not an entity");
    }
    i = end;
  }
  return out;
}

// Appends a segment, joining words to words said the same way.
void append(std::vector<Segment> &out, Segment s) {
  if (s.kind != Segment::Kind::pause &&
      std::all_of(s.text.begin(), s.text.end(), is_space))
    return;
  if (s.kind == Segment::Kind::words && !out.empty() &&
      out.back().kind == Segment::Kind::words && out.back().rate == s.rate &&
      out.back().pitch == s.pitch && out.back().volume == s.volume) {
    out.back().text += " " + s.text;
    return;
  }
  out.push_back(std::move(s));
}

void plain_into(std::vector<Segment> &out, std::string_view text,
                const Prosody &p, std::size_t at) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find("[[", i);
    Segment words{Segment::Kind::words,
                  std::string(text.substr(i, open == std::string_view::npos
                                                 ? std::string_view::npos
                                                 : open - i)),
                  0,
                  p.rate,
                  p.pitch,
                  p.volume};
    append(out, words);
    if (open == std::string_view::npos)
      break;
    const std::size_t close = text.find("]]", open + 2);
    if (close == std::string_view::npos)
      throw Error("text at byte " + std::to_string(at + open) +
                  ": [[ without its ]] (inline ARPAbet is written "
                  "[[HH AH0 L OW1]])");
    append(out, {Segment::Kind::arpabet,
                 std::string(text.substr(open + 2, close - open - 2)), 0,
                 p.rate, p.pitch, p.volume});
    i = close + 2;
  }
}

std::string spelled(const std::string &text, bool letters) {
  std::string out;
  for (unsigned char c : text) {
    // The library reads a word of one letter as the letter's name.
    const char letter[2] = {static_cast<char>(c), '\0'};
    char name[32] = "";
    if (c >= '0' && c <= '9')
      std::snprintf(name, sizeof name, "%s", kDigits[c - '0']);
    else if (letters && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
      tractwave_speech_spell(letter, name, sizeof name);
    if (*name)
      out += std::string(out.empty() ? "" : " | ") + name;
  }
  return out;
}

struct Tag {
  std::string name;
  std::map<std::string, std::string> attributes;
  bool closing = false, empty = false;
  std::size_t end = 0; // just past the '>'
};

Tag read_tag(std::string_view text, std::size_t at) {
  Tag tag;
  std::size_t i = at + 1;
  if (i < text.size() && text[i] == '/') {
    tag.closing = true;
    ++i;
  }
  const std::size_t name_start = i;
  while (i < text.size() && !is_space(text[i]) && text[i] != '>' &&
         text[i] != '/')
    ++i;
  tag.name = lower(text.substr(name_start, i - name_start));
  // Namespaced tags (<amazon:effect>) are nobody's here: ignored.
  for (;;) {
    while (i < text.size() && is_space(text[i]))
      ++i;
    if (i >= text.size())
      throw Error(where(at) + "the tag <" + tag.name + " is not closed");
    if (text[i] == '>') {
      tag.end = i + 1;
      break;
    }
    if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '>') {
      tag.empty = true;
      tag.end = i + 2;
      break;
    }
    const std::size_t key_start = i;
    while (i < text.size() && !is_space(text[i]) && text[i] != '=' &&
           text[i] != '>' && text[i] != '/')
      ++i;
    std::string key = lower(text.substr(key_start, i - key_start));
    while (i < text.size() && is_space(text[i]))
      ++i;
    if (key.empty() || i >= text.size() || text[i] != '=')
      throw Error(where(key_start) + "an attribute of <" + tag.name +
                  "> without =\"value\"");
    ++i;
    while (i < text.size() && is_space(text[i]))
      ++i;
    if (i >= text.size() || (text[i] != '"' && text[i] != '\''))
      throw Error(where(i) + "the value of " + key + " is not quoted");
    const char quote = text[i];
    const std::size_t close = text.find(quote, i + 1);
    if (close == std::string_view::npos)
      throw Error(where(i) + "the value of " + key + " is not closed");
    tag.attributes[key] = decode_entities(text.substr(i + 1, close - i - 1), i);
    i = close + 1;
  }
  return tag;
}

} // namespace

bool is_ssml(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i]))
    ++i;
  if (text.substr(i, 5) == "<?xml") {
    const std::size_t end = text.find("?>", i);
    if (end == std::string_view::npos)
      return false;
    i = end + 2;
    while (i < text.size() && is_space(text[i]))
      ++i;
  }
  if (lower(text.substr(i, 6)) != "<speak")
    return false;
  const char after = i + 6 < text.size() ? text[i + 6] : '\0';
  return after == '>' || after == '/' || is_space(after);
}

std::vector<Segment> parse_plain(std::string_view text) {
  std::vector<Segment> out;
  plain_into(out, text, Prosody{}, 0);
  return out;
}

std::vector<Segment> parse_ssml(std::string_view text) {
  std::vector<Segment> out;
  struct Open {
    std::string name;
    Prosody prosody;
    std::size_t at;
  };
  std::vector<Open> open;
  Prosody current;
  // Inside <phoneme>, <sub> and the like the text is replaced or not spoken.
  int silenced = 0;
  // Inside <say-as>: how its text is read.
  std::string say_as;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t lt = text.find('<', i);
    const std::size_t stop = lt == std::string_view::npos ? text.size() : lt;
    if (stop > i && !open.empty() && silenced == 0) {
      const std::string run = decode_entities(text.substr(i, stop - i), i);
      if (say_as == "characters" || say_as == "spell-out" ||
          say_as == "verbatim" || say_as == "digits") {
        append(out, {Segment::Kind::arpabet, spelled(run, say_as != "digits"),
                     0, current.rate, current.pitch, current.volume});
      } else {
        plain_into(out, run, current, i);
      }
    }
    if (lt == std::string_view::npos)
      break;
    if (text.substr(lt, 4) == "<!--") {
      const std::size_t end = text.find("-->", lt + 4);
      if (end == std::string_view::npos)
        throw Error(where(lt) + "the comment is not closed (-->)");
      i = end + 3;
      continue;
    }
    if (text.substr(lt, 2) == "<?" || text.substr(lt, 2) == "<!") {
      const std::size_t end = text.find('>', lt);
      if (end == std::string_view::npos)
        throw Error(where(lt) + "the declaration is not closed");
      i = end + 1;
      continue;
    }
    const Tag tag = read_tag(text, lt);
    i = tag.end;
    const bool drops_content = tag.name == "phoneme" || tag.name == "sub" ||
                               tag.name == "desc" || tag.name == "metadata" ||
                               tag.name == "lexicon" || tag.name == "meta";
    if (tag.closing) {
      if (open.empty() || open.back().name != tag.name)
        throw Error(where(lt) + "</" + tag.name + "> closes " +
                    (open.empty() ? std::string("nothing")
                                  : "<" + open.back().name + ">"));
      current = open.back().prosody;
      open.pop_back();
      if (drops_content)
        --silenced;
      if (tag.name == "say-as")
        say_as.clear();
      continue;
    }
    if (open.empty() && tag.name != "speak")
      throw Error(where(lt) + "an SSML document starts with <speak>, not <" +
                  tag.name + ">");
    const auto attr = [&](const char *key) -> const std::string * {
      const auto a = tag.attributes.find(key);
      return a == tag.attributes.end() ? nullptr : &a->second;
    };
    Prosody next = current;
    if (silenced == 0) {
      if (tag.name == "break") {
        append(out, {Segment::Kind::pause, "", pause_of(tag.attributes, lt),
                     current.rate, current.pitch, current.volume});
      } else if (tag.name == "prosody") {
        if (const auto *v = attr("rate"))
          next.rate *= rate_of(*v, lt);
        if (const auto *v = attr("pitch"))
          next.pitch *= pitch_of(*v, lt);
        if (const auto *v = attr("volume"))
          next.volume *= volume_of(*v, lt);
      } else if (tag.name == "emphasis") {
        const auto *level = attr("level");
        const std::string l = level ? lower(*level) : "moderate";
        if (l == "strong")
          next = {next.rate * 0.8, next.pitch * 1.15, next.volume * 1.6};
        else if (l == "moderate")
          next = {next.rate * 0.9, next.pitch * 1.1, next.volume * 1.3};
        else if (l == "reduced")
          next = {next.rate * 1.1, next.pitch * 0.95, next.volume * 0.7};
        else if (l != "none")
          throw Error(where(lt) + "emphasis level=\"" + *level +
                      "\" is not strong, moderate, reduced or none");
      } else if (tag.name == "phoneme") {
        const auto *ph = attr("ph");
        if (!ph)
          throw Error(where(lt) + "<phoneme> without ph=\"...\"");
        const auto *alphabet = attr("alphabet");
        const std::string a = alphabet ? lower(*alphabet) : "ipa";
        Segment::Kind kind;
        if (a == "ipa")
          kind = Segment::Kind::ipa;
        else if (a == "x-arpabet" || a == "arpabet" || a == "x-cmu" ||
                 a == "cmu")
          kind = Segment::Kind::arpabet;
        else
          throw Error(where(lt) + "phoneme alphabet=\"" + *alphabet +
                      "\" is not ipa or x-arpabet");
        append(out,
               {kind, *ph, 0, current.rate, current.pitch, current.volume});
      } else if (tag.name == "sub") {
        if (const auto *alias = attr("alias"))
          plain_into(out, *alias, current, lt);
      } else if (tag.name == "say-as") {
        const auto *how = attr("interpret-as");
        say_as = how ? lower(*how) : "";
      }
    }
    next.rate = std::clamp(next.rate, kMinScale, kMaxScale);
    next.pitch = std::clamp(next.pitch, kMinScale, kMaxScale);
    next.volume = std::clamp(next.volume, 0.0, kMaxScale);
    if (!tag.empty) {
      open.push_back({tag.name, current, lt});
      current = next;
      if (drops_content)
        ++silenced;
    }
  }
  if (!open.empty())
    throw Error(where(open.back().at) + "<" + open.back().name +
                "> is not closed");
  return out;
}

} // namespace tw::say
