// English spelling to sound without a dictionary: the letter-to-sound and
// stress trees of letters_table.inc (learned by tools/letters/learn.py), and
// the pronunciations of the words that numbers and symbols are read as.
#pragma once

#include <stddef.h>

namespace tw::speech {

// The ARPAbet of a word by rule, its vowels with stress digits ("K AE1 T").
// Letters a-z in either case and apostrophes are read; other bytes are
// skipped. A word of two to five capitals and no vowel letter ("BBC") is
// spelled out letter by letter. Returns the length written (NUL-terminated),
// 0 when the word holds nothing to read, -1 when out is too small.
int spell(const char *word, size_t length, char *out, size_t size);

// Rewrites the stress digits of a pronunciation in the lexicon's form
// (ARPAbet separated by single spaces, each vowel with a digit) from the
// stress tree for the word's spelling: the first stressed vowel gets 1, any
// later stressed ones 2, the rest 0. Leaves it alone when the tree has no
// answer for it.
void restress(const char *word, size_t length, char *pron);

// The built-in pronunciation of a word numbers and symbols are read as
// ("twenty", "percent", "hundred", ...; lower case), or nullptr.
const char *number_word(const char *word, size_t length);

// Reads a number at text[0] (a digit): "1,234", "3.14", "1984", "21st".
// Calls emit once for each word it is read as, in order, and returns the
// bytes it used (at least 1).
typedef void (*EmitWord)(void *context, const char *word);
size_t read_number(const char *text, EmitWord emit, void *context);

// The words an abbreviation ("Mr", "etc") stands for, or nullptr. Its
// full stop, if any, is part of it, not the end of a sentence.
const char *abbreviation(const char *word, size_t length);

} // namespace tw::speech
