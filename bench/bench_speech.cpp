// Cost of the speech library: one speaker talking continuously, rendered in
// blocks of 480 samples, per voice and output rate. The counter "x_real_time"
// is seconds of speech per second of rendering on this thread.
#include "tractwave_speech.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// A sentence with every kind of sound the speaker makes.
const char *kSentence =
    "DH AH0 | K W IH1 K | B R AW1 N | F AA1 K S | JH AH1 M P S | OW1 V ER0 | "
    "DH AH0 | L EY1 Z IY0 | D AO1 G , S IH1 K S | TH R IY1 | N AY1 N | "
    "Z IH1 R OW0 | HH W AY1 ?";

void speak(benchmark::State &state, int voice, float rate) {
  constexpr int kBlock = 480;
  tractwave_speaker *speaker = tractwave_speaker_create(voice, rate, 0);
  std::vector<float> out(kBlock);
  double samples = 0.0;
  for (auto _ : state) {
    if (tractwave_speaker_pending(speaker) < 40)
      tractwave_speaker_queue(speaker, kSentence, TRACTWAVE_SPEECH_ARPABET);
    tractwave_speaker_render(speaker, out.data(), kBlock);
    benchmark::DoNotOptimize(out.data());
    samples += kBlock;
  }
  state.counters["x_real_time"] =
      benchmark::Counter(samples / rate, benchmark::Counter::kIsRate);
  tractwave_speaker_destroy(speaker);
}

// A sung phrase: the syllables of the same sentence on a rising and falling
// line of quarter notes at 120 beats a minute, with vibrato, glides, melisma
// and a breath at its rest.
void sing(benchmark::State &state, int voice, float rate) {
  constexpr int kBlock = 480;
  const char *syllables[] = {"DH AH0",    "K W IH1 K",    "B R AW1 N", "_",
                             "F AA1 K S", "JH AH1 M P S", "OW1",       "V ER0"};
  tractwave_speaker *speaker = tractwave_speaker_create(voice, rate, 0);
  std::vector<float> out(kBlock);
  double samples = 0.0;
  for (auto _ : state) {
    if (tractwave_speaker_pending(speaker) < 20) {
      for (int i = 0; i < 8; ++i)
        tractwave_speaker_add_note(
            speaker, 0.5f * i + (i >= 6 ? 0.5f : 0.0f), 0.5f,
            tractwave_speech_note_hz(48.0f + i % 5), 0.8f, syllables[i],
            TRACTWAVE_SPEECH_ARPABET);
      tractwave_speaker_sing(speaker, nullptr);
    }
    tractwave_speaker_render(speaker, out.data(), kBlock);
    benchmark::DoNotOptimize(out.data());
    samples += kBlock;
  }
  state.counters["x_real_time"] =
      benchmark::Counter(samples / rate, benchmark::Counter::kIsRate);
  tractwave_speaker_destroy(speaker);
}

void BM_Sung48k(benchmark::State &s) {
  sing(s, TRACTWAVE_SPEECH_MALE, 48000.0f);
}

void BM_Male48k(benchmark::State &s) {
  speak(s, TRACTWAVE_SPEECH_MALE, 48000.0f);
}
void BM_Male16k(benchmark::State &s) {
  speak(s, TRACTWAVE_SPEECH_MALE, 16000.0f);
}
void BM_Female48k(benchmark::State &s) {
  speak(s, TRACTWAVE_SPEECH_FEMALE, 48000.0f);
}
void BM_Child44k(benchmark::State &s) {
  speak(s, TRACTWAVE_SPEECH_CHILD, 44100.0f);
}
BENCHMARK(BM_Male48k);
BENCHMARK(BM_Male16k);
BENCHMARK(BM_Female48k);
BENCHMARK(BM_Child44k);
BENCHMARK(BM_Sung48k);

} // namespace

BENCHMARK_MAIN();
