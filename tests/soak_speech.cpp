// Long-run stability of the speech library: speakers of random voices, rates
// and capacities talk through random text (ARPAbet and IPA, words, pauses,
// punctuation, now and then a symbol that is no phoneme), with the speed and
// the pitch changed between texts (now and then out of range) and rendered
// in blocks of random size. Every sample must be finite and within
// -0.95 ... 0.95, and every sample after the speech exactly zero; a speaker
// with phones pending must not stay silent, and a full queue must empty as it
// is spoken.
//
//   tractwave_speech_soak [SECONDS [SEED]]
//
// SECONDS of audio (summed over the speakers); without it, the environment
// variable TRACTWAVE_SPEECH_SOAK_SECONDS, else 120.
#include "tractwave_speech.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Rng {
  uint64_t s;
  uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
  int below(int n) {
    return static_cast<int>(next() % static_cast<uint32_t>(n));
  }
  float uniform(float lo, float hi) {
    return lo + (hi - lo) * static_cast<float>(next() >> 8) * 0x1p-24f;
  }
  bool one_in(int n) { return below(n) == 0; }
};

const char *const kConsonants[] = {"B",  "CH", "D",  "DH", "F",  "G",  "HH",
                                   "JH", "K",  "L",  "M",  "N",  "NG", "P",
                                   "R",  "S",  "SH", "T",  "TH", "V",  "W",
                                   "Y",  "Z",  "ZH", "DX", "Q",  "NX", "WH"};
const char *const kVowels[] = {"AA", "AE", "AH",  "AO", "AW", "AY", "EH",
                               "ER", "EY", "IH",  "IY", "OW", "OY", "UH",
                               "UW", "AX", "AXR", "IX", "UX"};
const char *const kIpa[] = {"h", "\xc9\x99",         "l", "\xcb\x88o\xca\x8a",
                            "w", "\xc9\x9d",         "d", "t\xca\x83",
                            "s", "\xcb\x8c\xc9\x91", "n", "e\xc9\xaa",
                            "k", "\xc9\xaa",         "m", "a\xc9\xaa"};
const char *const kEnds[] = {" .", " ?", " ,", " !", " ;"};

std::string random_text(Rng &rng, int *notation) {
  const bool ipa = rng.one_in(5);
  *notation = ipa ? TRACTWAVE_SPEECH_IPA : TRACTWAVE_SPEECH_ARPABET;
  std::string text;
  const int words = 1 + rng.below(rng.one_in(10) ? 200 : 8);
  for (int w = 0; w < words; ++w) {
    if (w > 0)
      text += ipa ? " " : " | ";
    if (!ipa && rng.one_in(20))
      text += rng.one_in(2) ? "SIL" : "PAU";
    const int symbols = 1 + rng.below(rng.one_in(20) ? 40 : 7);
    for (int k = 0; k < symbols; ++k) {
      if (ipa) {
        text += kIpa[rng.below(sizeof kIpa / sizeof *kIpa)];
        continue;
      }
      if (k > 0)
        text += ' ';
      if (rng.below(5) < 2) {
        text += kVowels[rng.below(sizeof kVowels / sizeof *kVowels)];
        if (!rng.one_in(4))
          text += static_cast<char>('0' + rng.below(3));
      } else {
        text +=
            kConsonants[rng.below(sizeof kConsonants / sizeof *kConsonants)];
      }
    }
    if (rng.one_in(6))
      text += kEnds[rng.below(sizeof kEnds / sizeof *kEnds)];
  }
  if (rng.one_in(100))
    text += " XQZ"; // no phoneme in either notation
  return text;
}

float random_rate(Rng &rng) {
  const float common[] = {48000.0f, 44100.0f, 16000.0f,
                          8000.0f,  22050.0f, 96000.0f};
  return rng.one_in(8) ? rng.uniform(8000.0f, 192000.0f)
                       : common[rng.below(sizeof common / sizeof *common)];
}

// A factor for speed or pitch: mostly within 0.25 ... 4, now and then not.
float random_factor(Rng &rng) {
  if (rng.one_in(10))
    return rng.one_in(2) ? rng.uniform(-1.0f, 0.24f)
                         : rng.uniform(4.01f, 10.0f);
  return std::exp2(rng.uniform(-2.0f, 2.0f));
}

