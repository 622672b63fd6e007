#include "phonemes.h"

#include <string.h>

namespace tw::speech {

namespace {

using K = Kind;
using P = Place;

} // namespace

// Durations: inherent and minimum durations of Klatt, D. H. (1979), "Synthesis
// by rule of segmental durations in English sentences", in Frontiers of
// Speech Communication Research, 287-300.
const PhonemeInfo kPhonemes[] = {
    {"AA", K::vowel, P::none, true, kAA, kShapeNone, 240, 100},
    {"AE", K::vowel, P::none, true, kAE, kShapeNone, 230, 80},
    {"AH", K::vowel, P::none, true, kAH, kShapeNone, 140, 60},
    {"AO", K::vowel, P::none, true, kAO, kShapeNone, 240, 100},
    {"AW", K::diphthong, P::none, true, kAA, kUH, 260, 100},
    {"AX", K::vowel, P::none, true, kAX, kShapeNone, 120, 60},
    {"AY", K::diphthong, P::none, true, kAA, kIH, 250, 150},
    {"EH", K::vowel, P::none, true, kEH, kShapeNone, 150, 70},
    {"ER", K::vowel, P::none, true, kER, kShapeNone, 180, 80},
    {"EY", K::diphthong, P::none, true, kEY, kIH, 180, 100},
    {"IH", K::vowel, P::none, true, kIH, kShapeNone, 135, 40},
    {"IY", K::vowel, P::none, true, kIY, kShapeNone, 155, 55},
    {"OW", K::diphthong, P::none, true, kOW, kUH, 220, 80},
    {"OY", K::diphthong, P::none, true, kAO, kIY, 280, 150},
    {"UH", K::vowel, P::none, true, kUH, kShapeNone, 160, 60},
    {"UW", K::vowel, P::none, true, kUW, kShapeNone, 210, 70},
    {"B", K::stop, P::bilabial, true, kShapeNone, kShapeNone, 85, 60},
    {"CH", K::affricate, P::postalveolar, false, kShapeNone, kShapeNone, 70,
     50},
    {"D", K::stop, P::alveolar, true, kShapeNone, kShapeNone, 75, 50},
    {"DH", K::fricative, P::dental, true, kShapeNone, kShapeNone, 50, 30},
    {"DX", K::flap, P::alveolar, true, kShapeNone, kShapeNone, 20, 20},
    {"F", K::fricative, P::labiodental, false, kShapeNone, kShapeNone, 100, 80},
    {"G", K::stop, P::velar, true, kShapeNone, kShapeNone, 80, 60},
    {"HH", K::aspirate, P::glottal, false, kShapeNone, kShapeNone, 80, 20},
    {"JH", K::affricate, P::postalveolar, true, kShapeNone, kShapeNone, 70, 50},
    {"K", K::stop, P::velar, false, kShapeNone, kShapeNone, 80, 60},
    {"L", K::liquid, P::alveolar, true, kUH, kShapeNone, 80, 40},
    {"M", K::nasal, P::bilabial, true, kShapeNone, kShapeNone, 70, 60},
    {"N", K::nasal, P::alveolar, true, kShapeNone, kShapeNone, 60, 30},
    {"NG", K::nasal, P::velar, true, kShapeNone, kShapeNone, 95, 60},
    {"P", K::stop, P::bilabial, false, kShapeNone, kShapeNone, 90, 50},
    {"Q", K::glottal_stop, P::glottal, false, kShapeNone, kShapeNone, 40, 30},
    {"R", K::liquid, P::postalveolar, true, kER, kShapeNone, 80, 30},
    {"S", K::fricative, P::alveolar, false, kShapeNone, kShapeNone, 105, 60},
    {"SH", K::fricative, P::postalveolar, false, kShapeNone, kShapeNone, 105,
     80},
    {"T", K::stop, P::alveolar, false, kShapeNone, kShapeNone, 75, 50},
    {"TH", K::fricative, P::dental, false, kShapeNone, kShapeNone, 90, 60},
    {"V", K::fricative, P::labiodental, true, kShapeNone, kShapeNone, 60, 40},
    {"W", K::glide, P::bilabial, true, kUW, kShapeNone, 80, 60},
    {"Y", K::glide, P::palatal, true, kIY, kShapeNone, 80, 40},
    {"Z", K::fricative, P::alveolar, true, kShapeNone, kShapeNone, 75, 40},
    {"ZH", K::fricative, P::postalveolar, true, kShapeNone, kShapeNone, 70, 40},
    {"_", K::pause, P::none, false, kShapeNone, kShapeNone, 0, 0},
};
const int kPhonemeCount = sizeof kPhonemes / sizeof kPhonemes[0];
const uint8_t kPause = static_cast<uint8_t>(kPhonemeCount - 1);

int phoneme_id(const char *name) {
  for (int i = 0; i + 1 < kPhonemeCount; ++i)
    if (strcmp(kPhonemes[i].name, name) == 0)
      return i;
  return -1;
}

namespace {

// ARPAbet symbols outside the CMU dictionary's 39 (TIMIT and older
// dictionaries use them): each becomes one or two of ours, with a stress.
struct Alias {
  const char *name, *first, *second;
  uint8_t stress;
};
const Alias kArpabetAliases[] = {
    {"AXR", "ER", nullptr, kUnstressed}, {"IX", "IH", nullptr, kUnstressed},
    {"UX", "UW", nullptr, kUnstressed},  {"EN", "AX", "N", kUnstressed},
    {"EM", "AX", "M", kUnstressed},      {"EL", "AX", "L", kUnstressed},
    {"NX", "N", nullptr, kUnstressed},   {"H", "HH", nullptr, kUnstressed},
    {"WH", "W", nullptr, kUnstressed},
};

// IPA symbols and the phonemes they stand for. Sequences come before their
// first letter alone, so the first match is the longest.
struct IpaSymbol {
  const char *utf8, *phoneme;
  int8_t stress; // -1: from the marks, else fixed (reduced vowels)
};
const IpaSymbol kIpaSymbols[] = {
    {"e\xc9\xaa", "EY", -1},         // eɪ
    {"a\xc9\xaa", "AY", -1},         // aɪ
    {"a\xca\x8a", "AW", -1},         // aʊ
    {"\xc9\x94\xc9\xaa", "OY", -1},  // ɔɪ
    {"o\xca\x8a", "OW", -1},         // oʊ
    {"\xc9\x99\xca\x8a", "OW", -1},  // əʊ
    {"t\xca\x83", "CH", -1},         // tʃ
    {"t\xcd\xa1\xca\x83", "CH", -1}, // t͡ʃ
    {"d\xca\x92", "JH", -1},         // dʒ
    {"d\xcd\xa1\xca\x92", "JH", -1}, // d͡ʒ
    {"\xc9\x9a", "ER", kUnstressed}, // ɚ
    {"\xc9\x9d", "ER", -1},          // ɝ
    {"\xc9\x9c", "ER", -1},          // ɜ
    {"i", "IY", -1},
    {"\xc9\xaa", "IH", -1},              // ɪ
    {"\xe1\xb5\xbb", "IH", kUnstressed}, // ᵻ
    {"\xc9\xa8", "IH", kUnstressed},     // ɨ
    {"e", "EY", -1},
    {"\xc9\x9b", "EH", -1}, // ɛ
    {"\xc3\xa6", "AE", -1}, // æ
    {"a", "AE", -1},
    {"\xc9\x91", "AA", -1}, // ɑ
    {"\xc9\x92", "AA", -1}, // ɒ
    {"\xc9\x94", "AO", -1}, // ɔ
    {"o", "OW", -1},
    {"\xca\x8a", "UH", -1}, // ʊ
    {"u", "UW", -1},
    {"\xca\x89", "UW", -1},          // ʉ
    {"\xca\x8c", "AH", -1},          // ʌ
    {"\xc9\x99", "AX", kUnstressed}, // ə
    {"\xc9\x90", "AX", kUnstressed}, // ɐ
    {"p", "P", -1},
    {"b", "B", -1},
    {"t", "T", -1},
    {"d", "D", -1},
    {"k", "K", -1},
    {"g", "G", -1},
    {"\xc9\xa1", "G", -1}, // ɡ
    {"f", "F", -1},
    {"v", "V", -1},
    {"\xce\xb8", "TH", -1}, // θ
    {"\xc3\xb0", "DH", -1}, // ð
    {"s", "S", -1},
    {"z", "Z", -1},
    {"\xca\x83", "SH", -1}, // ʃ
    {"\xca\x92", "ZH", -1}, // ʒ
    {"h", "HH", -1},
    {"\xc9\xa6", "HH", -1}, // ɦ
    {"x", "HH", -1},
    {"m", "M", -1},
    {"n", "N", -1},
    {"\xc5\x8b", "NG", -1}, // ŋ
    {"l", "L", -1},
    {"\xc9\xab", "L", -1}, // ɫ
    {"\xc9\xb9", "R", -1}, // ɹ
    {"r", "R", -1},
    {"\xc9\xbe", "DX", -1}, // ɾ
    {"w", "W", -1},
    {"\xca\x8d", "W", -1}, // ʍ
    {"j", "Y", -1},
    {"\xca\x94", "Q", -1}, // ʔ
};

// Marks that change nothing here: length, syllabicity, nasalisation, ties,
// release and secondary articulations, and the syllable break.
const char *const kIgnoredIpa[] = {
    "\xcb\x90",     // ː
    "\xcb\x91",     // ˑ
    "\xcc\xa9",     // syllabic
    "\xcc\x83",     // nasalised
    "\xcd\xa1",     // tie above
    "\xcd\x9c",     // tie below
    "\xca\xb0",     // ʰ
    "\xca\xb2",     // ʲ
    "\xca\xb7",     // ʷ
    "\xcb\xa0",     // ˠ
    "\xcc\xaa",     // dental
    "\xcc\xa5",     // voiceless
    "\xcc\xac",     // voiced
    "\xcc\xaf",     // non-syllabic
    "\xcc\x9a",     // no audible release
    "\xe2\x80\xbf", // ‿ linking
    "-",
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
         c == '\v';
}

Boundary punctuation(char c) {
  switch (c) {
  case ',':
  case ';':
  case ':':
    return kContinuation;
  case '.':
  case '!':
    return kStatement;
  case '?':
    return kQuestion;
  case '|':
    return kWordEnd;
  default:
    return kNoBoundary;
  }
}

// Appends a token, or counts it when the array is full (parse() never writes
// past max_tokens; a long enough array is the caller's job).
struct Sink {
  Token *tokens;
  int max, count = 0;
  bool word_marked = false; // a stress digit or mark seen in the word
  int word_first = 0;

