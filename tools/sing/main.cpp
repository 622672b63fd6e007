// tractwave-sing: sings the lyrics of a score (MusicXML or a Standard MIDI
// File) through the speech library into a WAV file.
#include "cli.h"
#include "output.h"
#include "score.h"
#include "song.h"

#include "tractwave_speech.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using tw::sing::Note;
using tw::sing::Song;
using tw::sing::Syllabic;
using tw::tool::decibels;
using tw::tool::Error;
using tw::tool::g_stop_signal;
using tw::tool::OutputFile;
using tw::tool::printable;
using tw::tool::quote;
using Clock = std::chrono::steady_clock;

constexpr int kExitFault = 2;
constexpr const char *kDefaultDictionary =
    "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";
constexpr std::size_t kMaxScoreBytes = std::size_t(16) << 20;
constexpr std::size_t kMaxDictionaryBytes = std::size_t(256) << 20;
constexpr int kBlock = 4096;
constexpr double kPeakDbfs = -3.0;

const char *kFooter = R"(Input
  A MusicXML score (partwise, uncompressed, as notation programs export it)
  or a Standard MIDI File (format 0 or 1) with lyric meta-events, or a
  karaoke file's text events. The sung voice is MusicXML's first part and
  voice with lyrics, or the MIDI track and channel whose notes start where
  the lyrics are. A note without a lyric right after a sung note holds its
  vowel (a melisma); "_" or "-" as a lyric does the same.
  Words are looked up in the pronouncing dictionary (--dict, by default
  Debian's pocketsphinx-en-us copy of the CMU dictionary) as whole words and
  split into the score's syllables; words it lacks, and syllables that do
  not match the dictionary's, are read by the speech library's
  letter-to-sound rule.

Exit status
  0 when the file was written, 2 (with one message) for a score, option or
  file that cannot be sung or written; the output is then left as it was.
)";

struct Options {
  std::string score, output = "tractwave-sing.wav", voice = "male";
  std::string tempo_scale = "1", transpose = "0", vibrato = "5.5,40,0.25";
  std::string portamento = "0.06", rate = "48000", format = "float", dict;
  bool quiet = false, print_phonemes = false;
};

double number_option(const std::string &text, const std::string &option,
                     double lo, double hi) {
  const auto v = tw::tool::decimal_number(text);
  if (!v || !(*v >= lo && *v <= hi)) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    throw Error(option + ": " + quote(text) + " is not a number from " + range);
  }
  return *v;
}

struct LexiconDeleter {
  void operator()(tractwave_lexicon *l) const { tractwave_lexicon_destroy(l); }
};
struct SpeakerDeleter {
  void operator()(tractwave_speaker *s) const { tractwave_speaker_destroy(s); }
};
using Lexicon = std::unique_ptr<tractwave_lexicon, LexiconDeleter>;
using Speaker = std::unique_ptr<tractwave_speaker, SpeakerDeleter>;

// The dictionary given, else Debian's when it is installed, else none: the
// letter-to-sound rule reads every word the lexicon lacks.
Lexicon load_lexicon(const Options &opt, bool quiet) {
  Lexicon lexicon(tractwave_lexicon_create());
  if (!lexicon)
    throw std::bad_alloc();
  tractwave_lexicon_set_letters(lexicon.get(), 1);
  std::string path = opt.dict;
#ifndef _WIN32
  if (path.empty() && access(kDefaultDictionary, R_OK) == 0)
    path = kDefaultDictionary;
#endif
  if (path.empty()) {
    if (!quiet)
      std::cerr << "tractwave-sing: no pronouncing dictionary at "
                << kDefaultDictionary
                << " (Debian: pocketsphinx-en-us); every word is read by the "
                   "letter-to-sound rule\n";
    return lexicon;
  }
  std::string dict =
      tw::tool::read_text_file(path, "dictionary", kMaxDictionaryBytes, "");
  if (dict.compare(0, 3, "\xef\xbb\xbf") == 0)
    dict.erase(0, 3);
  if (dict.size() > 0x7fffffff)
    throw Error(path + ": the dictionary is too large");
  int line = 0;
  const int loaded = tractwave_lexicon_load(
      lexicon.get(), dict.data(), static_cast<int>(dict.size()), &line);
  if (loaded == TRACTWAVE_SPEECH_MALFORMED)
    throw Error(path + ":" + std::to_string(line) +
                ": not a dictionary entry (a word, then its ARPAbet "
                "phonemes)");
  if (loaded != TRACTWAVE_SPEECH_OK)
    throw Error(path + ": " + tractwave_speech_result_text(loaded));
  return lexicon;
}

