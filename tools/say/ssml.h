// What tractwave-say speaks, cut into segments: words, phonemes and pauses,
// each with its own speaking rate, pitch and volume. Text comes either as
// SSML (the subset espeak-ng users write: speak, break, prosody, emphasis,
// phoneme, say-as, sub; other tags are skipped, never spoken) or as plain
// text, where [[...]] holds ARPAbet spoken as written ("[[HH AH0 L OW1]]").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw::say {

struct Segment {
  enum class Kind { words, arpabet, ipa, pause };
  Kind kind = Kind::words;
  std::string text;         // words or phonemes; empty for a pause
  double pause_seconds = 0; // for a pause
  double rate = 1.0;        // speaking rate, a multiple of the normal
  double pitch = 1.0;       // a multiple of the voice's pitch
  double volume = 1.0;      // a multiple of the amplitude
};

// Whether the text is SSML: its first tag, after white space and an XML
// declaration, is <speak>.
bool is_ssml(std::string_view text);

// The segments of an SSML document. Throws tw::tool::Error, naming the
// byte offset, for markup that cannot be read (an unclosed tag or comment,
// an unknown entity, a bad attribute value of a known tag, a closing tag
// that does not match).
std::vector<Segment> parse_ssml(std::string_view text);

// The segments of plain text: words, and the ARPAbet of every [[...]].
// Throws tw::tool::Error for a [[ without its ]].
std::vector<Segment> parse_plain(std::string_view text);

} // namespace tw::say
