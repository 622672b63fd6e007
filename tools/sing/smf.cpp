// Standard MIDI Files (formats 0 and 1) with lyrics: lyric meta-events, or
// in a karaoke file without them the text events that are not its "@"
// headers. The sung line is the track and channel whose notes start where
// the lyrics are; every read is checked against the chunk it belongs to.
#include "song.h"

#include "score.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tw::sing {

using tw::tool::Error;

namespace {

struct Reader {
  const std::string &bytes;
  size_t at, end; // the chunk being read: [at, end)
  const std::string &name;
  std::string where;

  [[noreturn]] void truncated() const {
    throw Error(name + ": " + where + ": the file ends inside an event " +
                "(a truncated or damaged MIDI file)");
  }
  uint8_t byte() {
    if (at >= end)
      truncated();
    return static_cast<uint8_t>(bytes[at++]);
  }
  uint32_t fixed(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
      v = v << 8 | byte();
    return v;
  }
  // A variable-length quantity: at most four bytes, 28 bits.
  uint32_t vlq() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const uint8_t b = byte();
      v = v << 7 | (b & 0x7f);
      if (!(b & 0x80))
        return v;
    }
    throw Error(name + ": " + where + ": a length or delta time longer " +
                "than four bytes");
  }
  std::string take(uint32_t n) {
    if (n > end - at)
      truncated();
    std::string s = bytes.substr(at, n);
    at += n;
    return s;
  }
};

struct RawNote {
  uint64_t on, off; // ticks
  int key, velocity;
  int track, channel;
};

struct Lyric {
  uint64_t tick;
  std::string raw;
  int track;
};

struct TempoChange {
  uint64_t tick;
  double us_per_quarter;
};

std::string tick_where(int track, uint64_t tick) {
  return "track " + std::to_string(track + 1) + ", tick " +
         std::to_string(tick);
}

// Karaoke and lyric conventions: "/" and "\" start a line or paragraph,
// spaces separate words, a trailing "-" joins a syllable to the next.
std::string cleaned(const std::string &raw) {
  std::string s;
  for (char c : raw)
    if (c != '/' && c != '\\' && c != '\r' && c != '\n')
      s += c;
  s.erase(0, s.find_first_not_of(" \t"));
  s.erase(s.find_last_not_of(" \t") + 1);
  while (!s.empty() && s.back() == '-')
    s.pop_back();
  return s;
}

bool starts_word(const std::string &raw) {
  return !raw.empty() && (raw[0] == ' ' || raw[0] == '/' || raw[0] == '\\');
}
bool ends_word(const std::string &raw) {
  return !raw.empty() && (raw.back() == ' ' || raw.back() == '\t');
}
bool joins_next(const std::string &raw) {
  const auto last = raw.find_last_not_of(" \t");
  return last != std::string::npos && raw[last] == '-';
}

} // namespace