std::string transcribe(const tractwave_lexicon *lexicon,
                       const std::string &text, const std::string &where) {
  const int n = tractwave_lexicon_transcribe(lexicon, text.c_str(), nullptr, 0,
                                             nullptr, nullptr);
  if (n < 0)
    throw Error(where + ": cannot read the lyric " + quote(text) + " (" +
                tractwave_speech_result_text(n) + ")");
  std::string out(static_cast<size_t>(n) + 1, '\0');
  tractwave_lexicon_transcribe(lexicon, text.c_str(), &out[0], n + 1, nullptr,
                               nullptr);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::vector<std::string> split_syllables(const std::string &arpabet) {
  const int n =
      tractwave_speech_syllables(arpabet.c_str(), nullptr, 0, nullptr);
  std::vector<std::string> parts;
  if (n < 0)
    return parts;
  std::string out(static_cast<size_t>(n) + 1, '\0');
  tractwave_speech_syllables(arpabet.c_str(), &out[0], n + 1, nullptr);
  out.resize(static_cast<size_t>(n));
  size_t from = 0;
  while (true) {
    const size_t at = out.find(" - ", from);
    parts.push_back(out.substr(from, at - from));
    if (at == std::string::npos)
      break;
    from = at + 3;
  }
  return parts;
}

bool holds(const std::string &text) {
  return text == "_" || text == "-" || text == "~";
}

// The ARPAbet each note sings ("_" holds the vowel before): a word's
// syllables from the dictionary's pronunciation of the whole word when its
// syllables are as many as the word's notes, else each syllable read alone.
std::vector<std::string> syllables_of(const Song &song,
                                      const tractwave_lexicon *lexicon,
                                      const std::string &name) {
  std::vector<std::string> sung(song.notes.size(), "_");
  size_t i = 0;
  while (i < song.notes.size()) {
    const Note &first = song.notes[i];
    if (first.text.empty() || holds(first.text)) {
      ++i;
      continue;
    }
    std::vector<size_t> word{i};
    if (first.syllabic == Syllabic::begin || first.syllabic == Syllabic::middle)
      for (size_t j = i + 1; j < song.notes.size(); ++j) {
        const Note &n = song.notes[j];
        if (n.text.empty() || holds(n.text))
          continue;
        if (n.syllabic != Syllabic::middle && n.syllabic != Syllabic::end)
          break;
        word.push_back(j);
        if (n.syllabic == Syllabic::end)
          break;
      }
    std::string text;
    for (size_t k : word)
      text += song.notes[k].text;
    const std::string where = name + ": " + first.where;
    const std::vector<std::string> parts =
        split_syllables(transcribe(lexicon, text, where));
    const bool phonemes =
        std::any_of(parts.begin(), parts.end(), [](const std::string &p) {
          return p.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") !=
                 std::string::npos;
        });
    if (!phonemes) {
      // Punctuation alone (a karaoke file's "," or "!") sings nothing new:
      // it holds the vowel before.
      for (size_t k : word)
        sung[k] = "_";
    } else if (parts.size() == word.size() || word.size() == 1) {
      std::string all;
      for (const std::string &p : parts)
        all += (all.empty() ? "" : " ") + p;
      for (size_t k = 0; k < word.size(); ++k)
        sung[word[k]] = word.size() == 1 ? all : parts[k];
    } else {
      for (size_t k : word)
        sung[k] = transcribe(lexicon, song.notes[k].text,
                             name + ": " + song.notes[k].where);
    }
    i = word.back() + 1;
  }
  return sung;
}

struct Vibrato {
  float rate, depth, delay;
};

Vibrato vibrato_option(const std::string &text) {
  if (text == "off" || text == "0")
    return {0.0f, 0.0f, 0.0f};
  std::vector<std::string> parts;
  size_t from = 0;
  while (true) {
    const size_t at = text.find(',', from);
    parts.push_back(text.substr(from, at - from));
    if (at == std::string::npos)
      break;
    from = at + 1;
  }
  if (parts.size() != 3)
    throw Error("--vibrato: " + quote(text) +
                " is not RATE,DEPTH,DELAY (Hz, cents, seconds) or off");
  return {
      static_cast<float>(number_option(parts[0], "--vibrato rate", 0, 20)),
      static_cast<float>(number_option(parts[1], "--vibrato depth", 0, 200)),
      static_cast<float>(number_option(parts[2], "--vibrato delay", 0, 10))};
}

// Renders everything queued, handing each block to `sink`; returns the
// number of samples, or -1 when a signal stopped it.
template <typename Sink> int64_t render(tractwave_speaker *s, Sink sink) {
  std::vector<float> block(kBlock);
  int64_t total = 0;
  while (true) {
    if (g_stop_signal)
      return -1;
    const int got = tractwave_speaker_render(s, block.data(), kBlock);
    if (got < 0)
      throw Error("the speech library refused to render");
    if (got > 0)
      sink(block.data(), got);
    total += got;
    if (got < kBlock && tractwave_speaker_pending(s) == 0)
      return total;
  }
}

int run(const Options &opt) {
  const auto start = Clock::now();
  const double tempo_scale =
      number_option(opt.tempo_scale, "--tempo-scale", 0.1, 10);
  const double transpose = number_option(opt.transpose, "--transpose", -48, 48);
  const Vibrato vibrato = vibrato_option(opt.vibrato);
  const float portamento =
      static_cast<float>(number_option(opt.portamento, "--portamento", 0, 1));
  const int rate =
      static_cast<int>(number_option(opt.rate, "--sample-rate", 8000, 768000));
  if (std::to_string(rate) != opt.rate &&
      number_option(opt.rate, "--sample-rate", 8000, 768000) != rate)
    throw Error("--sample-rate: " + quote(opt.rate) +
                " is not a whole number of Hz");
  const int voice = opt.voice == "female"  ? TRACTWAVE_SPEECH_FEMALE
                    : opt.voice == "child" ? TRACTWAVE_SPEECH_CHILD
                                           : TRACTWAVE_SPEECH_MALE;
#ifndef _WIN32
  struct stat in_stat {
  }, out_stat{};
  if (stat(opt.score.c_str(), &in_stat) == 0 &&
      stat(opt.output.c_str(), &out_stat) == 0 &&
      in_stat.st_dev == out_stat.st_dev && in_stat.st_ino == out_stat.st_ino)
    throw Error(opt.output + ": that is the score; choose another output "
                             "name");
#endif

  const int sound_format =
      OutputFile::sound_format(opt.output, opt.format == "pcm16");
  const std::string bytes =
      tw::tool::read_text_file(opt.score, "score", kMaxScoreBytes, "");
  Song song = tw::sing::read_song(bytes, opt.score);
  tw::sing::check_song(song, opt.score);
  for (Note &n : song.notes) {
    n.start /= tempo_scale;
    n.duration /= tempo_scale;
    n.key += transpose;
    if (!(n.key >= 0.0 && n.key <= 127.0))
      throw Error(opt.score + ": " + n.where + ": transposed out of MIDI's " +
                  "0 to 127");
    if (!(n.duration >= 0.001))
      throw Error(opt.score + ": " + n.where + ": a note shorter than a " +
                  "millisecond at this --tempo-scale");
  }
  const Lexicon lexicon = load_lexicon(opt, opt.quiet);
  const std::vector<std::string> sung =
      syllables_of(song, lexicon.get(), opt.score);

  if (opt.print_phonemes) {
    for (size_t i = 0; i < sung.size(); ++i) {
      const Note &n = song.notes[i];
      std::printf("%.3f\t%.3f\t%.2f\t%s\t%s\n", n.start, n.duration, n.key,
                  printable(n.text.empty() ? "_" : n.text).c_str(),
                  printable(sung[i]).c_str());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
      throw Error("cannot write the phonemes to standard output");
    return 0;
  }
  // One phrase holds the song: room for every phone it can make.
  int64_t symbols = 16;
  for (size_t i = 0; i < sung.size(); ++i)
    symbols += 2 + static_cast<int64_t>(sung[i].size() / 2 + 1);
  if (symbols > 1048576)
    throw Error(opt.score + ": the song is too long to sing in one piece");
  const auto make_speaker = [&]() {
    Speaker s(tractwave_speaker_create(
        voice, static_cast<float>(rate),
        static_cast<int>(std::max<int64_t>(symbols, 16))));
    if (!s)
      throw std::bad_alloc();
    tractwave_speaker_set_vibrato(s.get(), vibrato.rate, vibrato.depth,
                                  vibrato.delay);
    tractwave_speaker_set_portamento(s.get(), portamento);
    for (size_t i = 0; i < song.notes.size(); ++i) {
      const Note &n = song.notes[i];
      const float hz = tractwave_speech_note_hz(static_cast<float>(n.key));
      const int r = tractwave_speaker_add_note(
          s.get(), static_cast<float>(n.start), static_cast<float>(n.duration),
          hz, std::clamp(n.velocity, 0.01f, 1.0f), sung[i].c_str(),
          TRACTWAVE_SPEECH_ARPABET);
      if (r != TRACTWAVE_SPEECH_OK)
        throw Error(opt.score + ": " + n.where + ": cannot sing " +
                    quote(n.text) + " as " + quote(sung[i]) + " (" +
                    tractwave_speech_result_text(r) + ")");
    }
    const int r = tractwave_speaker_sing(s.get(), nullptr);
    if (r != TRACTWAVE_SPEECH_OK)
      throw Error(std::string("cannot queue the song: ") +
                  tractwave_speech_result_text(r));
    return s;
  };

  // Two renders: the first finds the peak, the second writes the samples
  // brought to -3 dBFS.
  double peak = 0.0;
  int64_t total = 0;
  {
    const Speaker s = make_speaker();
    total = render(s.get(), [&](const float *x, int n) {
      for (int i = 0; i < n; ++i)
        peak = std::max(peak, static_cast<double>(std::fabs(x[i])));
    });
  }
  if (total < 0)
    return 128 + g_stop_signal;
  if (total == 0 || !(peak > 0.0) || !std::isfinite(peak))
    throw Error(opt.score + ": the song renders to silence");
  if (static_cast<double>(total) * (opt.format == "pcm16" ? 2 : 4) >
      4294967295.0 - 4096.0)
    throw Error("the song is too long for a WAV file at " +
                std::to_string(rate) + " Hz");
  const float gain =
      static_cast<float>(std::pow(10.0, kPeakDbfs / 20.0) / peak);
  OutputFile out(opt.output, opt.score, rate, sound_format);
  std::vector<float> scaled;
  double sum_sq = 0.0;
  const Speaker s = make_speaker();
  const int64_t again = render(s.get(), [&](const float *x, int n) {
    scaled.assign(x, x + n);
    for (float &v : scaled) {
      v *= gain;
      sum_sq += static_cast<double>(v) * v;
    }
    out.write(scaled.data(), n);
  });
  if (again < 0 || !out.commit())
    return 128 + g_stop_signal;
  if (!opt.quiet) {
    const double wall =
        std::chrono::duration<double>(Clock::now() - start).count();
    const double seconds = static_cast<double>(total) / rate;
    const double rms = std::sqrt(sum_sq / static_cast<double>(again));
    std::fprintf(stderr,
                 "%s: %.3f s, %zu notes, %lld samples at %d Hz (%s, %s voice); "
                 "RMS %.4f (%s); rendered twice in %.3f s, %.1fx real time\n",
                 printable(opt.output).c_str(), seconds, song.notes.size(),
                 static_cast<long long>(total), rate, opt.format.c_str(),
                 opt.voice.c_str(), rms, decibels(rms).c_str(), wall,
                 2.0 * seconds / std::max(wall, 1e-9));
    if (std::fflush(stderr) != 0 || std::ferror(stderr))
      return kExitFault;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  Options opt;
  CLI::App app{"Sings the lyrics of a score (MusicXML or a Standard MIDI "
               "File) through the tractwave vocal tract into a mono WAV "
               "file.",
               "tractwave-sing"};
  app.footer(kFooter);
  app.set_version_flag(
      "--version",
      tw::tool::version_text("tractwave-sing", TRACTWAVE_SING_VERSION));
  app.add_option("score", opt.score,
                 "The score: MusicXML (.musicxml, .xml) or MIDI (.mid, .kar)")
      ->required();
  app.add_option("-o,--output", opt.output,
                 "Output file: .wav (default tractwave-sing.wav), .flac or "
                 ".ogg; - writes WAV to standard output");
  app.add_option("--voice", opt.voice, "male (default), female or child")
      ->check(CLI::IsMember({"male", "female", "child"}));
  app.add_option("--tempo-scale", opt.tempo_scale,
                 "Multiply the score's tempo, 0.1 to 10 (default 1; 2 sings "
                 "twice as fast)");
  app.add_option("--transpose", opt.transpose,
                 "Semitones up (or down, negative), -48 to 48 (default 0)");
  app.add_option("--vibrato", opt.vibrato,
                 "RATE,DEPTH,DELAY: Hz (0 to 20), cents either side (0 to "
                 "200), seconds into each note before it grows in (0 to 10); "
                 "off for none (default 5.5,40,0.25)");
  app.add_option("--portamento", opt.portamento,
                 "Seconds of the glide between legato notes, 0 to 1 "
                 "(default 0.06)");
  app.add_option("--dict", opt.dict,
                 std::string("Pronouncing dictionary, CMU format (default ") +
                     kDefaultDictionary + ")");
  app.add_option("--sample-rate", opt.rate,
                 "Sample rate in Hz, 8000 to 768000 (default 48000)");
  tw::tool::add_sample_format(app, opt.format);
  app.add_flag("--print-phonemes", opt.print_phonemes,
               "Print each note (start and length in seconds, MIDI note, "
               "lyric, the ARPAbet it sings) and exit");
  tw::tool::add_quiet(app, opt.quiet);
  return tw::tool::run_tool(app, argc, argv, [&] {
    tw::tool::catch_stop_signals();
    return run(opt);
  });
}
