// Pronunciations: a dictionary in the CMU format, held in one arena and an
// open-addressed hash table, and the transcription of plain text into the
// ARPAbet the speaker queues. The library reads no file: hosts pass the
// dictionary's text in. Numbers, a few symbols and abbreviations are read as
// words; words the lexicon lacks are refused, or spelled by the letter rule
// (letters.cpp) when the lexicon is told to.
#include "tractwave_speech.h"

#include "letters.h"
#include "phonemes.h"

#include <new>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

using namespace tw::speech;

struct tractwave_lexicon {
  char *arena = nullptr; // "word\0pronunciation\0" pairs
  size_t used = 0, size = 0;
  uint32_t *table = nullptr; // arena offset + 1 of each word, 0 when empty
  uint32_t buckets = 0, count = 0;
  bool letters = false; // spell unknown words by rule
};

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

uint32_t hash(const char *word, size_t length) {
  uint32_t h = 2166136261u; // FNV-1a
  for (size_t i = 0; i < length; ++i)
    h = (h ^ static_cast<unsigned char>(lower(word[i]))) * 16777619u;
  return h;
}

bool same_word(const char *stored, const char *word, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (stored[i] != lower(word[i]))
      return false;
  return stored[length] == '\0';
}

// The arena offset of a word's entry, or -1.
int64_t find(const tractwave_lexicon *lex, const char *word, size_t length) {
  if (lex->buckets == 0)
    return -1;
  for (uint32_t i = hash(word, length) & (lex->buckets - 1);;
       i = (i + 1) & (lex->buckets - 1)) {
    const uint32_t slot = lex->table[i];
    if (slot == 0)
      return -1;
    if (same_word(lex->arena + slot - 1, word, length))
      return slot - 1;
  }
}

bool grow_table(tractwave_lexicon *lex) {
  const uint32_t buckets = lex->buckets ? lex->buckets * 2 : 1024;
  uint32_t *table = static_cast<uint32_t *>(calloc(buckets, sizeof(uint32_t)));
  if (!table)
    return false;
  for (uint32_t b = 0; b < lex->buckets; ++b) {
    const uint32_t slot = lex->table[b];
    if (slot == 0)
      continue;
    const char *word = lex->arena + slot - 1;
    uint32_t i = hash(word, strlen(word)) & (buckets - 1);
    while (table[i] != 0)
      i = (i + 1) & (buckets - 1);
    table[i] = slot;
  }
  free(lex->table);
  lex->table = table;
  lex->buckets = buckets;
  return true;
}

// Adds a word (any case) and its pronunciation (checked ARPAbet) unless the
// word is there already: a dictionary's first pronunciation wins.
int add(tractwave_lexicon *lex, const char *word, size_t word_length,
        const char *pron, size_t pron_length) {
  if (find(lex, word, word_length) >= 0)
    return TRACTWAVE_SPEECH_OK;
  if ((lex->count + 1) * 2 > lex->buckets && !grow_table(lex))
    return TRACTWAVE_SPEECH_NO_MEMORY;
  const size_t need = word_length + pron_length + 2;
  if (lex->used + need > 0xfffffff0u)
    return TRACTWAVE_SPEECH_NO_MEMORY;
  if (lex->used + need > lex->size) {
    size_t size = lex->size ? lex->size * 2 : 65536;
    while (size < lex->used + need)
      size *= 2;
    char *arena = static_cast<char *>(realloc(lex->arena, size));
    if (!arena)
      return TRACTWAVE_SPEECH_NO_MEMORY;
    lex->arena = arena;
    lex->size = size;
  }
  char *at = lex->arena + lex->used;
  for (size_t i = 0; i < word_length; ++i)
    at[i] = lower(word[i]);
  at[word_length] = '\0';
  memcpy(at + word_length + 1, pron, pron_length);
  at[word_length + 1 + pron_length] = '\0';
  uint32_t i = hash(word, word_length) & (lex->buckets - 1);
  while (lex->table[i] != 0)
    i = (i + 1) & (lex->buckets - 1);
  lex->table[i] = static_cast<uint32_t>(lex->used + 1);
  lex->used += need;
  ++lex->count;
  return TRACTWAVE_SPEECH_OK;
}