  void add(int phoneme, uint8_t stress, uint32_t offset, bool marked) {
    if (count < max)
      tokens[count] = {static_cast<uint8_t>(phoneme), stress, kNoBoundary,
                       offset};
    ++count;
    if (marked)
      word_marked = true;
  }

  // Ends the word. A word written without any stress marks (as Debian's copy
  // of the CMU dictionary writes every word, and as people type) gets its
  // first vowel stressed, or its second when the first is a schwa (AX, or AH,
  // which stands for both the schwa and the vowel of "cup" there): most
  // English words stress their first syllable, and an initial schwa is the
  // commonest sign that they do not.
  void end_word(Boundary b) {
    if (count > word_first && count <= max) {
      if (!word_marked) {
        int chosen = -1, fallback = -1;
        for (int i = word_first; i < count && chosen < 0; ++i) {
          const uint8_t id = tokens[i].phoneme;
          if (!is_vowel(id))
            continue;
          if (fallback < 0)
            fallback = i;
          const Shape shape = kPhonemes[id].shape;
          if (shape != kAX && (shape != kAH || i != fallback))
            chosen = i;
        }
        if (chosen < 0)
          chosen = fallback;
        if (chosen >= 0)
          tokens[chosen].stress = kPrimary;
      }
      Token &last = tokens[count - 1];
      if (b > last.boundary)
        last.boundary = b;
    }
    word_first = count;
    word_marked = false;
  }
};

int parse_arpabet(const char *text, Sink &sink, int *error_offset) {
  const char *p = text;
  while (*p) {
    if (is_space(*p)) {
      ++p;
      continue;
    }
    if (punctuation(*p) != kNoBoundary) {
      sink.end_word(punctuation(*p));
      ++p;
      continue;
    }
    // A symbol: letters, then an optional stress digit.
    const char *start = p;
    char name[8];
    int length = 0;
    while (((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')) &&
           length < 4) {
      name[length++] = static_cast<char>(*p >= 'a' ? *p - 'a' + 'A' : *p);
      ++p;
    }
    name[length] = '\0';
    int stress = -1;
    if (*p >= '0' && *p <= '2')
      stress = *p++ - '0';
    const bool ends =
        *p == '\0' || is_space(*p) || punctuation(*p) != kNoBoundary;
    const uint32_t offset = static_cast<uint32_t>(start - text);
    int id = length > 0 && ends ? phoneme_id(name) : -1;
    if (length > 0 && ends &&
        (strcmp(name, "SIL") == 0 || strcmp(name, "PAU") == 0 ||
         strcmp(name, "SP") == 0)) {
      sink.end_word(kWordEnd);
      sink.add(kPause, kUnstressed, offset, false);
      sink.end_word(kWordEnd);
      continue;
    }
    if (id == kPause)
      id = -1;
    if (id >= 0) {
      // A digit on a consonant means nothing; a vowel without one is left to
      // the word's stress rule.
      const bool vowel = is_vowel(static_cast<uint8_t>(id));
      sink.add(id,
               vowel && stress > 0 ? static_cast<uint8_t>(stress) : kUnstressed,
               offset, vowel && stress >= 0);
      continue;
    }
    const Alias *alias = nullptr;
    if (length > 0 && ends)
      for (const Alias &a : kArpabetAliases)
        if (strcmp(a.name, name) == 0)
          alias = &a;
    if (!alias) {
      *error_offset = static_cast<int>(offset);
      return -1;
    }
    sink.add(phoneme_id(alias->first),
             stress >= 0 ? static_cast<uint8_t>(stress) : alias->stress, offset,
             stress >= 0);
    if (alias->second)
      sink.add(phoneme_id(alias->second), kUnstressed, offset, false);
  }
  sink.end_word(kWordEnd);
  return 0;
}

bool starts_with(const char *p, const char *prefix, size_t *length) {
  const size_t n = strlen(prefix);
  if (strncmp(p, prefix, n) != 0)
    return false;
  *length = n;
  return true;
}

int parse_ipa(const char *text, Sink &sink, int *error_offset) {
  const char *p = text;
  int pending_stress = -1;
  while (*p) {
    size_t n = 0;
    if (is_space(*p)) {
      sink.end_word(kWordEnd);
      ++p;
      continue;
    }
    // A full stop between letters is a syllable break; elsewhere it ends a
    // sentence.
    if (*p == '.' && p > text && !is_space(p[-1]) && p[1] != '\0' &&
        !is_space(p[1]) && punctuation(p[1]) == kNoBoundary) {
      ++p;
      continue;
    }
    if (punctuation(*p) != kNoBoundary) {
      sink.end_word(punctuation(*p));
      ++p;
      continue;
    }
    if (starts_with(p, "\xcb\x88", &n) || *p == '\'') { // ˈ
      pending_stress = kPrimary;
      p += n ? n : 1;
      continue;
    }
    if (starts_with(p, "\xcb\x8c", &n)) { // ˌ
      pending_stress = kSecondary;
      p += n;
      continue;
    }
    if (starts_with(p, "\xe2\x80\x96", &n)) { // ‖ a major break
      sink.end_word(kStatement);
      p += n;
      continue;
    }
    bool ignored = false;
    for (const char *mark : kIgnoredIpa)
      if (starts_with(p, mark, &n)) {
        ignored = true;
        break;
      }
    // Any other combining mark (U+0300 ... U+036F: tone, stress accents,
    // diaeresis) changes nothing here either.
    const unsigned char b0 = static_cast<unsigned char>(p[0]),
                        b1 = static_cast<unsigned char>(p[1]);
    if (ignored || (b0 == 0xCC && b1 >= 0x80 && b1 <= 0xBF) ||
        (b0 == 0xCD && b1 >= 0x80 && b1 <= 0xAF)) {
      p += ignored ? n : 2;
      continue;
    }
    // A precomposed Latin vowel with a diacritic (ó, õ, é, ü, ...) is read
    // as its base letter, also as the start of a diphthong (óʊ).
    char base = 0;
    if (b0 == 0xC3 && b1 >= 0xA0 && b1 <= 0xBC)
      base = "aaaaaa\0\0eeeeiiii\0\0ooooo\0\0uuuu"[b1 - 0xA0];
    const IpaSymbol *symbol = nullptr;
    for (const IpaSymbol &s : kIpaSymbols)
      if (base ? s.utf8[0] == base && starts_with(p + 2, s.utf8 + 1, &n)
               : starts_with(p, s.utf8, &n)) {
        n += base ? 2 : 0;
        symbol = &s;
        break;
      }
    if (!symbol) {
      *error_offset = static_cast<int>(p - text);
      return -1;
    }
    const int id = phoneme_id(symbol->phoneme);
    uint8_t stress = kUnstressed;
    bool marked = false;
    if (is_vowel(static_cast<uint8_t>(id))) {
      if (symbol->stress >= 0)
        stress = static_cast<uint8_t>(symbol->stress);
      else if (pending_stress >= 0)
        stress = static_cast<uint8_t>(pending_stress);
      marked = pending_stress >= 0;
      pending_stress = -1;
    }
    sink.add(id, stress, static_cast<uint32_t>(p - text), marked);
    p += n;
  }
  sink.end_word(kWordEnd);
  return 0;
}

} // namespace

int parse(const char *text, Notation notation, Token *tokens, int max_tokens,
          int *error_offset) {
  Sink sink{tokens, max_tokens};
  const int status = notation == kIpa ? parse_ipa(text, sink, error_offset)
                                      : parse_arpabet(text, sink, error_offset);
  if (status < 0)
    return -1;
  return sink.count < max_tokens ? sink.count : max_tokens;
}

} // namespace tw::speech
