// tractwave-say: speaks English text (or phonemes) through the speech
// library into a WAV file.
#include "cli.h"
#include "output.h"
#include "ssml.h"
#include "text.h"

#include "tractwave_speech.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace {

using namespace tw::tool;
using Clock = std::chrono::steady_clock;

constexpr const char *kDefaultDictionary =
    "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";
// Phones the speaker's queue holds; a phrase longer than a quarter of it is
// queued in pieces at word ends, and a word longer than that (phonemes
// typed without word ends) at phone boundaries. A symbol makes at most two
// phones, so a piece stays well inside the queue.
constexpr int kQueueCapacity = 16384;
constexpr size_t kMaxPiecePhones = kQueueCapacity / 4;
constexpr size_t kMaxPieceSymbols = kQueueCapacity * 3 / 8;
constexpr int kBlock = 4096;
constexpr double kPeakDbfs = -3.0;
// The limits of input, the same in tractwave.say (docs/speech.md, "Limits of
// input"): the text, phonemes or IPA, a word of the text, a dictionary.
constexpr std::size_t kMaxTextBytes = std::size_t(16) << 20;
constexpr std::size_t kMaxWordBytes = 1000;
constexpr std::size_t kMaxDictionaryBytes = std::size_t(256) << 20;
// espeak-ng is asked about one word: an answer later or longer than this is
// a fault of espeak-ng's, not a pronunciation.
// (--espeak-timeout changes the time.)
constexpr const char *kEspeakSeconds = "30";
// (Windows runs no espeak-ng.)
[[maybe_unused]] constexpr std::size_t kMaxEspeakBytes = std::size_t(1) << 20;

const char *kFooter = R"(Input
  English words are looked up in the pronouncing dictionary (--dict, by
  default Debian's pocketsphinx-en-us copy of the CMU dictionary); words it
  lacks are transcribed by espeak-ng (run as a separate program, when it is
  installed and --no-espeak is not given), else by the speech library's own
  letter-to-sound rule; a word neither can read is reported and nothing is
  written. Numbers, & % + = @ and Mr, Dr, etc are read as words. Without a
  dictionary at the default place, every word is asked of espeak-ng (with a
  notice). --phonemes takes ARPAbet with optional stress digits
  ("HH AH0 L OW1 | W ER1 L D ."), --ipa-input takes IPA ("həlˈoʊ wˈɝld.").
  In text, [[...]] is ARPAbet spoken as written ("say [[HH AH0 L OW1]]").
  Punctuation shapes the phrasing: , ; : a short pause, . ! a pause after a
  falling pitch, ? a pause after a rising one. With no words, --text-file or
  phonemes, the text is read from standard input (as with -f -).

SSML
  Text starting with <speak> is SSML: <break time="500ms"/> (or
  strength="weak"...), <prosody rate= pitch= volume=> (x-slow ... x-fast,
  x-low ... x-high, silent ... x-loud, "+10%", "150%", "+2st", "-6dB"),
  <emphasis level=>, <phoneme alphabet="ipa|x-arpabet" ph="...">,
  <say-as interpret-as="characters|digits">, <sub alias="...">. Other tags
  are skipped (their text is spoken, they are not); &amp; &lt; &gt; &quot;
  &apos; and &#NN; are read.

Output
  A mono sound file, its peak at -3 dBFS (the text is rendered twice: once
  to find the peak), in the format its extension names: .wav (also for a
  name without one), .flac (24-bit, or 16 with --format pcm16) or .ogg
  (Vorbis); another extension is refused. -o - writes WAV to standard
  output, with the true sizes in its header even through a pipe. The
  summary line and every message go to standard error. The file is
  written as tractwave-render writes: a regular file
  under a temporary name beside it, renamed when complete (permissions
  kept, a symbolic link followed), a device or FIFO in place; a failed or
  interrupted run leaves no file and an existing one untouched. --score
  writes the controls the speaker gave the engine, about every millisecond,
  as JSON.

Old spellings
  --rate is --sample-rate (the speaking rate is --speed). --ipa, which
  prints IPA in espeak-ng, is refused: speak IPA with --ipa-input.

Exit status
  0 success; 2 a missing or malformed dictionary or text file, a word or
  phoneme that cannot be spoken, empty input, a bad option value or an
  unwritable output (one message on stderr naming the file, line, word,
  phoneme or option); 128 + the signal number when stopped by SIGINT, SIGHUP
  or SIGTERM.
)";

struct Options {
  std::vector<std::string> words;
  std::string output = "tractwave-say.wav", phonemes, ipa, text_file, dict;
  std::string voice = "male", format = "float", score;
  std::string speed = "1", pitch = "1", rate = "48000";
  std::string espeak_timeout = kEspeakSeconds;
  bool no_espeak = false, quiet = false, print_phonemes = false;
  bool has_phonemes = false, has_ipa = false, espeak_ipa = false;
  bool voices = false;
};

double number_option(const std::string &text, const std::string &option,
                     double lo, double hi) {
  const auto v = decimal_number(text);
  if (!v || !(*v >= lo && *v <= hi)) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    throw Error(option + ": " + quote(text) + " is not a number from " + range);
  }
  return *v;
}