// A pronunciation in the form the lexicon keeps: upper-case ARPAbet
// phonemes separated by single spaces, every vowel with its stress digit
// (from the stress rule for the word's spelling when the dictionary gives
// none). Returns its length, or -1 when the text is not one or more ARPAbet
// phonemes and nothing else.
int canonical(const char *word, size_t word_length, const char *pron,
              size_t length, char *out, size_t size) {
  char buffer[512];
  if (length == 0 || length >= sizeof buffer)
    return -1;
  memcpy(buffer, pron, length);
  buffer[length] = '\0';
  Token tokens[512];
  int offset = 0;
  const int count = parse(buffer, kArpabet, tokens, 512, &offset);
  if (count <= 0)
    return -1;
  size_t used = 0;
  for (int i = 0; i < count; ++i) {
    if (tokens[i].phoneme == kPause || tokens[i].boundary > kWordEnd)
      return -1;
    const char *name = kPhonemes[tokens[i].phoneme].name;
    const size_t n = strlen(name);
    if (used + n + 3 > size)
      return -1;
    if (i > 0)
      out[used++] = ' ';
    memcpy(out + used, name, n);
    used += n;
    if (is_vowel(tokens[i].phoneme))
      out[used++] = static_cast<char>('0' + tokens[i].stress);
  }
  out[used] = '\0';
  bool marked = false;
  for (size_t i = 0; i < length; ++i)
    marked |= pron[i] >= '0' && pron[i] <= '9';
  if (!marked)
    restress(word, word_length, out);
  return static_cast<int>(used);
}

// Words that carry no stress in running speech: their vowels are spoken
// reduced, whatever a dictionary of words in isolation says.
const char *const kFunctionWords[] = {
    "a",     "an",   "the",  "of",    "to",    "and",    "or",    "in",
    "on",    "at",   "for",  "with",  "from",  "by",     "as",    "is",
    "are",   "was",  "were", "be",    "been",  "am",     "it",    "its",
    "that",  "than", "but",  "if",    "so",    "he",     "she",   "we",
    "they",  "you",  "his",  "her",   "him",   "them",   "our",   "your",
    "their", "my",   "me",   "us",    "has",   "have",   "had",   "do",
    "does",  "can",  "will", "would", "could", "should", "shall", "into",
    "onto",  "nor",  "there"};