int fail(const char *what, long speaker, double at) {
  std::fprintf(stderr, "speaker %ld, %.3f s into the run: %s\n", speaker, at,
               what);
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  const char *env = std::getenv("TRACTWAVE_SPEECH_SOAK_SECONDS");
  const double seconds = argc > 1 ? std::atof(argv[1])
                         : env    ? std::atof(env)
                                  : 120.0;
  if (!(seconds > 0.0)) {
    std::fprintf(stderr, "usage: tractwave_speech_soak [SECONDS [SEED]]\n");
    return 2;
  }
  Rng rng{argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1};

  std::vector<float> out(4097);
  double audio = 0.0;
  long speakers = 0, texts = 0, refused = 0, samples = 0;
  float max_out = 0.0f;
  const auto start = std::chrono::steady_clock::now();
  while (audio < seconds) {
    const int voice = rng.below(3);
    const float rate = random_rate(rng);
    const int capacities[] = {0, 16, 64, 4096};
    const int capacity = capacities[rng.below(4)];
    tractwave_speaker *s = tractwave_speaker_create(voice, rate, capacity);
    if (!s)
      return fail("cannot create a speaker", speakers, audio);
    ++speakers;
    // Each speaker talks for up to a minute, in random blocks.
    const double life = rng.uniform(1.0f, 60.0f);
    double spoken = 0.0;
    long quiet = 0;
    while (spoken < life && audio < seconds) {
      if (tractwave_speaker_pending(s) < 8 || rng.one_in(4)) {
        const float speed = random_factor(rng), pitch = random_factor(rng);
        const bool speed_ok = speed >= 0.25f && speed <= 4.0f;
        const bool pitch_ok = pitch >= 0.25f && pitch <= 4.0f;
        if ((tractwave_speaker_set_speed(s, speed) == 0) != speed_ok ||
            (tractwave_speaker_set_pitch(s, pitch) == 0) != pitch_ok)
          return fail("speed or pitch taken or refused wrongly", speakers,
                      audio);
        int notation = 0;
        const std::string text = random_text(rng, &notation);
        const int r = tractwave_speaker_queue(s, text.c_str(), notation);
        ++texts;
        if (r == TRACTWAVE_SPEECH_QUEUE_FULL &&
            tractwave_speaker_pending(s) == 0)
          return fail("queue full with nothing pending", speakers, audio);
        if (r != TRACTWAVE_SPEECH_OK && r != TRACTWAVE_SPEECH_QUEUE_FULL &&
            r != TRACTWAVE_SPEECH_UNKNOWN_PHONEME &&
            r != TRACTWAVE_SPEECH_TOO_LONG)
          return fail(tractwave_speech_result_text(r), speakers, audio);
        refused += r != TRACTWAVE_SPEECH_OK;
      }
      const int n = rng.one_in(3) ? 1 + rng.below(4096) : 1 + rng.below(256);
      out[static_cast<size_t>(n)] = 7.0f;
      const int r = tractwave_speaker_render(s, out.data(), n);
      if (r < 0 || r > n || out[static_cast<size_t>(n)] != 7.0f)
        return fail("render returned a bad count or wrote past its block",
                    speakers, audio);
      for (int i = 0; i < n; ++i) {
        const float x = out[static_cast<size_t>(i)];
        if (!std::isfinite(x) || std::fabs(x) > 0.95f) {
          std::fprintf(stderr, "sample %d of a block of %d is %g\n", i, n, x);
          return fail("a sample out of bounds", speakers, audio);
        }
        if (i >= r && x != 0.0f)
          return fail("a sample after the speech is not zero", speakers, audio);
        max_out = std::fmax(max_out, std::fabs(x));
      }
      // Text queued to a silent speaker starts at the next sub-block the
      // engine renders (through the resampler's delay), never later.
      if (tractwave_speaker_pending(s) == 0 || r == n)
        quiet = 0;
      else
        quiet = r > 0 ? n - r : quiet + n;
      if (quiet > static_cast<long>(rate / 100.0f))
        return fail("silent with phones pending", speakers, audio);
      samples += n;
      spoken += n / rate;
      audio += n / rate;
    }
    tractwave_speaker_destroy(s);
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  std::printf("%.0f s of speech audio (%ld samples) from %ld speakers, %ld "
              "texts (%ld refused) in %.1f s: max |out| %.4f\n",
              audio, samples, speakers, texts, refused, wall, max_out);
  if (!(max_out > 0.01f)) {
    std::fprintf(stderr, "nothing was spoken\n");
    return 1;
  }
  return 0;
}
