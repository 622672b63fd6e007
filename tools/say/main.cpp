// tractwave-say: speaks English text (or phonemes) through the speech
// library into a WAV file.
#include "output.h"
#include "score.h"
#include "ssml.h"

#include "tractwave_speech.h"

#include <CLI/CLI.hpp>
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
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace {

using tw::render::catch_stop_signals;
using tw::render::decibels;
using tw::render::Error;
using tw::render::g_stop_signal;
using tw::render::OutputFile;
using tw::render::printable;
using Clock = std::chrono::steady_clock;

constexpr int kExitFault = 2;
constexpr const char *kDefaultDictionary =
    "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";
// Phones the speaker's queue holds; a phrase longer than a quarter of it is
// queued in pieces at word ends.
constexpr int kQueueCapacity = 16384;
constexpr size_t kMaxPiecePhones = kQueueCapacity / 4;
constexpr int kBlock = 4096;
constexpr double kPeakDbfs = -3.0;
// The largest text or dictionary read.
constexpr std::size_t kMaxFileBytes = std::size_t(256) << 20;

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
  bool no_espeak = false, quiet = false, print_phonemes = false;
  bool has_phonemes = false, has_ipa = false, espeak_ipa = false;
  bool voices = false;
};

double number_option(const std::string &text, const std::string &option,
                     double lo, double hi) {
  const auto v = tw::render::decimal_number(text);
  if (!v || !(*v >= lo && *v <= hi)) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    throw Error(option + ": " + tw::render::quote(text) +
                " is not a number from " + range);
  }
  return *v;
}

// A dictionary or a text, "-" being standard input.
std::string read_file(const std::string &path, const std::string &what) {
  return tw::render::read_text_file(path, what, kMaxFileBytes, "", true);
}

