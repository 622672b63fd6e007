// libFuzzer target for the speech library's text side: a dictionary's text
// loaded into a lexicon, words added one by one, English text transcribed
// with and without the letter rule, words spelled, IPA rewritten as ARPAbet.
// Besides what the sanitizers catch it checks the contracts of the results:
// - a measured length is what a large enough buffer receives, and a short
//   buffer gets a NUL-terminated prefix and nothing past its size;
// - offsets into the text (the unknown word, the unknown symbol, the line at
//   fault) lie inside it;
// - whatever is transcribed, spelled or rewritten from IPA is ARPAbet that a
//   speaker queues.
#include "tractwave_speech.h"

#include "fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kGuard = '\x5a';

// Whatever the text side writes must be ARPAbet that a speaker queues. One
// speaker that only plans (nothing is rendered) serves every input, since
// making one calibrates its level by rendering; it is made afresh when its
// queue fills.
void speaks(const std::string &arpabet, const char *from) {
  static tractwave_speaker *s = nullptr;
  int r = TRACTWAVE_SPEECH_QUEUE_FULL;
  for (int attempt = 0; attempt < 2 && r == TRACTWAVE_SPEECH_QUEUE_FULL;
       ++attempt) {
    if (attempt > 0 || !s) {
      tractwave_speaker_destroy(s);
      s = tractwave_speaker_create(TRACTWAVE_SPEECH_MALE, 48000.0f, 1 << 20);
      CHECK(s != nullptr, "no speaker");
    }
    r = tractwave_speaker_queue(s, arpabet.c_str(), 0);
  }
  CHECK(r == TRACTWAVE_SPEECH_OK,
        "%s gave ARPAbet the speaker refuses (%d): %s", from, r,
        arpabet.c_str());
}

// Calls `f(out, size)` the way a host does: measures, then fills an exact
// buffer and a short one. Returns the result, or "" with *code set for a
// negative result.
template <typename F> std::string measured(F f, int *code, const char *what) {
  const int need = f(nullptr, 0);
  *code = need;
  if (need < 0)
    return {};
  std::vector<char> out(static_cast<size_t>(need) + 2, kGuard);
  CHECK(f(out.data(), need + 1) == need, "%s: a second call disagrees", what);
  CHECK(out[static_cast<size_t>(need)] == '\0', "%s: not NUL-terminated", what);
  CHECK(std::strlen(out.data()) == static_cast<size_t>(need),
        "%s: %zu bytes, %d measured", what, std::strlen(out.data()), need);
  CHECK(out[static_cast<size_t>(need) + 1] == kGuard,
        "%s: wrote past its buffer", what);
  std::string result(out.data(), static_cast<size_t>(need));
  if (need > 0) {
    const int size = 1 + need / 2;
    std::vector<char> shorter(static_cast<size_t>(size) + 1, kGuard);
    CHECK(f(shorter.data(), size) == need,
          "%s: a short buffer changes the length", what);
    CHECK(shorter[static_cast<size_t>(size)] == kGuard,
          "%s: wrote past a short buffer", what);
    CHECK(std::memchr(shorter.data(), '\0', static_cast<size_t>(size)) !=
              nullptr,
          "%s: a short buffer is not NUL-terminated", what);
    CHECK(result.compare(0, std::strlen(shorter.data()), shorter.data()) == 0,
          "%s: a short buffer holds something else", what);
  }
  return result;
}

