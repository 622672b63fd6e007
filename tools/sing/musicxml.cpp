// MusicXML (score-partwise, uncompressed) through libxml2: the notes of the
// first voice that carries lyrics in the first part that has any, timed by
// the score's divisions and tempo marks.
#include "song.h"

#include "score.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace tw::sing {

using tw::tool::Error;

namespace {

struct DocDeleter {
  void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};

bool named(const xmlNode *n, const char *name) {
  return n && n->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

const xmlNode *child(const xmlNode *n, const char *name) {
  for (const xmlNode *c = n ? n->children : nullptr; c; c = c->next)
    if (named(c, name))
      return c;
  return nullptr;
}

std::string text_of(const xmlNode *n) {
  std::string s;
  if (!n)
    return s;
  xmlChar *content = xmlNodeGetContent(n);
  if (content) {
    s = reinterpret_cast<const char *>(content);
    xmlFree(content);
  }
  return s;
}

std::string attribute(const xmlNode *n, const char *name) {
  std::string s;
  xmlChar *v = xmlGetProp(n, reinterpret_cast<const xmlChar *>(name));
  if (v) {
    s = reinterpret_cast<const char *>(v);
    xmlFree(v);
  }
  return s;
}

std::optional<double> number(const std::string &text) {
  std::string t = text;
  t.erase(0, t.find_first_not_of(" \t\r\n"));
  t.erase(t.find_last_not_of(" \t\r\n") + 1);
  return tw::tool::decimal_number(t);
}

// A note as the score has it, timed in quarter notes.
struct Timed {
  double start, length; // quarters
  double key;
  std::string text;
  Syllabic syllabic;
  bool tie_stop;
  std::string where;
};

struct Tempo {
  double at, bpm; // quarters, beats (quarters) per minute
};

constexpr int kSteps[7] = {9, 11, 0, 2, 4, 5, 7}; // A B C D E F G

std::optional<double> key_of(const xmlNode *pitch) {
  const std::string step = text_of(child(pitch, "step"));
  const auto octave = number(text_of(child(pitch, "octave")));
  if (step.find_first_not_of(" \t\r\n") == std::string::npos || !octave)
    return std::nullopt;
  const char letter = step[step.find_first_not_of(" \t\r\n")];
  if (letter < 'A' || letter > 'G')
    return std::nullopt;
  double key = 12.0 * (*octave + 1.0) + kSteps[letter - 'A'];
  if (const xmlNode *alter = child(pitch, "alter")) {
    const auto a = number(text_of(alter));
    if (!a)
      return std::nullopt;
    key += *a;
  }
  return key;
}

// The first lyric of a note: its syllable's text (elided syllables joined
// as one) and place in its word.
bool lyric_of(const xmlNode *note, std::string &text, Syllabic &syllabic) {
  const xmlNode *lyric = child(note, "lyric");
  if (!lyric)
    return false;
  text.clear();
  syllabic = Syllabic::single;
  for (const xmlNode *c = lyric->children; c; c = c->next) {
    if (named(c, "text"))
      text += text_of(c);
    else if (named(c, "elision"))
      text += " ";
    else if (named(c, "syllabic")) {
      const std::string s = text_of(c);
      if (s == "begin")
        syllabic = Syllabic::begin;
      else if (s == "middle")
        syllabic = Syllabic::middle;
      else if (s == "end")
        syllabic = Syllabic::end;
    }
  }
  return true;
}

// The part to sing: the first whose notes carry a lyric, and in it the voice
// of its first lyric.
const xmlNode *sung_part(const xmlNode *root, std::string &voice) {
  for (const xmlNode *part = root->children; part; part = part->next) {
    if (!named(part, "part"))
      continue;
    for (const xmlNode *m = part->children; m; m = m->next) {
      if (!named(m, "measure"))
        continue;
      for (const xmlNode *n = m->children; n; n = n->next)
        if (named(n, "note") && child(n, "lyric")) {
          voice = text_of(child(n, "voice"));
          return part;
        }
    }
  }
  return nullptr;
}

} // namespace

Song read_musicxml(const std::string &bytes, const std::string &name) {
  if (bytes.compare(0, 2, "PK") == 0)
    throw Error(name + ": a compressed MusicXML file (.mxl); export it "
                       "uncompressed (.musicxml) or unzip it first");
  if (bytes.size() > 0x7fffffff)
    throw Error(name + ": the score is too large");
  // No network, no external DTD, no entity substitution: a score is read
  // as it is, and can make the parser fetch or expand nothing.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR |
                      XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;
  std::unique_ptr<xmlDoc, DocDeleter> doc(xmlReadMemory(
      bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, options));
  if (!doc) {
    const xmlError *e = xmlGetLastError();
    std::string why = e && e->message ? e->message : "not XML";
    while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
      why.pop_back();
    throw Error(name + (e ? ":" + std::to_string(e->line) : "") +
                ": not a MusicXML score (" + why + ")");
  }
  const xmlNode *root = xmlDocGetRootElement(doc.get());
  if (named(root, "score-timewise"))
    throw Error(name + ": a timewise MusicXML score; only partwise scores "
                       "(what notation programs export) are read");
  if (!named(root, "score-partwise"))
    throw Error(name + ": not a MusicXML score (no <score-partwise>)");
  std::string voice;
  const xmlNode *part = sung_part(root, voice);
  if (!part)
    throw Error(name + ": the score has no lyrics (no <lyric> on any note)");

  std::vector<Timed> timed;
  std::vector<Tempo> tempos{{0.0, 120.0}};
  double divisions = 1.0;
  double measure_start = 0.0; // quarters
  for (const xmlNode *m = part->children; m; m = m->next) {
    if (!named(m, "measure"))
      continue;
    const std::string where = "measure " + attribute(m, "number");
    double pos = 0.0, longest = 0.0, last_start = 0.0; // quarters in measure
    const auto tempo_mark = [&](const xmlNode *sound) {
      const std::string t = attribute(sound, "tempo");
      if (t.empty())
        return;
      const auto bpm = number(t);
      if (!bpm || !(*bpm >= kMinBpm && *bpm <= kMaxBpm))
        throw Error(name + ": " + where + ": a tempo of " + tw::tool::quote(t) +
                    " beats per minute (a score's " +
                    "tempo is from 10 to 1000)");
      tempos.push_back({measure_start + pos, *bpm});
    };
    const auto length_of = [&](const xmlNode *n) {
      const auto d = number(text_of(child(n, "duration")));
      if (!d || !(*d >= 0.0 && *d <= 1e9))
        throw Error(name + ": " + where + ": a duration that is not a " +
                    "number of divisions");
      return *d / divisions;
    };
    for (const xmlNode *e = m->children; e; e = e->next) {
      if (named(e, "attributes")) {
        if (const xmlNode *d = child(e, "divisions")) {
          const auto v = number(text_of(d));
          if (!v || !(*v >= 1.0 && *v <= 1e6))
            throw Error(name + ": " + where + ": divisions of " +
                        tw::tool::quote(text_of(d)) +
                        " (1 to 1000000 per quarter note)");
          divisions = *v;
        }
      } else if (named(e, "sound")) {
        tempo_mark(e);
      } else if (named(e, "direction")) {
        if (const xmlNode *s = child(e, "sound"))
          tempo_mark(s);
      } else if (named(e, "backup")) {
        pos -= length_of(e);
        if (pos < -1e-9)
          throw Error(name + ": " + where + ": <backup> before the measure");
      } else if (named(e, "forward")) {
        pos += length_of(e);
      } else if (named(e, "note")) {
        if (child(e, "grace") || child(e, "cue"))
          continue; // ornaments take no time of their own
        const bool chord = child(e, "chord") != nullptr;
        const double length = length_of(e);
        const double start = chord ? last_start : pos;
        if (!chord)
          pos += length;
        last_start = start;
        longest = std::max(longest, pos);
        if (text_of(child(e, "voice")) != voice || child(e, "rest"))
          continue;
        const auto key = key_of(child(e, "pitch"));
        if (!key) {
          if (child(e, "unpitched"))
            throw Error(name + ": " + where +
                        ": an unpitched note in the "
                        "sung voice");
          throw Error(name + ": " + where + ": a note without a pitch");
        }
        Timed t{measure_start + start, length, *key, "",
                Syllabic::single,      false,  where};
        for (const xmlNode *c = e->children; c; c = c->next)
          if (named(c, "tie") && attribute(c, "type") == "stop")
            t.tie_stop = true;
        lyric_of(e, t.text, t.syllabic);
        if (chord)
          throw Error(name + ": " + where + ": overlapping notes in the " +
                      "sung voice (a chord); one voice sings one note at a " +
                      "time");
        timed.push_back(t);
        if (timed.size() > kMaxNotes)
          throw Error(name + ": more than 100000 notes");
      }
    }
    measure_start += std::max(pos, longest);
  }

  // Tied notes are one note; then quarters become seconds by the tempo
  // marks in force.
  std::vector<Timed> joined;
  for (const Timed &t : timed) {
    if (t.tie_stop && !joined.empty() && t.text.empty() &&
        std::fabs(joined.back().key - t.key) < 1e-9 &&
        std::fabs(joined.back().start + joined.back().length - t.start) <
            1e-6) {
      joined.back().length += t.length;
      continue;
    }
    joined.push_back(t);
  }
  std::stable_sort(tempos.begin(), tempos.end(),
                   [](const Tempo &a, const Tempo &b) { return a.at < b.at; });
  const auto seconds = [&](double q) {
    double s = 0.0;
    for (size_t i = 0; i < tempos.size(); ++i) {
      const double from = tempos[i].at;
      const double to = i + 1 < tempos.size() ? tempos[i + 1].at : q;
      if (q <= from)
        break;
      s += (std::min(q, to) - from) * 60.0 / tempos[i].bpm;
    }
    return s;
  };
  Song song;
  for (const Timed &t : joined) {
    Note n;
    n.start = seconds(t.start);
    n.duration = seconds(t.start + t.length) - n.start;
    n.key = t.key;
    n.text = t.text;
    n.syllabic = t.syllabic;
    n.where = t.where;
    if (!(n.duration > 0.0))
      continue; // a note of no length sings nothing
    song.notes.push_back(n);
  }
  return song;
}

Song read_song(const std::string &bytes, const std::string &name) {
  if (bytes.compare(0, 4, "MThd") == 0)
    return read_smf(bytes, name);
  if (bytes.compare(0, 4, "RIFF") == 0)
    throw Error(name + ": a RIFF file (a WAV or RMID?), not a score: give a "
                       "MusicXML or Standard MIDI File");
  return read_musicxml(bytes, name);
}

void check_song(const Song &song, const std::string &name) {
  bool lyrics = false;
  for (const Note &n : song.notes)
    lyrics = lyrics || !n.text.empty();
  if (song.notes.empty())
    throw Error(name + ": the sung voice has no notes");
  if (!lyrics)
    throw Error(name + ": the score has no lyrics");
  const Note *last = nullptr;
  for (const Note &n : song.notes) {
    if (!(n.key >= 0.0 && n.key <= 127.0))
      throw Error(name + ": " + n.where + ": a note outside MIDI's 0 to 127");
    if (!(n.duration >= 0.001))
      throw Error(name + ": " + n.where + ": a note shorter than a " +
                  "millisecond");
    if (last && n.start < last->start + last->duration - 1e-6)
      throw Error(name + ": " + n.where + ": overlapping notes in the sung " +
                  "voice; one voice sings one note at a time");
    if (n.start + n.duration > kMaxSeconds)
      throw Error(name + ": " + n.where + ": the song lasts more than an " +
                  "hour");
    if (n.text.empty() &&
        (!last || n.start > last->start + last->duration + 1e-6))
      throw Error(name + ": " + n.where + ": a note without a lyric that " +
                  "follows no sung note (give it a syllable, or write \"_\" " +
                  "to hold a vowel)");
    last = &n;
  }
}

} // namespace tw::sing