// espeak-ng's IPA for one word, run as a program of its own (no shell), or
// "" when it cannot be run.
std::string espeak_ipa(const std::string &word) {
#ifdef _WIN32
  (void)word;
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
  if (spawned == 0) {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(pipe_fd[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR && !g_stop_signal)
        continue;
      if (n <= 0)
        break;
      out.append(buf, static_cast<std::size_t>(n));
    }
  }
  close(pipe_fd[0]);
  if (spawned != 0)
    return "";
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
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

// Without --dict and without Debian's dictionary, every word is asked of
// espeak-ng (with one notice), or the message names the package to install.
bool use_espeak_only(const Options &opt) {
  if (!opt.dict.empty() || access(kDefaultDictionary, F_OK) == 0)
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

// ARPAbet for English text: dictionary first, then espeak-ng, then the
// library's letter rule.
std::string transcribe(const std::string &text, const Options &opt) {
  // Loaded once for all the segments of a text.
  static std::unique_ptr<tractwave_lexicon, LexiconDeleter> cached;
  static bool espeak_only = false;
  if (!cached) {
    espeak_only = use_espeak_only(opt);
    cached.reset(tractwave_lexicon_create());
    if (!cached)
      throw std::bad_alloc();
  }
  const std::string dict_path = espeak_only        ? std::string("(none)")
                                : opt.dict.empty() ? kDefaultDictionary
                                                   : opt.dict;
  const std::unique_ptr<tractwave_lexicon, LexiconDeleter> &lexicon = cached;
  if (!espeak_only && tractwave_lexicon_count(lexicon.get()) == 0) {
    const std::string dict = read_file(dict_path, "dictionary");
    if (dict.size() > 0x7fffffff)
      throw Error(dict_path + ": the dictionary is too large");
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
  }

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
    const std::string where = "'" + printable(word) + "'";
    std::string ipa = espeak ? espeak_ipa(word) : std::string();
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
    if (arpabet.empty() ||
        tractwave_lexicon_add(lexicon.get(), word.c_str(), arpabet.c_str()) !=
            TRACTWAVE_SPEECH_OK)
      throw Error(where + " is not in the dictionary " + dict_path +
                  (!espeak && !opt.no_espeak ? " and espeak-ng is not installed"
                   : espeak ? " and espeak-ng gave no pronunciation for it"
                            : ""));
  }
}

// What the speaker is given at a time: phonemes said one way, or a pause.
struct Piece {
  std::string phonemes;
  int notation = TRACTWAVE_SPEECH_ARPABET;
  double speed = 1.0, pitch = 1.0, volume = 1.0;
  double pause_seconds = 0.0; // a pause, when there are no phonemes
};

// Pieces of ARPAbet that end at phrase punctuation (or, in a very long
// phrase, at a word end), each small enough for the speaker's queue.
std::vector<std::string> pieces_of(const std::string &arpabet) {
  std::vector<std::string> pieces;
  std::string piece;
  std::size_t phones = 0;
  std::istringstream tokens(arpabet);
  for (std::string t; tokens >> t;) {
    piece += (piece.empty() ? "" : " ") + t;
    const bool mark =
        t == "," || t == ";" || t == ":" || t == "." || t == "!" || t == "?";
    if (!mark && t != "|")
      ++phones;
    if (mark || (t == "|" && phones >= kMaxPiecePhones)) {
      pieces.push_back(piece);
      piece.clear();
      phones = 0;
    }
  }
  if (!piece.empty())
    pieces.push_back(piece);
  return pieces;
}

struct Trajectory {
  std::ostringstream json;
  bool first = true;
};

void add_frame(Trajectory &trace, const float *f) {
  char buf[256];
  const int phoneme = static_cast<int>(f[2]);
  const char *name = tractwave_speech_phoneme_name(phoneme);
  trace.json << (trace.first ? "\n  " : ",\n  ");
  trace.first = false;
  std::snprintf(buf, sizeof buf,
                "{\"t\": %.6f, \"phoneme\": \"%s\", \"serial\": %.0f, "
                "\"f0\": %.6g, \"amp\": %.6g, \"mix\": %.6g, "
                "\"breathiness\": %.6g, \"velum\": %.6g, \"lip_coeff\": %.6g, "
                "\"nostril_coeff\": %.6g, ",
                f[0], name ? name : "", f[1], f[3], f[4], f[5], f[6], f[7],
                f[8], f[9]);
  trace.json << buf;
  std::snprintf(buf, sizeof buf,
                "\"voicing\": %.6g, \"aspiration\": %.6g, "
                "\"frication\": %.6g, \"oral\": [",
                f[51], f[52], f[53]);
  trace.json << buf;
  for (int k = 0; k < 25; ++k) {
    std::snprintf(buf, sizeof buf, "%s%.5g", k ? ", " : "", f[10 + k]);
    trace.json << buf;
  }
  trace.json << "], \"nasal\": [";
  for (int k = 0; k < 16; ++k) {
    std::snprintf(buf, sizeof buf, "%s%.5g", k ? ", " : "", f[35 + k]);
    trace.json << buf;
  }
  trace.json << "]}";
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
    if (status == TRACTWAVE_SPEECH_QUEUE_FULL) {
      render();
      continue;
    }
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
                  ": '" + printable(symbol) + "' is not " +
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

#ifndef _WIN32
bool same_file(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  return !a.empty() && !b.empty() && stat(a.c_str(), &sa) == 0 &&
         stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}
#else
bool same_file(const std::string &a, const std::string &b) { return a == b; }
#endif

// The output writer refuses to overwrite the text it was given; the
// dictionary and the trajectory must not be overwritten either.
void refuse_overwriting_inputs(const Options &opt) {
  const std::string dict = opt.dict.empty() ? kDefaultDictionary : opt.dict;
  for (const std::string &out : {opt.output, opt.score})
    for (const std::string &in : {dict, opt.text_file})
      if (same_file(out, in))
        throw Error(out + ": that is an input (" + in +
                    "); choose another output name");
  if (!opt.score.empty() &&
      (opt.score == opt.output || same_file(opt.score, opt.output)))
    throw Error(opt.score + ": the trajectory and the sound cannot share a "
                            "file");
}

// No words, no phonemes and no text file: the text comes from standard
// input, as espeak-ng takes it, unless that is a terminal.
int read_standard_input(Options &opt) {
  if (!opt.words.empty() || opt.has_phonemes || opt.has_ipa ||
      !opt.text_file.empty() || isatty(0))
    return 0;
  opt.text_file = "-";
  return 1;
}

// The pieces the speaker is given for the segments of a text, each at
// --speed and --pitch times its own rate and pitch; `arpabet`, if given,
// collects what is spoken (a pause as SIL).
std::vector<Piece> plan(const std::vector<tw::say::Segment> &segments,
                        const Options &opt, double speed, double pitch,
                        std::string *arpabet) {
  using Kind = tw::say::Segment::Kind;
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
    } else if (s.kind == Kind::ipa) {
      piece.notation = TRACTWAVE_SPEECH_IPA;
      piece.phonemes = phonemes = s.text;
      pieces.push_back(piece);
    } else {
      phonemes = s.kind == Kind::words ? transcribe(s.text, opt) : s.text;
      for (std::string &p : pieces_of(phonemes)) {
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
    throw Error("--sample-rate (--rate): " + tw::render::quote(opt.rate) +
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
    segments.push_back({tw::say::Segment::Kind::arpabet, in.phonemes});
  } else if (in.has_ipa) {
    segments.push_back({tw::say::Segment::Kind::ipa, in.ipa});
  } else {
    std::string text;
    if (!in.text_file.empty()) {
      text = read_file(in.text_file, "text");
      if (text.find('\0') != std::string::npos)
        throw Error(in.text_file + ": not a text file (it holds NUL bytes)");
    } else {
      for (const std::string &w : in.words)
        text += (text.empty() ? "" : " ") + w;
    }
    segments = tw::say::is_ssml(text) ? tw::say::parse_ssml(text)
                                      : tw::say::parse_plain(text);
  }
  std::string source;
  const std::vector<Piece> pieces =
      plan(segments, in, speed, pitch, in.print_phonemes ? &source : nullptr);
  if (in.print_phonemes) {
    std::printf("%s\n", source.c_str());
    return std::fflush(stdout) == 0 ? 0 : kExitFault;
  }

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
    return 128 + g_stop_signal;
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
  std::unique_ptr<Trajectory> trace;
  if (!opt.score.empty())
    trace = std::make_unique<Trajectory>();
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
    return 128 + g_stop_signal;
  if (trace) {
    // The trajectory is written by the same rule as the sound, and put in
    // place first: a fault in it leaves the sound file as it was.
    const char *voices[] = {"male", "female", "child"};
    std::ostringstream json;
    json << "{\"sample_rate\": " << rate << ", \"voice\": \"" << voices[voice]
         << "\", \"frame_seconds\": "
         << std::max(1, rate / 1000) / static_cast<double>(rate)
         << ", \"gain\": " << gain << ", \"frames\": [" << trace->json.str()
         << "\n]}\n";
    const std::string text = json.str();
    OutputFile trajectory(opt.score, opt.text_file);
    trajectory.write_bytes(text.data(), text.size());
    if (!trajectory.commit())
      return 128 + g_stop_signal;
  }
  if (!out.commit())
    return 128 + g_stop_signal;
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
  app.set_version_flag("--version", std::string("tractwave-say ") +
                                        TRACTWAVE_SAY_VERSION + " (" +
                                        sf_version_string() + ")");
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
  app.add_option("--format", opt.format,
                 "Sample format: float (32-bit, default) or pcm16")
      ->check(CLI::IsMember({"float", "pcm16"}));
  app.add_option("--score", opt.score,
                 "Also write the engine controls, about every millisecond, "
                 "to this JSON file");
  app.add_flag("--print-phonemes", opt.print_phonemes,
               "Print the ARPAbet that would be spoken and exit");
  app.add_flag("-q,--quiet", opt.quiet, "Do not print the summary line");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::cerr << "tractwave-say: " << printable(e.what()) << " (see --help)\n";
    return kExitFault;
  }
  opt.has_phonemes = app.count("--phonemes") > 0;
  opt.has_ipa = app.count("--ipa-input") > 0;
  if (opt.voices) {
    list_voices();
    return std::fflush(stdout) == 0 ? 0 : kExitFault;
  }
  if (opt.espeak_ipa) {
    std::cerr << "tractwave-say: --ipa: IPA to speak is given with "
                 "--ipa-input; --print-phonemes prints the phonemes "
                 "(ARPAbet)\n";
    return kExitFault;
  }
  try {
    return run(opt);
  } catch (const Error &e) {
    std::cerr << "tractwave-say: " << printable(e.what()) << "\n";
    return kExitFault;
  } catch (const std::bad_alloc &) {
    std::cerr << "tractwave-say: out of memory\n";
    return kExitFault;
  }
}