// A dictionary or a text, "-" being standard input.
std::string read_file(const std::string &path, const std::string &what,
                      std::size_t max_bytes) {
  return read_text_file(path, what, max_bytes, "", true);
}

// The text, phonemes or IPA to speak, within the limits of input: at most
// kMaxTextBytes, no NUL (which would silently end the text for the
// library).
void check_input(const std::string &text, const std::string &what) {
  if (text.size() > kMaxTextBytes)
    throw Error(what + ": the text is larger than 16 MiB");
  if (text.find('\0') != std::string::npos)
    throw Error(what + ": the input holds a NUL byte");
}

// Typographic punctuation and spaces as the ASCII the lexicon reads:
// curly apostrophes are apostrophes, quotation marks separate words,
// dashes and ellipses end a phrase as , and . do, no-break and other
// Unicode spaces and byte-order marks are spaces.
std::string plain_punctuation(const std::string &text) {
  struct Mapping {
    const char *from, *to;
  };
  static const Mapping kMappings[] = {
      {"\xe2\x80\x98", "'"},   {"\xe2\x80\x99", "'"},   {"\xca\xbc", "'"},
      {"\xe2\x80\x9c", " "},   {"\xe2\x80\x9d", " "},   {"\xe2\x80\x9e", " "},
      {"\xc2\xab", " "},       {"\xc2\xbb", " "},       {"\xe2\x80\x93", " , "},
      {"\xe2\x80\x94", " , "}, {"\xe2\x80\xa6", " . "}, {"\xc2\xa0", " "},
      {"\xe2\x80\xaf", " "},   {"\xe2\x80\x8b", " "},   {"\xef\xbb\xbf", " "},
      {"\xe3\x80\x80", " "},
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Mapping *hit = nullptr;
    if (static_cast<unsigned char>(text[i]) >= 0x80)
      for (const Mapping &m : kMappings)
        if (text.compare(i, std::strlen(m.from), m.from) == 0) {
          hit = &m;
          break;
        }
    // U+2000 ... U+200A, the typographic spaces.
    const bool space = text.compare(i, 2, "\xe2\x80") == 0 &&
                       i + 2 < text.size() &&
                       static_cast<unsigned char>(text[i + 2]) <= 0x8a;
    if (hit) {
      out += hit->to;
      i += std::strlen(hit->from);
    } else if (space) {
      out += ' ';
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// A word as the lexicon reads one: letters, digits, apostrophes and
// non-ASCII bytes.
bool word_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '\'' || c >= 0x80;
}

// English text within the limits of input: no word longer than
// kMaxWordBytes.
void check_words(const std::string &text) {
  for (std::size_t i = 0; i < text.size();) {
    if (!word_byte(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() &&
           word_byte(static_cast<unsigned char>(text[end])))
      ++end;
    if (end - i > kMaxWordBytes)
      throw Error("text: a word of " + std::to_string(end - i) +
                  " bytes is longer than " + std::to_string(kMaxWordBytes) +
                  ": " + quote(std::string_view(text).substr(i, end - i)));
    i = end;
  }
}

// espeak-ng's IPA for one word, run as a program of its own (no shell), or
// "" when it cannot be run. An espeak-ng that answers for longer than
// kEspeakSeconds or prints more than kMaxEspeakBytes is stopped, and that is
// an Error naming the word.
std::string espeak_ipa(const std::string &word, int seconds) {
#ifdef _WIN32
  (void)word;
  (void)seconds;
  return "";
#else
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0)
    return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fd[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fd[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"espeak-ng", "-q", "--ipa", "-v",
                                   "en-us",     "--", word};
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid;
  const int spawned =
      posix_spawnp(&pid, "espeak-ng", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fd[1]);
  std::string out;
  const char *fault = nullptr;
  if (spawned == 0) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    char buf[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - Clock::now())
                            .count();
      pollfd p{pipe_fd[0], POLLIN, 0};
      const int ready =
          left > 0
              ? poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)))
              : 0;
      if (ready < 0 && errno == EINTR && !g_stop_signal)
        continue;
      if (ready == 0 && left > 0)
        continue;
      if (ready == 0) {
        fault = "did not answer within";
        break;
      }
      if (ready < 0)
        break;
      const ssize_t n = read(pipe_fd[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR && !g_stop_signal)
        continue;
      if (n <= 0)
        break;
      out.append(buf, static_cast<std::size_t>(n));
      if (out.size() > kMaxEspeakBytes) {
        fault = "printed more than 1 MiB";
        break;
      }
    }
    if (fault || g_stop_signal)
      kill(pid, SIGKILL);
  }
  close(pipe_fd[0]);
  if (spawned != 0)
    return "";
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (fault)
    throw Error(quote(word) + ": espeak-ng " + fault +
                (out.size() > kMaxEspeakBytes
                     ? ""
                     : " " + std::to_string(seconds) + " s") +
                "; it was stopped");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "";
  return out;
#endif
}

