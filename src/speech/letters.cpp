// Spelling to sound for words a dictionary lacks, and the words numbers,
// symbols and abbreviations are read as.
//
// The letter-to-sound rule is a tree of letter contexts learned from the
// CMU dictionary (tools/letters/learn.py writes letters_table.inc): each
// letter's phones (none, one or two) are those of the longest context of
// letters around it that the dictionary's words decide, consulted in the
// order the letter itself, one letter to the right, one to the left, two to
// the right, and so on to four each side. A second tree gives the stressed
// vowels from the word's number of vowels, its endings, its beginnings and
// which of its vowels are schwa-like; the dictionary Debian ships marks no
// stress, so the lexicon restresses its entries with it too.
#include "letters.h"

#include <stdint.h>
#include <string.h>

namespace tw::speech {
namespace {

struct TreeNode {
  uint16_t key;   // the feature value leading here (0 at the root)
  uint16_t count; // children, stored from first on, in no particular order
  uint16_t value; // the answer here: an index into the tree's answers
  uint32_t first;
};

#include "letters_table.inc"

// The answer of a tree for a sequence of feature values: the deepest node
// the values lead to.
uint16_t walk(const TreeNode *tree, const uint16_t *features, int count) {
  const TreeNode *node = tree;
  for (int f = 0; f < count; ++f) {
    const TreeNode *next = nullptr;
    for (uint32_t c = 0; c < node->count; ++c)
      if (tree[node->first + c].key == features[f]) {
        next = &tree[node->first + c];
        break;
      }
    if (!next)
      break;
    node = next;
  }
  return node->value;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool letter(char c) { return (c >= 'a' && c <= 'z') || c == '\''; }

struct Out {
  char *out;
  size_t size, length = 0;
  bool full = false;
  void put(const char *s) {
    const size_t n = strlen(s);
    if (length + n + 1 > size) {
      full = true;
      return;
    }
    memcpy(out + length, s, n + 1);
    length += n;
  }
  void word(const char *s) {
    if (length > 0)
      put(" ");
    put(s);
  }
};

const char *const kLetterNames[26] = {"EY1",
                                      "B IY1",
                                      "S IY1",
                                      "D IY1",
                                      "IY1",
                                      "EH1 F",
                                      "JH IY1",
                                      "EY1 CH",
                                      "AY1",
                                      "JH EY1",
                                      "K EY1",
                                      "EH1 L",
                                      "EH1 M",
                                      "EH1 N",
                                      "OW1",
                                      "P IY1",
                                      "K Y UW1",
                                      "AA1 R",
                                      "EH1 S",
                                      "T IY1",
                                      "Y UW1",
                                      "V IY1",
                                      "D AH1 B AH0 L Y UW0",
                                      "EH1 K S",
                                      "W AY1",
                                      "Z IY1"};

// Frequent words the trees misread, with the CMU dictionary's reading
// (its first, stress as in its stressed copy). Found by reading about 400
// of the most frequent English words by rule against the dictionary: 16
// came out wrong, among them "the" with no vowel, "man" and "men" both as
// M AH1 N, and "who" as HH OW1. Without a dictionary (the plugin's lyrics,
// the web page) these words are a large share of any text.
struct Irregular {
  const char *spelling, *arpabet;
};
const Irregular kIrregular[] = {{"almost", "AO1 L M OW2 S T"},
                                {"also", "AO1 L S OW0"},
                                {"always", "AO1 L W EY2 Z"},
                                {"aren't", "AA1 R AH0 N T"},
                                {"been", "B IH1 N"},
                                {"here", "HH IY1 R"},
                                {"laugh", "L AE1 F"},
                                {"let", "L EH1 T"},
                                {"man", "M AE1 N"},
                                {"men", "M EH1 N"},
                                {"office", "AO1 F AH0 S"},
                                {"president", "P R EH1 Z AH0 D EH2 N T"},
                                {"the", "DH AH0"},
                                {"though", "DH OW1"},
                                {"which", "W IH1 CH"},
                                {"who", "HH UW1"}};

const char *irregular(const char *spelling, size_t n) {
  for (const Irregular &w : kIrregular)
    if (strlen(w.spelling) == n && memcmp(w.spelling, spelling, n) == 0)
      return w.arpabet;
  return nullptr;
}

bool is_vowel_token(const char *t, size_t n) {
  return n >= 2 && t[n - 1] >= '0' && t[n - 1] <= '2';
}

bool schwa_token(const char *t, size_t n) {
  return n == 3 && ((t[0] == 'A' && (t[1] == 'H' || t[1] == 'X')) ||
                    (t[0] == 'E' && t[1] == 'R'));
}

// The key of a schwa pattern ("svv") in the stress tree, or 0xffff.
uint16_t pattern_key(const char *pattern, size_t n) {
  if (n == 1)
    return static_cast<unsigned char>(pattern[0]);
  for (size_t i = 0; i < sizeof kSchwaPatterns / sizeof *kSchwaPatterns; ++i)
    if (strlen(kSchwaPatterns[i]) == n &&
        memcmp(kSchwaPatterns[i], pattern, n) == 0)
      return static_cast<uint16_t>(256 + i);
  return 0xffff;
}

} // namespace

void restress(const char *word, size_t length, char *pron) {
  char spelling[64];
  size_t n = 0;
  for (size_t i = 0; i < length && n < sizeof spelling; ++i)
    if (letter(lower(word[i])))
      spelling[n++] = lower(word[i]);
  char schwas[16];
  size_t vowels = 0;
  for (char *t = pron; *t;) {
    size_t k = 0;
    while (t[k] && t[k] != ' ')
      ++k;
    if (is_vowel_token(t, k)) {
      if (vowels < sizeof schwas)
        schwas[vowels] = schwa_token(t, k) ? 's' : 'v';
      ++vowels;
    }
    t += k;
    while (*t == ' ')
      ++t;
  }
  if (vowels < 1 || vowels > sizeof schwas || n == 0)
    return;
  // The features in the order the tree was learned with: vowels, the last
  // four letters (last first), the schwa pattern, the first three letters,
  // the fifth and sixth letters from the end.
  auto from_end = [&](size_t k) -> uint16_t {
    return k < n ? static_cast<unsigned char>(spelling[n - 1 - k]) : '#';
  };
  auto from_start = [&](size_t k) -> uint16_t {
    return k < n ? static_cast<unsigned char>(spelling[k]) : '#';
  };
  const uint16_t features[11] = {
      static_cast<uint16_t>('0' + (vowels > 9 ? 9 : vowels)),
      from_end(0),
      from_end(1),
      from_end(2),
      from_end(3),
      pattern_key(schwas, vowels),
      from_start(0),
      from_start(1),
      from_start(2),
      from_end(4),
      from_end(5)};
  const char *stress = kStressPatterns[walk(kStressTree, features, 11)];
  if (strlen(stress) != vowels)
    return;
  bool primary = false;
  size_t v = 0;
  for (char *t = pron; *t;) {
    size_t k = 0;
    while (t[k] && t[k] != ' ')
      ++k;
    if (is_vowel_token(t, k)) {
      const bool stressed = stress[v++] == '1';
      t[k - 1] = !stressed ? '0' : primary ? '2' : '1';
      primary |= stressed;
    }
    t += k;
    while (*t == ' ')
      ++t;
  }
}

int spell(const char *word, size_t length, char *out, size_t size) {
  if (size > 0)
    out[0] = '\0';
  Out o{out, size};
  // An acronym of capitals without a vowel letter: its letters' names.
  size_t capitals = 0;
  bool vowel_letter = false;
  for (size_t i = 0; i < length; ++i) {
    capitals += word[i] >= 'A' && word[i] <= 'Z';
    vowel_letter |= strchr("AEIOUYaeiouy", word[i]) != nullptr && word[i];
  }
  if (capitals == length && length >= 2 && length <= 5 && !vowel_letter) {
    for (size_t i = 0; i < length; ++i)
      o.word(kLetterNames[word[i] - 'A']);
    return o.full ? -1 : static_cast<int>(o.length);
  }
  char spelling[64];
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = lower(word[i]);
    if (letter(c)) {
      if (n == sizeof spelling)
        return -1;
      spelling[n++] = c;
    }
  }
  size_t real = 0; // apostrophes alone are nothing to read
  for (size_t i = 0; i < n; ++i)
    real += spelling[i] != '\'';
  if (real == 0)
    return 0;
  if (n == 1) {
    o.word(kLetterNames[spelling[0] - 'a']);
    return o.full ? -1 : static_cast<int>(o.length);
  }
  if (const char *said = irregular(spelling, n)) {
    o.word(said);
    return o.full ? -1 : static_cast<int>(o.length);
  }
  for (size_t i = 0; i < n; ++i) {
    auto at = [&](long k) -> uint16_t {
      return k >= 0 && k < static_cast<long>(n)
                 ? static_cast<unsigned char>(spelling[k])
                 : '#';
    };
    const long c = static_cast<long>(i);
    const uint16_t features[9] = {at(c),     at(c + 1), at(c - 1),
                                  at(c + 2), at(c - 2), at(c + 3),
                                  at(c - 3), at(c + 4), at(c - 4)};
    const char *phones = kLetterPhones[walk(kLetterTree, features, 9)];
    // Each phone, vowels given a digit for restress() to set.
    for (const char *p = phones; *p;) {
      size_t k = 0;
      while (p[k] && p[k] != ' ')
        ++k;
      char phone[8] = {0};
      if (k + 2 > sizeof phone)
        return -1;
      memcpy(phone, p, k);
      if (strchr("AEIOU", phone[0]))
        phone[k] = '0';
      o.word(phone);
      p += k;
      while (*p == ' ')
        ++p;
    }
  }
  if (o.full)
    return -1;
  if (o.length == 0)
    return 0;
  restress(spelling, n, out);
  return static_cast<int>(o.length);
}

namespace {

struct Said {
  const char *word, *arpabet;
};

// Pronunciations of the CMU dictionary, for hosts that load none.
const Said kNumberWords[] = {
    {"zero", "Z IH1 R OW0"},
    {"oh", "OW1"},
    {"one", "W AH1 N"},
    {"two", "T UW1"},
    {"three", "TH R IY1"},
    {"four", "F AO1 R"},
    {"five", "F AY1 V"},
    {"six", "S IH1 K S"},
    {"seven", "S EH1 V AH0 N"},
    {"eight", "EY1 T"},
    {"nine", "N AY1 N"},
    {"ten", "T EH1 N"},
    {"eleven", "IH0 L EH1 V AH0 N"},
    {"twelve", "T W EH1 L V"},
    {"thirteen", "TH ER0 T IY1 N"},
    {"fourteen", "F AO2 R T IY1 N"},
    {"fifteen", "F IH2 F T IY1 N"},
    {"sixteen", "S IH2 K S T IY1 N"},
    {"seventeen", "S EH2 V AH0 N T IY1 N"},
    {"eighteen", "EY2 T IY1 N"},
    {"nineteen", "N AY2 N T IY1 N"},
    {"twenty", "T W EH1 N T IY0"},
    {"thirty", "TH ER1 T IY0"},
    {"forty", "F AO1 R T IY0"},
    {"fifty", "F IH1 F T IY0"},
    {"sixty", "S IH1 K S T IY0"},
    {"seventy", "S EH1 V AH0 N T IY0"},
    {"eighty", "EY1 T IY0"},
    {"ninety", "N AY1 N T IY0"},
    {"hundred", "HH AH1 N D R AH0 D"},
    {"thousand", "TH AW1 Z AH0 N D"},
    {"million", "M IH1 L Y AH0 N"},
    {"billion", "B IH1 L Y AH0 N"},
    {"trillion", "T R IH1 L Y AH0 N"},
    {"first", "F ER1 S T"},
    {"second", "S EH1 K AH0 N D"},
    {"third", "TH ER1 D"},
    {"fourth", "F AO1 R TH"},
    {"fifth", "F IH1 F TH"},
    {"sixth", "S IH1 K S TH"},
    {"seventh", "S EH1 V AH0 N TH"},
    {"eighth", "EY1 T TH"},
    {"ninth", "N AY1 N TH"},
    {"tenth", "T EH1 N TH"},
    {"eleventh", "IH0 L EH1 V AH0 N TH"},
    {"twelfth", "T W EH1 L F TH"},
    {"thirteenth", "TH ER0 T IY1 N TH"},
    {"fourteenth", "F AO2 R T IY1 N TH"},
    {"fifteenth", "F IH2 F T IY1 N TH"},
    {"sixteenth", "S IH2 K S T IY1 N TH"},
    {"seventeenth", "S EH2 V AH0 N T IY1 N TH"},
    {"eighteenth", "EY2 T IY1 N TH"},
    {"nineteenth", "N AY2 N T IY1 N TH"},
    {"twentieth", "T W EH1 N T IY0 AH0 TH"},
    {"thirtieth", "TH ER1 T IY0 AH0 TH"},
    {"fortieth", "F AO1 R T IY0 AH0 TH"},
    {"fiftieth", "F IH1 F T IY0 AH0 TH"},
    {"sixtieth", "S IH1 K S T IY0 AH0 TH"},
    {"seventieth", "S EH1 V AH0 N T IY0 AH0 TH"},
    {"eightieth", "EY1 T IY0 AH0 TH"},
    {"ninetieth", "N AY1 N T IY0 AH0 TH"},
    {"hundredth", "HH AH1 N D R AH0 D TH"},
    {"thousandth", "TH AW1 Z AH0 N D TH"},
    {"millionth", "M IH1 L Y AH0 N TH"},
    {"billionth", "B IH1 L Y AH0 N TH"},
    {"trillionth", "T R IH1 L Y AH0 N TH"},
    {"point", "P OY1 N T"},
    {"minus", "M AY1 N AH0 S"},
    {"percent", "P ER0 S EH1 N T"},
    {"dollar", "D AA1 L ER0"},
    {"dollars", "D AA1 L ER0 Z"},
    {"and", "AH0 N D"},
    {"plus", "P L AH1 S"},
    {"equals", "IY1 K W AH0 L Z"},
    {"at", "AE1 T"},
    {"mister", "M IH1 S T ER0"},
    {"missus", "M IH1 S IH0 Z"},
    {"miz", "M IH1 Z"},
    {"doctor", "D AA1 K T ER0"},
    {"professor", "P R AH0 F EH1 S ER0"},
    {"junior", "JH UW1 N Y ER0"},
    {"senior", "S IY1 N Y ER0"},
    {"versus", "V ER1 S AH0 S"},
    {"et", "EH1 T"},
    {"cetera", "S EH1 T ER0 AH0"},
};

const char *const kOnes[20] = {"zero",    "one",       "two",      "three",
                               "four",    "five",      "six",      "seven",
                               "eight",   "nine",      "ten",      "eleven",
                               "twelve",  "thirteen",  "fourteen", "fifteen",
                               "sixteen", "seventeen", "eighteen", "nineteen"};
const char *const kTens[10] = {"",      "",      "twenty",  "thirty", "forty",
                               "fifty", "sixty", "seventy", "eighty", "ninety"};
const char *const kOrdinalOnes[20] = {
    "zeroth",    "first",     "second",      "third",      "fourth",
    "fifth",     "sixth",     "seventh",     "eighth",     "ninth",
    "tenth",     "eleventh",  "twelfth",     "thirteenth", "fourteenth",
    "fifteenth", "sixteenth", "seventeenth", "eighteenth", "nineteenth"};
const char *const kOrdinalTens[10] = {
    "",         "",         "twentieth",  "thirtieth", "fortieth",
    "fiftieth", "sixtieth", "seventieth", "eightieth", "ninetieth"};
const char *const kScales[5] = {"", "thousand", "million", "billion",
                                "trillion"};
const char *const kOrdinalScales[5] = {"", "thousandth", "millionth",
                                       "billionth", "trillionth"};

bool digit(char c) { return c >= '0' && c <= '9'; }

// Words are queued one behind another; the last one can still turn into an
// ordinal.
struct Words {
  EmitWord emit;
  void *context;
  const char *held = nullptr;
  void say(const char *w) {
    if (held)
      emit(context, held);
    held = w;
  }
  void finish(bool ordinal) {
    if (!held)
      return;
    if (ordinal) {
      for (int i = 0; i < 20; ++i)
        if (strcmp(held, kOnes[i]) == 0)
          held = kOrdinalOnes[i];
      for (int i = 2; i < 10; ++i)
        if (strcmp(held, kTens[i]) == 0)
          held = kOrdinalTens[i];
      for (int i = 1; i < 5; ++i)
        if (strcmp(held, kScales[i]) == 0)
          held = kOrdinalScales[i];
      if (strcmp(held, "hundred") == 0)
        held = "hundredth";
    }
    emit(context, held);
    held = nullptr;
  }
};

// 1 to 99.
void say_tens(Words &w, int n) {
  if (n < 20) {
    w.say(kOnes[n]);
    return;
  }
  w.say(kTens[n / 10]);
  if (n % 10)
    w.say(kOnes[n % 10]);
}

// 1 to 999.
void say_hundreds(Words &w, int n) {
  if (n >= 100) {
    w.say(kOnes[n / 100]);
    w.say("hundred");
  }
  if (n % 100)
    say_tens(w, n % 100);
}

} // namespace

const char *number_word(const char *word, size_t length) {
  for (const Said &s : kNumberWords) {
    if (strlen(s.word) != length)
      continue;
    size_t i = 0;
    while (i < length && lower(word[i]) == s.word[i])
      ++i;
    if (i == length)
      return s.arpabet;
  }
  return nullptr;
}

size_t read_number(const char *text, EmitWord emit, void *context) {
  Words w{emit, context};
  // The integer part: digits, or groups of three after commas.
  char digits[24];
  size_t n = 0, at = 0;
  bool grouped = false, too_long = false;
  for (;;) {
    while (digit(text[at])) {
      if (n < sizeof digits)
        digits[n++] = text[at];
      else
        too_long = true;
      ++at;
    }
    if (text[at] == ',' && digit(text[at + 1]) && digit(text[at + 2]) &&
        digit(text[at + 3]) && !digit(text[at + 4]) && (grouped || n <= 3)) {
      grouped = true;
      ++at;
      continue;
    }
    break;
  }
  // A decimal fraction.
  size_t fraction = 0;
  if (text[at] == '.' && digit(text[at + 1]))
    fraction = at + 1;
  // An ordinal ending: 1st 2nd 3rd 4th.
  bool ordinal = false;
  if (!fraction) {
    const char a = lower(text[at]), b = a ? lower(text[at + 1]) : 0;
    const bool ending = (a == 's' && b == 't') || (a == 'n' && b == 'd') ||
                        (a == 'r' && b == 'd') || (a == 't' && b == 'h');
    const char after = ending ? lower(text[at + 2]) : 0;
    if (ending && !(after >= 'a' && after <= 'z') && !digit(after)) {
      ordinal = true;
      at += 2;
    }
  }
  const bool leading_zero = n > 1 && digits[0] == '0';
  if (too_long || n > 15 || leading_zero) {
    // Numbers too long to read as one, and codes like 007: digit by digit.
    for (size_t i = 0; i < n; ++i)
      w.say(kOnes[digits[i] - '0']);
  } else {
    unsigned long long value = 0;
    for (size_t i = 0; i < n; ++i)
      value = value * 10 + static_cast<unsigned>(digits[i] - '0');
    const bool year =
        n == 4 && !grouped && !fraction && !ordinal &&
        ((value >= 1100 && value <= 1999) || (value >= 2010 && value <= 2099));
    if (value == 0) {
      w.say("zero");
    } else if (year) {
      // 1984: nineteen eighty-four; 1900: nineteen hundred; 1905: nineteen
      // oh five.
      say_tens(w, static_cast<int>(value / 100));
      const int rest = static_cast<int>(value % 100);
      if (rest == 0) {
        w.say("hundred");
      } else {
        if (rest < 10)
          w.say("oh");
        say_tens(w, rest);
      }
    } else {
      int groups[5] = {0};
      for (int g = 0; g < 5; ++g, value /= 1000)
        groups[g] = static_cast<int>(value % 1000);
      for (int g = 4; g >= 0; --g) {
        if (groups[g] == 0)
          continue;
        say_hundreds(w, groups[g]);
        if (g > 0)
          w.say(kScales[g]);
      }
    }
  }
  if (fraction) {
    w.say("point");
    at = fraction;
    while (digit(text[at]))
      w.say(kOnes[text[at++] - '0']);
  }
  w.finish(ordinal);
  return at > 0 ? at : 1;
}

const char *abbreviation(const char *word, size_t length) {
  static const Said kAbbreviations[] = {
      {"mr", "mister"}, {"mrs", "missus"},     {"ms", "miz"},
      {"dr", "doctor"}, {"prof", "professor"}, {"jr", "junior"},
      {"sr", "senior"}, {"vs", "versus"},      {"etc", "et cetera"}};
  for (const Said &a : kAbbreviations) {
    if (strlen(a.word) != length)
      continue;
    size_t i = 0;
    while (i < length && lower(word[i]) == a.word[i])
      ++i;
    if (i == length)
      return a.arpabet;
  }
  return nullptr;
}

} // namespace tw::speech
