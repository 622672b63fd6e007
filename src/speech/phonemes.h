// The phoneme inventory of the speech library and the two notations it
// reads: ARPAbet (as the CMU pronouncing dictionary writes it, stress digits
// included) and IPA (as espeak-ng --ipa writes American English).
#pragma once

#include <stdint.h>

namespace tw::speech {

// Vowel shapes, in the order of src/speech/vowel_table.inc (which is the
// order of data/speech/fit_plan.csv).
enum Shape : int8_t {
  kShapeNone = -1,
  kIY,
  kIH,
  kEY,
  kEH,
  kAE,
  kAA,
  kAO,
  kOW,
  kUH,
  kUW,
  kAH,
  kER,
  kAX,
  kShapeCount
};

enum class Kind : uint8_t {
  vowel,     // one shape held
  diphthong, // a glide from one shape to another
  stop,      // closure, burst, maybe aspiration
  affricate, // closure released into a fricative
  fricative,
  nasal,
  liquid, // L, R
  glide,  // W, Y
  aspirate,
  flap,
  glottal_stop,
  pause
};

enum class Place : uint8_t {
  none,
  bilabial,
  labiodental,
  dental,
  alveolar,
  postalveolar,
  palatal,
  velar,
  glottal
};
constexpr int kPlaceCount = static_cast<int>(Place::glottal) + 1;

struct PhonemeInfo {
  const char *name; // ARPAbet
  Kind kind;
  Place place;
  bool voiced;
  Shape shape, offglide;            // vowels and semivowels
  uint16_t inherent_ms, minimum_ms; // duration rules (Klatt 1979)
};

// Phoneme ids index this table; kPause is the last.
extern const PhonemeInfo kPhonemes[];
extern const int kPhonemeCount;
extern const uint8_t kPause;

// The id of an ARPAbet name of the table ("AA" ... "ZH"), or -1.
int phoneme_id(const char *name);

inline bool is_vowel(uint8_t id) {
  return kPhonemes[id].kind == Kind::vowel ||
         kPhonemes[id].kind == Kind::diphthong;
}

// Boundaries that may follow a token.
enum Boundary : uint8_t {
  kNoBoundary = 0,
  kWordEnd = 1,
  kContinuation = 2, // , ; :  a short pause, pitch held up
  kStatement = 3,    // . !    a pause, final fall
  kQuestion = 4      // ?      a pause, final rise
};

constexpr uint8_t kUnstressed = 0, kPrimary = 1, kSecondary = 2;

struct Token {
  uint8_t phoneme;
  uint8_t stress;
  uint8_t boundary; // what follows this token
  uint32_t offset;  // byte offset of the symbol in the text
};

enum Notation { kArpabet = 0, kIpa = 1 };

// Parses text into tokens. Returns the number of tokens written (at most
// max_tokens; the text's length in bytes + 1 is always enough), or -1 with
// *error_offset set to the byte offset of the first symbol that is not a
// phoneme.
int parse(const char *text, Notation notation, Token *tokens, int max_tokens,
          int *error_offset);

} // namespace tw::speech