bool espeak_installed() {
#ifdef _WIN32
  return false;
#else
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/espeak-ng").c_str(), X_OK) == 0)
      return true;
  return false;
#endif
}

struct LexiconDeleter {
  void operator()(tractwave_lexicon *l) const { tractwave_lexicon_destroy(l); }
};
struct SpeakerDeleter {
  void operator()(tractwave_speaker *s) const { tractwave_speaker_destroy(s); }
};

using Lexicon = std::unique_ptr<tractwave_lexicon, LexiconDeleter>;

// The dictionary, read and checked. A byte-order mark at its start (as
// some editors write) is not part of the first word.
Lexicon load_lexicon(const std::string &dict_path) {
  std::string dict = read_file(dict_path, "dictionary", kMaxDictionaryBytes);
  if (dict.compare(0, 3, "\xef\xbb\xbf") == 0)
    dict.erase(0, 3);
  if (dict.size() > 0x7fffffff)
    throw Error(dict_path + ": the dictionary is too large");
  Lexicon lexicon(tractwave_lexicon_create());
  if (!lexicon)
    throw std::bad_alloc();
  int line = 0;
  const int loaded = tractwave_lexicon_load(
      lexicon.get(), dict.data(), static_cast<int>(dict.size()), &line);
  if (loaded == TRACTWAVE_SPEECH_MALFORMED)
    throw Error(dict_path + ":" + std::to_string(line) +
                ": not a dictionary entry (a word, then its ARPAbet "
                "phonemes)");
  if (loaded != TRACTWAVE_SPEECH_OK)
    throw Error(dict_path + ": " + tractwave_speech_result_text(loaded));
  if (tractwave_lexicon_count(lexicon.get()) == 0)
    throw Error(dict_path + ": the dictionary holds no words");
  return lexicon;
}

// Without --dict and without Debian's dictionary, every word is asked of
// espeak-ng (with one notice), or the message names the package to install.
bool use_espeak_only(const Options &opt) {
  os::Status dictionary;
  if (!opt.dict.empty() || os::status(kDefaultDictionary, dictionary))
    return false;
  if (opt.no_espeak || !espeak_installed())
    throw Error(std::string("no pronouncing dictionary at ") +
                kDefaultDictionary +
                ": install it (Debian: apt-get install pocketsphinx-en-us) or "
                "give --dict FILE" +
                (opt.no_espeak ? ""
                               : "; espeak-ng, which could stand in, is "
                                 "not installed either"));
  std::fprintf(stderr,
               "tractwave-say: no pronouncing dictionary at %s (Debian: "
               "pocketsphinx-en-us); asking espeak-ng for every word\n",
               kDefaultDictionary);
  return true;
}

// A pronunciation longer than the lexicon holds for one word (a long number
// spoken by espeak-ng) is kept as several stand-in words of at most 400
// bytes each, spelt with private-use characters no text holds, which then
// take the word's place in the text.
bool add_long_word(tractwave_lexicon *lexicon, const std::string &arpabet,
                   std::string &text, int offset, int length) {
  static int serial = 0;
  std::string stand_ins, chunk;
  std::istringstream tokens(arpabet);
  const auto flush = [&]() {
    // Its number in private-use characters too (U+E001 ... U+E00A): the
    // lexicon ends a word at a digit.
    std::string name = "\xee\x80\x80";
    for (const char digit : std::to_string(serial++))
      name += {'\xee', '\x80', static_cast<char>(0x81 + (digit - '0'))};
    if (tractwave_lexicon_add(lexicon, name.c_str(), chunk.c_str()) !=
        TRACTWAVE_SPEECH_OK)
      return false;
    stand_ins += " " + name;
    chunk.clear();
    return true;
  };
  for (std::string t; tokens >> t;) {
    if (chunk.size() + t.size() + 1 > 400 && !flush())
      return false;
    chunk += (chunk.empty() ? "" : " ") + t;
  }
  if (chunk.empty() || !flush())
    return false;
  text.replace(static_cast<std::size_t>(offset),
               static_cast<std::size_t>(length), stand_ins + " ");
  return true;
}