bool function_word(const char *word) {
  for (const char *f : kFunctionWords)
    if (strcmp(f, word) == 0)
      return true;
  return false;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Appends to a bounded buffer, counting what would not fit.
struct Writer {
  char *out;
  size_t size, length = 0;
  void put(const char *s, size_t n) {
    for (size_t i = 0; i < n; ++i, ++length)
      if (length + 1 < size)
        out[length] = s[i];
  }
  void put(const char *s) { put(s, strlen(s)); }
  int finish() {
    if (size > 0)
      out[length < size ? length : size - 1] = '\0';
    return length > 0x7ffffffe ? TRACTWAVE_SPEECH_NO_MEMORY
                               : static_cast<int>(length);
  }
};

const char *boundary_text(char c) {
  switch (c) {
  case ',':
  case ';':
  case ':':
  case '.':
  case '!':
  case '?':
    return c == ','   ? ","
           : c == ';' ? ";"
           : c == ':' ? ":"
           : c == '.' ? "."
           : c == '!' ? "!"
                      : "?";
  default:
    return nullptr;
  }
}

// Letters, digits, apostrophes and anything outside ASCII (letters of other
// scripts) make words; the right single quotation mark (’) is an apostrophe.
size_t word_char(const char *p) {
  const unsigned char c = static_cast<unsigned char>(*p);
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9') || c == '\'')
    return 1;
  if (c == 0xe2 && static_cast<unsigned char>(p[1]) == 0x80 &&
      static_cast<unsigned char>(p[2]) == 0x99)
    return 3;
  if (c >= 0x80) {
    size_t n = 1;
    while ((static_cast<unsigned char>(p[n]) & 0xc0) == 0x80)
      ++n;
    return n;
  }
  return 0;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// Symbols read as words.
const char *symbol_word(char c) {
  switch (c) {
  case '&':
    return "and";
  case '%':
    return "percent";
  case '+':
    return "plus";
  case '=':
    return "equals";
  case '@':
    return "at";
  default:
    return nullptr;
  }
}

// Writes the pronunciations of a text's words one after another.
struct Speech {
  const tractwave_lexicon *lex;
  Writer *w;
  bool reduce; // function words lose their stress (more than one word)
  bool need_separator = false;
  bool failed = false; // a word that has no pronunciation

  void put(const char *word, const char *pron) {
    if (need_separator)
      w->put(" |");
    if (w->length > 0)
      w->put(" ");
    if (reduce && function_word(word)) {
      for (const char *c = pron; *c; ++c) {
        const char reduced = *c >= '1' && *c <= '2' ? '0' : *c;
        w->put(&reduced, 1);
      }
    } else {
      w->put(pron);
    }
    need_separator = true;
  }

  // A lexicon entry.
  bool entry(int64_t at) {
    const char *stored = lex->arena + at;
    put(stored, stored + strlen(stored) + 1);
    return true;
  }

  // Any word: the lexicon's pronunciation, the built-in one of the words
  // numbers and symbols are read as, or the letter rule's when the lexicon
  // spells. False when it has none.
  bool word(const char *word, size_t length) {
    const int64_t at = find(lex, word, length);
    if (at >= 0)
      return entry(at);
    char spelling[32];
    if (length >= sizeof spelling)
      spelling[0] = '\0';
    else {
      for (size_t i = 0; i < length; ++i)
        spelling[i] = lower(word[i]);
      spelling[length] = '\0';
    }
    const char *known = number_word(word, length);
    if (known) {
      put(spelling, known);
      return true;
    }
    // The article: the letter rule reads one letter as its name (for
    // spelling out), but "a" in running text is the word.
    if (lex->letters && length == 1 && lower(word[0]) == 'a') {
      put(spelling, "AH0");
      return true;
    }
    char pron[512];
    if (lex->letters && spell(word, length, pron, sizeof pron) > 0) {
      put(spelling, pron);
      return true;
    }
    failed = true;
    return false;
  }
  bool word(const char *w) { return word(w, strlen(w)); }

  static void emit(void *context, const char *w) {
    static_cast<Speech *>(context)->word(w);
  }
};

} // namespace