Song read_smf(const std::string &bytes, const std::string &name) {
  Reader header{bytes, 0, bytes.size(), name, "header"};
  if (header.take(4) != "MThd")
    throw Error(name + ": not a Standard MIDI File");
  const uint32_t header_length = header.fixed(4);
  if (header_length < 6 || header_length > bytes.size() - 8)
    throw Error(name + ": header: a header chunk of " +
                std::to_string(header_length) + " bytes (6 expected)");
  const uint32_t format = header.fixed(2);
  const uint32_t tracks = header.fixed(2);
  const uint32_t division = header.fixed(2);
  header.at = 8 + header_length;
  if (format > 1)
    throw Error(name + ": a format 2 MIDI file (independent patterns); only "
                       "formats 0 and 1 are read");
  if (division == 0)
    throw Error(name + ": header: a time division of 0 ticks");
  // Ticks per quarter note, or SMPTE frames x ticks per frame (tempo-free).
  double seconds_per_smpte_tick = 0.0;
  const double ticks_per_quarter =
      (division & 0x8000) ? 0.0 : static_cast<double>(division);
  if (division & 0x8000) {
    const int fps = -static_cast<int8_t>(division >> 8);
    const int per_frame = static_cast<int>(division & 0xff);
    if (fps != 24 && fps != 25 && fps != 29 && fps != 30)
      throw Error(name + ": header: an SMPTE rate of " + std::to_string(fps) +
                  " frames per second");
    if (per_frame == 0)
      throw Error(name + ": header: 0 ticks per SMPTE frame");
    seconds_per_smpte_tick =
        1.0 / ((fps == 29 ? 29.97 : fps) * static_cast<double>(per_frame));
  }

  std::vector<RawNote> notes;
  std::vector<Lyric> lyrics, texts;
  std::vector<TempoChange> tempos;
  size_t at = header.at;
  int track = 0;
  while (at < bytes.size() && static_cast<uint32_t>(track) < tracks) {
    Reader chunk{bytes, at, bytes.size(), name,
                 "track " + std::to_string(track + 1)};
    if (bytes.size() - at < 8)
      chunk.truncated();
    const std::string id = chunk.take(4);
    const uint32_t length = chunk.fixed(4);
    if (length > bytes.size() - chunk.at)
      throw Error(name + ": track " + std::to_string(track + 1) +
                  ": a chunk of " + std::to_string(length) +
                  " bytes runs past the end of the file");
    at = chunk.at + length;
    if (id != "MTrk")
      continue; // chunks of other kinds are skipped, as the format asks
    chunk.end = at;
    uint64_t tick = 0;
    uint8_t running = 0;
    std::map<std::pair<int, int>, std::vector<size_t>> sounding;
    bool ended = false;
    while (chunk.at < chunk.end && !ended) {
      tick += chunk.vlq();
      if (tick > (uint64_t{1} << 40))
        throw Error(name + ": " + tick_where(track, tick) + ": an absurd time");
      chunk.where = tick_where(track, tick);
      uint8_t status = chunk.byte();
      if (status < 0x80) {
        if (!running)
          throw Error(name + ": " + chunk.where +
                      ": a data byte where an event should start");
        status = running;
        --chunk.at; // that byte was the event's first data byte
      }
      if (status == 0xff) {
        const uint8_t type = chunk.byte();
        const std::string data = chunk.take(chunk.vlq());
        if (type == 0x05)
          lyrics.push_back({tick, data, track});
        else if (type == 0x01)
          texts.push_back({tick, data, track});
        else if (type == 0x2f)
          ended = true;
        else if (type == 0x51) {
          if (data.size() != 3)
            throw Error(name + ": " + chunk.where + ": a tempo event of " +
                        std::to_string(data.size()) + " bytes (3 expected)");
          const uint32_t us = static_cast<uint8_t>(data[0]) << 16 |
                              static_cast<uint8_t>(data[1]) << 8 |
                              static_cast<uint8_t>(data[2]);
          const double bpm = us > 0 ? 60e6 / us : 1e12;
          if (!(bpm >= kMinBpm && bpm <= kMaxBpm)) {
            char text[64];
            std::snprintf(text, sizeof text, "%.4g", bpm);
            throw Error(name + ": " + chunk.where + ": a tempo of " + text +
                        " beats per minute (a song's tempo is from 10 to "
                        "1000)");
          }
          tempos.push_back({tick, static_cast<double>(us)});
        }
        running = 0;
        continue;
      }
      if (status == 0xf0 || status == 0xf7) {
        chunk.take(chunk.vlq());
        running = 0;
        continue;
      }
      if (status >= 0xf0)
        throw Error(name + ": " + chunk.where + ": a system message (" +
                    std::to_string(status) + ") inside a track");
      running = status;
      const int kind = status & 0xf0, channel = status & 0x0f;
      const int a = chunk.byte();
      const int b = (kind == 0xc0 || kind == 0xd0) ? 0 : chunk.byte();
      if (a > 127 || b > 127)
        throw Error(name + ": " + chunk.where + ": a data byte over 127");
      const auto key = std::make_pair(channel, a);
      if (kind == 0x90 && b > 0) {
        notes.push_back({tick, tick, a, b, track, channel});
        sounding[key].push_back(notes.size() - 1);
        if (notes.size() > 4 * kMaxNotes)
          throw Error(name + ": more than 400000 notes");
      } else if (kind == 0x80 || kind == 0x90) {
        auto &open = sounding[key];
        if (!open.empty()) {
          notes[open.front()].off = tick;
          open.erase(open.begin());
        }
      }
    }
    // Notes left sounding end with their track.
    for (auto &[k, open] : sounding)
      for (size_t i : open)
        notes[i].off = tick;
    ++track;
  }
  if (track == 0)
    throw Error(name + ": no track (MTrk chunk) in the file");

  // The lyrics: lyric events, else a karaoke file's words.
  std::vector<Lyric> words = lyrics;
  if (words.empty())
    for (const Lyric &t : texts)
      if (!t.raw.empty() && t.raw[0] != '@' && t.raw[0] != '%' &&
          !cleaned(t.raw).empty())
        words.push_back(t);
  words.erase(
      std::remove_if(words.begin(), words.end(),
                     [](const Lyric &l) { return cleaned(l.raw).empty(); }),
      words.end());
  if (words.empty())
    throw Error(name + ": the file has no lyrics (no lyric meta-events, and "
                       "no karaoke text)");
  std::stable_sort(
      words.begin(), words.end(),
      [](const Lyric &a, const Lyric &b) { return a.tick < b.tick; });

  // A lyric belongs to a note that starts within a 32nd note of it.
  const uint64_t tolerance =
      ticks_per_quarter > 0
          ? static_cast<uint64_t>(ticks_per_quarter / 8)
          : static_cast<uint64_t>(0.03 / seconds_per_smpte_tick);
  std::map<std::pair<int, int>, int> matches;
  for (const RawNote &n : notes)
    for (const Lyric &w : words)
      if ((w.tick > n.on ? w.tick - n.on : n.on - w.tick) <= tolerance) {
        ++matches[{n.track, n.channel}];
        break;
      }
  if (matches.empty())
    throw Error(name + ": no note starts where the lyrics are");
  const auto best = std::max_element(
      matches.begin(), matches.end(),
      [](const auto &a, const auto &b) { return a.second < b.second; });
  std::vector<RawNote> line;
  for (const RawNote &n : notes)
    if (n.track == best->first.first && n.channel == best->first.second &&
        n.off > n.on)
      line.push_back(n);
  std::stable_sort(
      line.begin(), line.end(),
      [](const RawNote &a, const RawNote &b) { return a.on < b.on; });

  // Ticks to seconds through the tempo map (120 beats a minute until the
  // first tempo event).
  std::stable_sort(tempos.begin(), tempos.end(),
                   [](const TempoChange &a, const TempoChange &b) {
                     return a.tick < b.tick;
                   });
  const auto seconds = [&](uint64_t t) {
    if (ticks_per_quarter == 0.0)
      return static_cast<double>(t) * seconds_per_smpte_tick;
    double s = 0.0, us = 500000.0;
    uint64_t from = 0;
    for (const TempoChange &c : tempos) {
      if (c.tick >= t)
        break;
      s += static_cast<double>(c.tick - from) * us / ticks_per_quarter * 1e-6;
      from = c.tick;
      us = c.us_per_quarter;
    }
    return s + static_cast<double>(t - from) * us / ticks_per_quarter * 1e-6;
  };

  // Word boundaries: a trailing hyphen joins a syllable to the next when
  // the lyrics use hyphens; else, when they use spaces (the karaoke way),
  // syllables not separated by one belong together; else every lyric is a
  // word of its own.
  bool hyphens = false, spaces = false;
  for (const Lyric &w : words) {
    hyphens = hyphens || joins_next(w.raw);
    spaces = spaces || starts_word(w.raw) || ends_word(w.raw);
  }
  Song song;
  size_t next_word = 0;
  bool in_word = false; // the last syllable continues into the next
  for (size_t i = 0; i < line.size(); ++i) {
    const RawNote &n = line[i];
    if (i > 0 && n.on < line[i - 1].off) {
      // A performance overlaps its legato notes a little; more is two notes
      // at once.
      if (line[i - 1].off - n.on > tolerance || n.on <= line[i - 1].on)
        throw Error(name + ": " + tick_where(n.track, n.on) +
                    ": overlapping notes in the sung line (track " +
                    std::to_string(n.track + 1) + ", channel " +
                    std::to_string(n.channel + 1) +
                    "); one voice sings one note at a time");
      line[i - 1].off = n.on;
      song.notes.back().duration = seconds(n.on) - song.notes.back().start;
    }
    Note note;
    note.start = seconds(n.on);
    note.duration = seconds(n.off) - note.start;
    note.key = n.key;
    note.velocity = static_cast<float>(n.velocity) / 127.0f;
    note.where = tick_where(n.track, n.on);
    while (next_word < words.size() && words[next_word].tick + tolerance < n.on)
      ++next_word; // a lyric with no note of its own is not sung
    if (next_word < words.size() &&
        (words[next_word].tick > n.on ? words[next_word].tick - n.on : 0) <=
            tolerance) {
      const std::string &raw = words[next_word].raw;
      const bool begins = !in_word || starts_word(raw);
      const bool continues =
          hyphens ? joins_next(raw)
                  : spaces && !ends_word(raw) && next_word + 1 < words.size() &&
                        !starts_word(words[next_word + 1].raw);
      note.text = cleaned(raw);
      note.syllabic = begins ? (continues ? Syllabic::begin : Syllabic::single)
                             : (continues ? Syllabic::middle : Syllabic::end);
      in_word = continues;
      ++next_word;
    }
    song.notes.push_back(note);
    if (song.notes.size() > kMaxNotes)
      throw Error(name + ": more than 100000 notes in the sung line");
  }
  return song;
}

} // namespace tw::sing
