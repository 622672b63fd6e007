// A song as tractwave-sing reads it from a score file: the notes of one
// voice with their lyrics, timed in seconds. MusicXML is read through
// libxml2, Standard MIDI Files by the reader in smf.cpp.
#pragma once

#include <string>
#include <vector>

namespace tw::sing {

// How a lyric syllable sits in its word (MusicXML's <syllabic>).
enum class Syllabic { single, begin, middle, end };

struct Note {
  double start = 0, duration = 0; // seconds
  double key = 60;                // MIDI note number
  float velocity = 0.8f;          // 0 ... 1
  std::string text;               // the lyric syllable, "" when it has none
  Syllabic syllabic = Syllabic::single;
  std::string where; // "measure 3", "track 2, tick 960": for messages
};

struct Song {
  std::vector<Note> notes; // in time order, not overlapping
};

// The limits of a score: tempos, length and number of notes beyond these
// are faults of the file, not music.
constexpr double kMinBpm = 10, kMaxBpm = 1000;
constexpr double kMaxSeconds = 3600;
constexpr std::size_t kMaxNotes = 100000;

// Read a score; throw tw::tool::Error with one message naming `name`
// and, where it can, the measure or tick at fault.
Song read_musicxml(const std::string &bytes, const std::string &name);
Song read_smf(const std::string &bytes, const std::string &name);
// By its first bytes: "MThd" is a MIDI file, anything else is XML.
Song read_song(const std::string &bytes, const std::string &name);

// Throws for notes that overlap, a song without lyrics, a note that has no
// lyric and does not follow a sung note directly (where it would hold the
// vowel of), and a song too long or too full.
void check_song(const Song &song, const std::string &name);

} // namespace tw::sing