extern "C" {

TRACTWAVE_SPEECH_API tractwave_lexicon *tractwave_lexicon_create(void) {
  void *memory = calloc(1, sizeof(tractwave_lexicon));
  return memory ? new (memory) tractwave_lexicon : nullptr;
}

TRACTWAVE_SPEECH_API void tractwave_lexicon_destroy(tractwave_lexicon *lex) {
  if (!lex)
    return;
  free(lex->arena);
  free(lex->table);
  free(lex);
}

TRACTWAVE_SPEECH_API int tractwave_lexicon_count(const tractwave_lexicon *lex) {
  return lex ? static_cast<int>(lex->count) : TRACTWAVE_SPEECH_BAD_ARGUMENT;
}

TRACTWAVE_SPEECH_API int tractwave_lexicon_load(tractwave_lexicon *lex,
                                                const char *text, int length,
                                                int *error_line) {
  if (error_line)
    *error_line = 0;
  if (!lex || !text || length < 0)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  const char *p = text, *end = text + length;
  for (int line = 1; p < end; ++line) {
    const char *eol = static_cast<const char *>(memchr(p, '\n', end - p));
    if (!eol)
      eol = end;
    const char *q = p;
    const char *line_end = eol;
    p = eol < end ? eol + 1 : end;
    // Comments: ";;;" lines (cmudict) and "#" to the end of a line.
    const char *hash_mark =
        static_cast<const char *>(memchr(q, '#', line_end - q));
    if (hash_mark)
      line_end = hash_mark;
    while (q < line_end && blank(*q))
      ++q;
    while (line_end > q && blank(line_end[-1]))
      --line_end;
    if (q == line_end ||
        (line_end - q >= 3 && q[0] == ';' && q[1] == ';' && q[2] == ';'))
      continue;
    const char *word = q;
    while (q < line_end && !blank(*q))
      ++q;
    size_t word_length = static_cast<size_t>(q - word);
    while (q < line_end && blank(*q))
      ++q;
    bool bad = memchr(word, '\0', line_end - word) != nullptr;
    // An alternative pronunciation, "word(2)": the first one is kept.
    if (word_length > 3 && word[word_length - 1] == ')') {
      size_t open = word_length - 2;
      while (open > 0 && word[open] >= '0' && word[open] <= '9')
        --open;
      if (word[open] == '(' && open + 2 < word_length && open > 0)
        word_length = open;
    }
    char pron[512];
    const int pron_length =
        bad || q == line_end
            ? -1
            : canonical(word, word_length, q, static_cast<size_t>(line_end - q),
                        pron, sizeof pron);
    if (pron_length < 0) {
      if (error_line)
        *error_line = line;
      return TRACTWAVE_SPEECH_MALFORMED;
    }
    const int status =
        add(lex, word, word_length, pron, static_cast<size_t>(pron_length));
    if (status != TRACTWAVE_SPEECH_OK) {
      if (error_line)
        *error_line = line;
      return status;
    }
  }
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int tractwave_lexicon_add(tractwave_lexicon *lex,
                                               const char *word,
                                               const char *arpabet) {
  if (!lex || !word || !arpabet || !*word)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  for (const char *c = word; *c; ++c)
    if (blank(*c) || *c == '\n')
      return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  char pron[512];
  const int pron_length = canonical(word, strlen(word), arpabet,
                                    strlen(arpabet), pron, sizeof pron);
  if (pron_length < 0)
    return TRACTWAVE_SPEECH_MALFORMED;
  return add(lex, word, strlen(word), pron, static_cast<size_t>(pron_length));
}

TRACTWAVE_SPEECH_API int tractwave_lexicon_set_letters(tractwave_lexicon *lex,
                                                       int on) {
  if (!lex)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  lex->letters = on != 0;
  return TRACTWAVE_SPEECH_OK;
}

TRACTWAVE_SPEECH_API int tractwave_speech_spell(const char *word, char *out,
                                                int size) {
  if (!word || (!out && size != 0) || size < 0)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  char pron[512];
  const int n = spell(word, strlen(word), pron, sizeof pron);
  if (n <= 0)
    return TRACTWAVE_SPEECH_UNKNOWN_WORD;
  Writer w{out, static_cast<size_t>(size)};
  w.put(pron);
  return w.finish();
}

TRACTWAVE_SPEECH_API int
tractwave_lexicon_transcribe(const tractwave_lexicon *lex, const char *text,
                             char *out, int size, int *word_offset,
                             int *word_length) {
  if (word_offset)
    *word_offset = -1;
  if (word_length)
    *word_length = 0;
  if (!lex || !text || (!out && size != 0) || size < 0)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  Writer w{out, static_cast<size_t>(size)};
  // A function word said on its own keeps its stress.
  int words = 0;
  for (const char *p = text; *p && words < 2;) {
    if (word_char(p) == 0) {
      ++p;
      continue;
    }
    ++words;
    for (size_t n; (n = word_char(p)) > 0;)
      p += n;
  }
  Speech say{lex, &w, words > 1};
  for (const char *p = text; *p;) {
    // Numbers, with a currency sign before or a percent sign after.
    const bool dollars = *p == '$' && digit(p[1]);
    if (digit(*p) || dollars) {
      const char *number = dollars ? p + 1 : p;
      const size_t used = read_number(number, Speech::emit, &say);
      p = number + used;
      if (dollars)
        say.word(used == 1 && *number == '1' ? "dollar" : "dollars");
      continue;
    }
    size_t n = word_char(p);
    if (n == 0) {
      const char *mark = boundary_text(*p);
      const char *symbol = symbol_word(*p);
      if (mark) {
        w.put(" ");
        w.put(mark);
        say.need_separator = false;
      } else if (symbol) {
        say.word(symbol);
      }
      ++p;
      continue;
    }
    const char *word = p;
    while ((n = word_char(p)) > 0 && !digit(*p))
      p += n;
    size_t length = static_cast<size_t>(p - word);
    int64_t entry = find(lex, word, length);
    // Abbreviations the lexicon does not know otherwise, or written with
    // their full stop, which then ends no sentence.
    const char *expansion = abbreviation(word, length);
    if (expansion && (entry < 0 || *p == '.')) {
      for (const char *e = expansion; *e;) {
        const char *end = strchr(e, ' ');
        const size_t k = end ? static_cast<size_t>(end - e) : strlen(e);
        say.word(e, k);
        e += k + (end ? 1 : 0);
      }
      if (*p == '.' && strcmp(expansion, "et cetera") != 0)
        ++p;
      continue;
    }
    // Quotation marks written with apostrophes: 'word' and word'.
    const char *trimmed = word;
    size_t trimmed_length = length;
    while (entry < 0 && trimmed_length > 0 && *trimmed == '\'') {
      ++trimmed;
      --trimmed_length;
      entry = find(lex, trimmed, trimmed_length);
    }
    while (entry < 0 && trimmed_length > 0 &&
           trimmed[trimmed_length - 1] == '\'') {
      --trimmed_length;
      entry = find(lex, trimmed, trimmed_length);
    }
    if (trimmed_length == 0)
      continue; // apostrophes alone
    if (entry >= 0 ? say.entry(entry) : say.word(trimmed, trimmed_length))
      continue;
    if (word_offset)
      *word_offset = static_cast<int>(word - text);
    if (word_length)
      *word_length = static_cast<int>(length);
    return TRACTWAVE_SPEECH_UNKNOWN_WORD;
  }
  return w.finish();
}

TRACTWAVE_SPEECH_API int tractwave_speech_ipa_to_arpabet(const char *ipa,
                                                         char *out, int size,
                                                         int *error_offset) {
  if (error_offset)
    *error_offset = -1;
  if (!ipa || (!out && size != 0) || size < 0)
    return TRACTWAVE_SPEECH_BAD_ARGUMENT;
  const size_t length = strlen(ipa);
  Token *tokens = static_cast<Token *>(malloc(sizeof(Token) * (length + 1)));
  if (!tokens)
    return TRACTWAVE_SPEECH_NO_MEMORY;
  int offset = -1;
  const int count =
      parse(ipa, kIpa, tokens, static_cast<int>(length) + 1, &offset);
  if (count < 0) {
    free(tokens);
    if (error_offset)
      *error_offset = offset;
    return TRACTWAVE_SPEECH_UNKNOWN_PHONEME;
  }
  Writer w{out, static_cast<size_t>(size)};
  const char *marks[] = {"", " |", " ,", " .", " ?"};
  for (int i = 0; i < count; ++i) {
    const Token &t = tokens[i];
    if (i > 0)
      w.put(" ");
    w.put(kPhonemes[t.phoneme].name);
    if (is_vowel(t.phoneme)) {
      const char digit = static_cast<char>('0' + t.stress);
      w.put(&digit, 1);
    }
    if (t.boundary != kNoBoundary && i + 1 < count)
      w.put(marks[t.boundary]);
    else if (t.boundary > kWordEnd)
      w.put(marks[t.boundary]);
  }
  free(tokens);
  return w.finish();
}

} // extern "C"