// ARPAbet for English text: dictionary first, then espeak-ng, then the
// library's letter rule.
std::string transcribe(const std::string &given, const Options &opt) {
  // Loaded once for all the segments of a text.
  static Lexicon cached;
  static bool espeak_only = false;
  if (!cached) {
    espeak_only = use_espeak_only(opt);
    if (espeak_only) {
      cached.reset(tractwave_lexicon_create());
      if (!cached)
        throw std::bad_alloc();
    } else {
      cached = load_lexicon(opt.dict.empty() ? kDefaultDictionary : opt.dict);
    }
  }
  const std::string dict_path = espeak_only        ? std::string("(none)")
                                : opt.dict.empty() ? kDefaultDictionary
                                                   : opt.dict;
  const Lexicon &lexicon = cached;
  std::string text = given;
  const bool espeak = !opt.no_espeak && espeak_installed();
  for (;;) {
    int offset = -1, length = 0;
    const int need = tractwave_lexicon_transcribe(lexicon.get(), text.c_str(),
                                                  nullptr, 0, &offset, &length);
    if (need >= 0) {
      std::string out(static_cast<std::size_t>(need) + 1, '\0');
      tractwave_lexicon_transcribe(lexicon.get(), text.c_str(), &out[0],
                                   need + 1, nullptr, nullptr);
      out.resize(static_cast<std::size_t>(need));
      return out;
    }
    if (need != TRACTWAVE_SPEECH_UNKNOWN_WORD)
      throw Error(std::string("cannot transcribe the text: ") +
                  tractwave_speech_result_text(need));
    const std::string word = text.substr(static_cast<std::size_t>(offset),
                                         static_cast<std::size_t>(length));
    const std::string where = quote(word);
    std::string ipa =
        espeak
            ? espeak_ipa(word,
                         static_cast<int>(number_option(
                             opt.espeak_timeout, "--espeak-timeout", 1, 3600)))
            : std::string();
    std::replace(ipa.begin(), ipa.end(), '\n', ' ');
    std::string arpabet;
    if (!ipa.empty()) {
      const int n =
          tractwave_speech_ipa_to_arpabet(ipa.c_str(), nullptr, 0, nullptr);
      if (n > 0) {
        std::string full(static_cast<std::size_t>(n) + 1, '\0');
        tractwave_speech_ipa_to_arpabet(ipa.c_str(), &full[0], n + 1, nullptr);
        full.resize(static_cast<std::size_t>(n));
        // One pronunciation for the word, whatever phrasing espeak-ng added.
        std::istringstream tokens(full);
        for (std::string t; tokens >> t;)
          if (t != "|" && t != "," && t != "." && t != "?")
            arpabet += (arpabet.empty() ? "" : " ") + t;
      }
    }
    // Else the library's own letter-to-sound rule, which reads any word of
    // Latin letters.
    char spelled[512];
    if (arpabet.empty() &&
        tractwave_speech_spell(word.c_str(), spelled, sizeof spelled) > 0)
      arpabet = spelled;
    const int added = arpabet.empty()
                          ? TRACTWAVE_SPEECH_MALFORMED
                          : tractwave_lexicon_add(lexicon.get(), word.c_str(),
                                                  arpabet.c_str());
    if (added != TRACTWAVE_SPEECH_OK &&
        !(arpabet.size() > 400 &&
          add_long_word(lexicon.get(), arpabet, text, offset, length)))
      throw Error(where + " is not in the dictionary " + dict_path +
                  (!espeak && !opt.no_espeak ? " and espeak-ng is not installed"
                   : espeak ? " and espeak-ng gave no pronunciation for it"
                            : ""));
  }
}

// ARPAbet as tokens: symbols (runs of anything but white space and marks)
// and the marks , ; : . ! ? | one by one, so that "AA1,B" is three.
std::vector<std::string> arpabet_tokens(const std::string &arpabet) {
  const auto mark = [](char c) { return std::strchr(",;:.!?|", c) && c; };
  const auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
           c == '\v';
  };
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < arpabet.size();) {
    if (space(arpabet[i])) {
      ++i;
    } else if (mark(arpabet[i])) {
      tokens.emplace_back(1, arpabet[i++]);
    } else {
      const std::size_t start = i;
      while (i < arpabet.size() && !space(arpabet[i]) && !mark(arpabet[i]))
        ++i;
      tokens.push_back(arpabet.substr(start, i - start));
    }
  }
  return tokens;
}

// What the speaker is given at a time: phonemes said one way, or a pause.
struct Piece {
  std::string phonemes;
  int notation = TRACTWAVE_SPEECH_ARPABET;
  double speed = 1.0, pitch = 1.0, volume = 1.0;
  double pause_seconds = 0.0; // a pause, when there are no phonemes
};

// Pieces of ARPAbet that end at phrase punctuation (or, in a very long
// phrase, at a word end, and in a very long word at a symbol), each small
// enough for the speaker's queue whatever the text.
std::vector<std::string> pieces_of(const std::vector<std::string> &tokens) {
  std::vector<std::string> pieces;
  std::string piece;
  std::size_t phones = 0;
  for (const std::string &t : tokens) {
    piece += (piece.empty() ? "" : " ") + t;
    const bool end = t.size() == 1 && std::strchr(",;:.!?", t[0]);
    if (!end && t != "|")
      ++phones;
    if (end || (t == "|" && phones >= kMaxPiecePhones) ||
        phones >= kMaxPieceSymbols) {
      pieces.push_back(piece);
      piece.clear();
      phones = 0;
    }
  }
  if (!piece.empty())
    pieces.push_back(piece);
  return pieces;
}