void run(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  tractwave_lexicon *lexicon = tractwave_lexicon_create();
  CHECK(lexicon != nullptr, "no lexicon");
  int steps = 0;
  while (in.remaining_bytes() > 0 && ++steps <= 12) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: { // a dictionary's text, exactly its length: no NUL after it
      const std::string text = in.ConsumeRandomLengthString(4096);
      // new char[0] too is a pointer of its own that no byte may be read at.
      std::unique_ptr<char[]> exact(new char[text.size()]);
      std::memcpy(exact.get(), text.data(), text.size());
      int line = -7;
      const int before = tractwave_lexicon_count(lexicon);
      const int r = tractwave_lexicon_load(
          lexicon, exact.get(), static_cast<int>(text.size()), &line);
      const int lines =
          1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
      CHECK(r == TRACTWAVE_SPEECH_OK || r == TRACTWAVE_SPEECH_MALFORMED,
            "load gave %d", r);
      CHECK(r == TRACTWAVE_SPEECH_OK ? line == 0 : line >= 1 && line <= lines,
            "load gave %d with line %d of %d", r, line, lines);
      CHECK(tractwave_lexicon_count(lexicon) >= before, "load lost words");
      break;
    }
    case 1: { // one word
      const std::string word = in.ConsumeRandomLengthString(200);
      const std::string arpabet = in.ConsumeRandomLengthString(400);
      const int before = tractwave_lexicon_count(lexicon);
      const int r =
          tractwave_lexicon_add(lexicon, word.c_str(), arpabet.c_str());
      CHECK(r == TRACTWAVE_SPEECH_OK || r == TRACTWAVE_SPEECH_MALFORMED ||
                r == TRACTWAVE_SPEECH_BAD_ARGUMENT,
            "add gave %d", r);
      CHECK(tractwave_lexicon_count(lexicon) - before == 0 ||
                (r == TRACTWAVE_SPEECH_OK &&
                 tractwave_lexicon_count(lexicon) - before == 1),
            "add gave %d and the count went from %d to %d", r, before,
            tractwave_lexicon_count(lexicon));
      break;
    }
    case 2: { // English text
      tractwave_lexicon_set_letters(lexicon, in.ConsumeBool());
      const std::string text = in.ConsumeRandomLengthString(2048);
      int offset = -9, length = -9, code = 0;
      tractwave_lexicon_transcribe(lexicon, text.c_str(), nullptr, 0, &offset,
                                   &length);
      const std::string arpabet = measured(
          [&](char *out, int n) {
            return tractwave_lexicon_transcribe(lexicon, text.c_str(), out, n,
                                                nullptr, nullptr);
          },
          &code, "transcribe");
      const int bytes = static_cast<int>(std::strlen(text.c_str()));
      if (code == TRACTWAVE_SPEECH_UNKNOWN_WORD) {
        CHECK(offset >= 0 && length > 0 && offset + length <= bytes,
              "unknown word at %d, %d bytes, in %d", offset, length, bytes);
      } else {
        CHECK(code >= 0, "transcribe gave %d", code);
        CHECK(offset == -1 && length == 0, "no unknown word, yet %d, %d",
              offset, length);
        speaks(arpabet, "transcribe");
      }
      break;
    }
    case 3: { // one word by the letter rule
      const std::string word = in.ConsumeRandomLengthString(100);
      int code = 0;
      const std::string arpabet = measured(
          [&](char *out, int n) {
            return tractwave_speech_spell(word.c_str(), out, n);
          },
          &code, "spell");
      CHECK(code >= 0 || code == TRACTWAVE_SPEECH_UNKNOWN_WORD, "spell gave %d",
            code);
      if (code > 0)
        speaks(arpabet, "spell");
      break;
    }
    case 4: { // IPA
      const std::string ipa = in.ConsumeRandomLengthString(2048);
      int at = -9, code = 0;
      tractwave_speech_ipa_to_arpabet(ipa.c_str(), nullptr, 0, &at);
      const std::string arpabet = measured(
          [&](char *out, int n) {
            return tractwave_speech_ipa_to_arpabet(ipa.c_str(), out, n,
                                                   nullptr);
          },
          &code, "ipa");
      if (code == TRACTWAVE_SPEECH_UNKNOWN_PHONEME) {
        CHECK(at >= 0 && static_cast<size_t>(at) < std::strlen(ipa.c_str()),
              "unknown IPA at %d of %zu", at, std::strlen(ipa.c_str()));
      } else {
        CHECK(code >= 0, "ipa gave %d", code);
        speaks(arpabet, "ipa");
      }
      break;
    }
    default: // the lexicon afresh
      tractwave_lexicon_destroy(lexicon);
      lexicon = tractwave_lexicon_create();
      CHECK(lexicon != nullptr, "no lexicon");
      break;
    }
  }
  tractwave_lexicon_destroy(lexicon);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  run(data, size);
  return 0;
}