// Refuses a symbol that is not an ARPAbet phoneme (the speaker's reading of
// a pronunciation, through the lexicon's: one symbol at a time).
void check_arpabet(const std::vector<std::string> &tokens,
                   const std::string &what) {
  Lexicon probe(tractwave_lexicon_create());
  if (!probe)
    throw std::bad_alloc();
  std::set<std::string> known;
  for (const std::string &t : tokens) {
    if (t.size() == 1 && std::strchr(",;:.!?|", t[0]))
      continue;
    std::string upper = t;
    for (char &c : upper)
      c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper == "SIL" || upper == "PAU" || upper == "SP" || known.count(upper))
      continue;
    if (t.size() > 8 || tractwave_lexicon_add(probe.get(), "x", t.c_str()) !=
                            TRACTWAVE_SPEECH_OK)
      throw Error(what + ": " + quote(t) + " is not an ARPAbet phoneme");
    known.insert(upper);
  }
}

// IPA rewritten as the ARPAbet the speaker says for it, so that it can be
// queued in pieces and printed; a symbol that is not IPA is refused.
std::string arpabet_of_ipa(const std::string &ipa, const std::string &what) {
  int at = -1;
  const int n = tractwave_speech_ipa_to_arpabet(ipa.c_str(), nullptr, 0, &at);
  if (n == TRACTWAVE_SPEECH_UNKNOWN_PHONEME) {
    std::string symbol = ipa.substr(static_cast<std::size_t>(std::max(at, 0)));
    symbol = symbol.substr(0, symbol.find_first_of(" \t\n"));
    throw Error(what + ": " + quote(symbol) + " is not an IPA phoneme");
  }
  if (n < 0)
    throw Error(what + ": " + tractwave_speech_result_text(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  tractwave_speech_ipa_to_arpabet(ipa.c_str(), &out[0], n + 1, nullptr);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// The trajectory's JSON, written to its file as it is made, a buffer at a
// time, so that memory stays the same however long the speech.
struct Trajectory {
  explicit Trajectory(OutputFile &to) : file(to) {}
  OutputFile &file;
  std::string buffer;
  bool first = true;
  void put(const std::string &text) {
    buffer += text;
    if (buffer.size() >= (std::size_t(1) << 16))
      flush();
  }
  void flush() {
    file.write_bytes(buffer.data(), buffer.size());
    buffer.clear();
  }
};

void add_frame(Trajectory &trace, const float *f) {
  char buf[256];
  const int phoneme = static_cast<int>(f[2]);
  const char *name = tractwave_speech_phoneme_name(phoneme);
  trace.put((trace.first ? "\n  " : ",\n  "));
  trace.first = false;
  std::snprintf(buf, sizeof buf,
                "{\"t\": %.6f, \"phoneme\": \"%s\", \"serial\": %.0f, "
                "\"f0\": %.6g, \"amp\": %.6g, \"mix\": %.6g, "
                "\"breathiness\": %.6g, \"velum\": %.6g, \"lip_coeff\": %.6g, "
                "\"nostril_coeff\": %.6g, ",
                f[0], name ? name : "", f[1], f[3], f[4], f[5], f[6], f[7],
                f[8], f[9]);
  trace.put(buf);
  std::snprintf(buf, sizeof buf,
                "\"voicing\": %.6g, \"aspiration\": %.6g, "
                "\"frication\": %.6g, \"oral\": [",
                f[51], f[52], f[53]);
  trace.put(buf);
  for (int k = 0; k < 25; ++k) {
    std::snprintf(buf, sizeof buf, "%s%.5g", k ? ", " : "", f[10 + k]);
    trace.put(buf);
  }
  trace.put("], \"nasal\": [");
  for (int k = 0; k < 16; ++k) {
    std::snprintf(buf, sizeof buf, "%s%.5g", k ? ", " : "", f[35 + k]);
    trace.put(buf);
  }
  trace.put("]}");
}

// Renders everything once. `write` is called with each block; with a
// trajectory, blocks are a millisecond long and each one's controls kept.
template <class Write>
std::int64_t speak(const std::vector<Piece> &pieces, const Options &opt,
                   int voice, int rate, Trajectory *trace, Write write) {
  std::unique_ptr<tractwave_speaker, SpeakerDeleter> speaker(
      tractwave_speaker_create(voice, static_cast<float>(rate),
                               kQueueCapacity));
  if (!speaker)
    throw std::bad_alloc();
  const int block = trace ? std::max(1, rate / 1000) : kBlock;
  std::vector<float> buffer(static_cast<std::size_t>(block));
  float frame[TRACTWAVE_SPEECH_FRAME_SIZE];
  std::int64_t total = 0;
  double volume = 1.0;
  const auto render = [&]() {
    const int n = tractwave_speaker_render(speaker.get(), buffer.data(), block);
    if (volume != 1.0)
      for (int i = 0; i < n; ++i)
        buffer[i] *= static_cast<float>(volume);
    if (n > 0) {
      if (trace) {
        tractwave_speaker_frame(speaker.get(), frame);
        add_frame(*trace, frame);
      }
      write(buffer.data(), n);
      total += n;
    }
    return n;
  };
  std::size_t next = 0;
  while (next < pieces.size()) {
    if (g_stop_signal)
      return -1;
    const Piece &p = pieces[next];
    // A pause or another volume starts once all before it has been said.
    if (p.phonemes.empty() || p.volume != volume) {
      while (render() == block)
        if (g_stop_signal)
          return -1;
      volume = p.volume;
    }
    if (p.phonemes.empty()) {
      std::fill(buffer.begin(), buffer.end(), 0.0f);
      for (auto left =
               static_cast<std::int64_t>(std::llround(p.pause_seconds * rate));
           left > 0; left -= block) {
        const int n = static_cast<int>(std::min<std::int64_t>(left, block));
        write(buffer.data(), n);
        total += n;
      }
      ++next;
      continue;
    }
    tractwave_speaker_set_speed(speaker.get(), static_cast<float>(p.speed));
    tractwave_speaker_set_pitch(speaker.get(), static_cast<float>(p.pitch));
    const std::string &piece = p.phonemes;
    const int notation = p.notation;
    const int status =
        tractwave_speaker_queue(speaker.get(), piece.c_str(), notation);
    if (status == TRACTWAVE_SPEECH_OK) {
      ++next;
      continue;
    }
    // A full queue empties as it is spoken; one that stays full while the
    // speaker is silent never would.
    if (status == TRACTWAVE_SPEECH_QUEUE_FULL && render() > 0)
      continue;
    if (status == TRACTWAVE_SPEECH_UNKNOWN_PHONEME) {
      const int at = tractwave_speaker_error_offset(speaker.get());
      std::string symbol = piece.substr(static_cast<std::size_t>(at));
      symbol = symbol.substr(0, symbol.find_first_of(" \t\n"));
      const char *option = notation == TRACTWAVE_SPEECH_IPA && opt.has_ipa
                               ? "--ipa-input"
                               : nullptr;
      throw Error(std::string(option             ? option
                              : opt.has_phonemes ? "--phonemes"
                                                 : "text") +
                  ": " + quote(symbol) + " is not " +
                  (notation == TRACTWAVE_SPEECH_IPA ? "an IPA" : "an ARPAbet") +
                  " phoneme");
    }
    throw Error(std::string("cannot queue the text: ") +
                tractwave_speech_result_text(status));
  }
  while (render() == block)
    if (g_stop_signal)
      return -1;
  return total;
}

// The output writer refuses to overwrite the text it was given; the
// dictionary and the trajectory must not be overwritten either.
void refuse_overwriting_inputs(const Options &opt) {
  const std::string dict = opt.dict.empty() ? kDefaultDictionary : opt.dict;
  for (const std::string &out : {opt.output, opt.score})
    for (const std::string &in : {dict, opt.text_file})
      if (os::same_file(out, in))
        throw Error(out + ": that is an input (" + in +
                    "); choose another output name");
  if (!opt.score.empty() &&
      (opt.score == opt.output || os::same_file(opt.score, opt.output)))
    throw Error(opt.score + ": the trajectory and the sound cannot share a "
                            "file");
}

// Standard output flushed and checked: a summary or a transcription that
// could not be written (a full disk, a closed pipe) is a failure.
void finish_stdout(const char *what) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    throw Error(std::string("cannot write ") + what + " to standard output" +
                (errno ? std::string(": ") + std::strerror(errno) : ""));
}

// The ARPAbet that would be spoken, one line: symbols and marks separated by
// single spaces (all of them checked, so nothing raw reaches the terminal).
int print_phonemes(const std::vector<std::string> &tokens) {
  std::string line;
  for (const std::string &t : tokens)
    line += (line.empty() ? "" : " ") + t;
  std::printf("%s\n", printable(line).c_str());
  finish_stdout("the phonemes");
  return 0;
}

// No words, no phonemes and no text file: the text comes from standard
// input, as espeak-ng takes it, unless that is a terminal.
int read_standard_input(Options &opt) {
  if (!opt.words.empty() || opt.has_phonemes || opt.has_ipa ||
      !opt.text_file.empty() || os::is_terminal(0))
    return 0;
  opt.text_file = "-";
  return 1;
}

// The pieces the speaker is given for the segments of a text, each at
// --speed and --pitch times its own rate and pitch; `arpabet`, if given,
// collects what is spoken (a pause as SIL). IPA is rewritten as ARPAbet and
// every symbol checked, so that any segment is queued in pieces the queue
// holds and what is printed is what would be said.
std::vector<Piece> plan(const std::vector<tw::say::Segment> &segments,
                        const Options &opt, double speed, double pitch,
                        std::string *arpabet) {
  using Kind = tw::say::Segment::Kind;
  const char *what = opt.has_phonemes ? "--phonemes"
                     : opt.has_ipa    ? "--ipa-input"
                                      : "text";
  std::vector<Piece> pieces;
  for (const tw::say::Segment &s : segments) {
    Piece piece;
    piece.speed = std::clamp(speed * s.rate, 0.25, 4.0);
    piece.pitch = std::clamp(pitch * s.pitch, 0.25, 4.0);
    piece.volume = s.volume;
    std::string phonemes;
    if (s.kind == Kind::pause) {
      piece.pause_seconds = s.pause_seconds;
      pieces.push_back(piece);
      phonemes = "SIL";
    } else {
      phonemes = s.kind == Kind::words ? transcribe(s.text, opt)
                 : s.kind == Kind::ipa ? arpabet_of_ipa(s.text, what)
                                       : s.text;
      const std::vector<std::string> tokens = arpabet_tokens(phonemes);
      check_arpabet(tokens, what);
      for (std::string &p : pieces_of(tokens)) {
        piece.phonemes = std::move(p);
        pieces.push_back(piece);
      }
    }
    if (arpabet)
      *arpabet += (arpabet->empty() ? "" : " ") + phonemes;
  }
  return pieces;
}

void list_voices() {
  std::printf("Voice   Tract length  Pitch   Language\n"
              "male    1.00          110 Hz  en-us (default)\n"
              "female  0.85          200 Hz  en-us\n"
              "child   0.77          240 Hz  en-us\n");
}

int run(const Options &opt) {
  const double speed = number_option(opt.speed, "--speed", 0.25, 4.0);
  const double pitch = number_option(opt.pitch, "--pitch", 0.25, 4.0);
  double rate_value = 0;
  try {
    rate_value =
        number_option(opt.rate, "--sample-rate (--rate)", 8000, 768000);
  } catch (const Error &e) {
    // espeak-ng and speech-dispatcher users give the speaking rate so.
    throw Error(std::string(e.what()) + " (the speaking rate is --speed)");
  }
  if (rate_value != std::floor(rate_value))
    throw Error("--sample-rate (--rate): " + quote(opt.rate) +
                " is not a whole number of Hz");
  const int rate = static_cast<int>(rate_value);
  const int voice = opt.voice == "female"  ? TRACTWAVE_SPEECH_FEMALE
                    : opt.voice == "child" ? TRACTWAVE_SPEECH_CHILD
                                           : TRACTWAVE_SPEECH_MALE;
  refuse_overwriting_inputs(opt);
  Options from_stdin = opt;
  const int given = !opt.words.empty() + opt.has_phonemes + opt.has_ipa +
                    !opt.text_file.empty() + read_standard_input(from_stdin);
  const Options &in = from_stdin;
  if (given != 1)
    throw Error(given == 0 ? "nothing to say: give words, --text-file, "
                             "--phonemes or --ipa"
                           : "give only one of: words, --text-file, "
                             "--phonemes, --ipa");

  std::vector<tw::say::Segment> segments;
  if (in.has_phonemes) {
    check_input(in.phonemes, "--phonemes");
    segments.push_back({tw::say::Segment::Kind::arpabet, in.phonemes});
  } else if (in.has_ipa) {
    check_input(in.ipa, "--ipa-input");
    segments.push_back({tw::say::Segment::Kind::ipa, in.ipa});
  } else {
    std::string text;
    if (!in.text_file.empty()) {
      text = read_file(in.text_file, "text", kMaxTextBytes);
      check_input(text, in.text_file);
    } else {
      for (const std::string &w : in.words)
        text += (text.empty() ? "" : " ") + w;
      check_input(text, "text");
    }
    text = plain_punctuation(text);
    check_words(text);
    segments = tw::say::is_ssml(text) ? tw::say::parse_ssml(text)
                                      : tw::say::parse_plain(text);
  }
  std::string source;
  const std::vector<Piece> pieces =
      plan(segments, in, speed, pitch, in.print_phonemes ? &source : nullptr);
  if (in.print_phonemes)
    return print_phonemes(arpabet_tokens(source));

  catch_stop_signals();
  const auto start = Clock::now();
  // First pass: the peak, so that the file's peak lands at -3 dBFS.
  double peak = 0.0;
  const std::int64_t total =
      speak(pieces, opt, voice, rate, nullptr, [&](const float *x, int n) {
        for (int i = 0; i < n; ++i)
          peak = std::max(peak, static_cast<double>(std::fabs(x[i])));
      });
  if (total < 0)
    return stopped_status();
  if (total == 0 || peak == 0.0)
    throw Error("nothing to say: the input holds no phonemes");
  if (static_cast<double>(total) * (opt.format == "pcm16" ? 2 : 4) >
      4294967295.0 - 4096.0)
    throw Error("the speech is too long for a WAV file at " +
                std::to_string(rate) + " Hz");

  const float gain =
      static_cast<float>(std::pow(10.0, kPeakDbfs / 20.0) / peak);
  OutputFile out(opt.output, in.text_file, rate,
                 opt.format == "pcm16" ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  // The trajectory is written by the same rule as the sound, as it is
  // rendered, and put in place first: a fault in it leaves the sound file as
  // it was.
  std::unique_ptr<OutputFile> trajectory;
  std::unique_ptr<Trajectory> trace;
  if (!opt.score.empty()) {
    trajectory = std::make_unique<OutputFile>(opt.score, opt.text_file);
    trace = std::make_unique<Trajectory>(*trajectory);
    const char *voices[] = {"male", "female", "child"};
    std::ostringstream head;
    head << "{\"sample_rate\": " << rate << ", \"voice\": \"" << voices[voice]
         << "\", \"frame_seconds\": "
         << std::max(1, rate / 1000) / static_cast<double>(rate)
         << ", \"gain\": " << gain << ", \"frames\": [";
    trace->put(head.str());
  }
  double sum_sq = 0.0, written_peak = 0.0;
  std::vector<float> scaled;
  const std::int64_t again =
      speak(pieces, opt, voice, rate, trace.get(), [&](const float *x, int n) {
        scaled.assign(x, x + n);
        for (float &v : scaled) {
          v *= gain;
          sum_sq += static_cast<double>(v) * v;
          written_peak =
              std::max(written_peak, static_cast<double>(std::fabs(v)));
        }
        out.write(scaled.data(), n);
      });
  if (again < 0)
    return stopped_status();
  if (trace) {
    trace->put("\n]}\n");
    trace->flush();
    if (!trajectory->commit())
      return stopped_status();
  }
  if (!out.commit())
    return stopped_status();
  const double wall =
      std::chrono::duration<double>(Clock::now() - start).count();
  if (!opt.quiet) {
    const double seconds = static_cast<double>(total) / rate;
    const double rms = std::sqrt(sum_sq / static_cast<double>(total));
    // Two renders made the file: the speed is for one.
    std::fprintf(stderr,
                 "%s: %.3f s, %lld samples at %d Hz (%s, %s voice); peak %.4f "
                 "(%s), RMS %.4f (%s); rendered twice in %.3f s, %.1fx real "
                 "time\n",
                 printable(opt.output).c_str(), seconds,
                 static_cast<long long>(total), rate, opt.format.c_str(),
                 opt.voice.c_str(), written_peak,
                 decibels(written_peak).c_str(), rms, decibels(rms).c_str(),
                 wall, 2.0 * seconds / std::max(wall, 1e-9));
    // The summary is the run's one report: one that cannot be written is a
    // failure too.
    if (std::fflush(stderr) != 0 || std::ferror(stderr))
      return kExitFault;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  Options opt;
  CLI::App app{"Speaks English text, ARPAbet or IPA through the tractwave "
               "vocal tract into a mono WAV file.",
               "tractwave-say"};
  app.footer(kFooter);
  app.set_version_flag("--version",
                       version_text("tractwave-say", TRACTWAVE_SAY_VERSION));
  app.add_option("words", opt.words,
                 "English text to speak (SSML when it starts with <speak>; "
                 "[[...]] holds ARPAbet); without words, --text-file or "
                 "phonemes, the text is read from standard input");
  app.add_option("-o,--output", opt.output,
                 "Output file: .wav (default tractwave-say.wav), .flac or "
                 ".ogg; - writes WAV to standard output");
  app.add_option("-f,--text-file", opt.text_file,
                 "Read the English text from a file (- for standard input)");
  app.add_option("--phonemes", opt.phonemes,
                 "ARPAbet to speak instead of words, e.g. \"HH AH0 L OW1\"");
  app.add_option("--ipa-input", opt.ipa, "IPA to speak instead of words");
  // espeak-ng's --ipa prints IPA; here it is refused rather than taken for
  // something else.
  app.add_flag("--ipa", opt.espeak_ipa)->group("");
  app.add_flag("--voices", opt.voices, "List the voices and exit");
  app.add_option("--dict", opt.dict,
                 std::string("Pronouncing dictionary, CMU format (default ") +
                     kDefaultDictionary + ")");
  app.add_flag("--no-espeak", opt.no_espeak,
               "Do not ask espeak-ng for words the dictionary lacks");
  app.add_option("--espeak-timeout", opt.espeak_timeout,
                 std::string("Seconds espeak-ng may take for a word before it "
                             "is stopped, 1 to 3600 (default ") +
                     kEspeakSeconds + ")");
  app.add_option("--voice", opt.voice, "male (default), female or child")
      ->check(CLI::IsMember({"male", "female", "child"}));
  app.add_option("--speed", opt.speed,
                 "Speaking rate, 0.25 to 4 (default 1; 2 is twice as fast)");
  app.add_option("--pitch", opt.pitch,
                 "Pitch as a multiple of the voice's own, 0.25 to 4 "
                 "(default 1)");
  app.add_option("--sample-rate,--rate", opt.rate,
                 "Sample rate in Hz, 8000 to 768000 (default 48000; --rate "
                 "is its old spelling; the speaking rate is --speed)");
  add_sample_format(app, opt.format);
  app.add_option("--score", opt.score,
                 "Also write the engine controls, about every millisecond, "
                 "to this JSON file");
  app.add_flag("--print-phonemes", opt.print_phonemes,
               "Print the ARPAbet that would be spoken and exit");
  add_quiet(app, opt.quiet);

  return run_tool(app, argc, argv, [&] {
    opt.has_phonemes = app.count("--phonemes") > 0;
    opt.has_ipa = app.count("--ipa-input") > 0;
    if (opt.voices) {
      list_voices();
      return std::fflush(stdout) == 0 ? 0 : kExitFault;
    }
    if (opt.espeak_ipa)
      throw Error("--ipa: IPA to speak is given with --ipa-input; "
                  "--print-phonemes prints the phonemes (ARPAbet)");
    return run(opt);
  });
}
