// libFuzzer target for the speaker: one speaker (any voice, rate and
// capacity, bad ones included) takes a sequence of calls (speed, pitch,
// queue in either notation, render of any block size, frame, pending).
// Besides what the sanitizers catch it checks that
// - render writes exactly its n samples, all finite and within
//   -0.95 ... 0.95, the ones after the speech exact zeros, and nothing for a
//   bad n;
// - a speaker with phones pending is silent for no longer than the start of
//   a sub-block takes, and a full queue always has something pending (so
//   that rendering makes room);
// - queue results are the documented codes, an unknown phoneme's offset lies
//   inside the text, speed and pitch are taken exactly within 0.25 ... 4;
// - frames are finite, their time never goes back, their phoneme has a name.
// Each input renders at most a quarter of a second of audio.
#include "tractwave_speech.h"

#include "fuzz_input.h"

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr float kRates[] = {48000.0f, 44100.0f, 16000.0f, 8000.0f, 96000.0f};
constexpr int kCapacities[] = {0, 16, 17, 64, 1000};
constexpr float kSentinel = 7.0f;

bool known_result(int r) {
  return r == TRACTWAVE_SPEECH_OK || r == TRACTWAVE_SPEECH_UNKNOWN_PHONEME ||
         r == TRACTWAVE_SPEECH_QUEUE_FULL || r == TRACTWAVE_SPEECH_TOO_LONG;
}

// Making a speaker calibrates its level by rendering every vowel, which
// costs far more than most inputs. So a speaker of each kind (voice, rate,
// capacity from the lists above) is kept for the next input of that kind
// when what it was given is spoken within two seconds, at speed and pitch 1;
// one that still talks is made afresh. What it keeps (its clock, an open
// phrase) a host's speaker keeps too.
struct Pool {
  tractwave_speaker *kept[3][std::size(kRates)][std::size(kCapacities)] = {};
  ~Pool() {
    for (auto &by_rate : kept)
      for (auto &by_capacity : by_rate)
        for (tractwave_speaker *s : by_capacity)
          tractwave_speaker_destroy(s);
  }
};

void run(const uint8_t *data, size_t size) {
  static Pool pool;
  FuzzedDataProvider in(data, size);
  const int voice = in.ConsumeIntegralInRange<int>(-1, 3);
  const bool any_rate = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  const size_t rate_index =
      in.ConsumeIntegralInRange<size_t>(0, std::size(kRates) - 1);
  const float rate = any_rate ? value(in, 0.0f, 800000.0f) : kRates[rate_index];
  const bool any_capacity = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  const size_t capacity_index =
      in.ConsumeIntegralInRange<size_t>(0, std::size(kCapacities) - 1);
  const int capacity =
      any_capacity ? in.ConsumeIntegral<int>() : kCapacities[capacity_index];
  const bool valid = voice >= 0 && voice <= 2 && rate >= 8000.0f &&
                     rate <= 768000.0f &&
                     (capacity == 0 || (capacity >= 16 && capacity <= 1048576));
  tractwave_speaker **kept = valid && !any_rate && !any_capacity
                                 ? &pool.kept[voice][rate_index][capacity_index]
                                 : nullptr;
  tractwave_speaker *s =
      kept && *kept ? *kept : tractwave_speaker_create(voice, rate, capacity);
  CHECK((s != nullptr) == valid, "create(%d, %g, %d) gave %p", voice, rate,
        capacity, static_cast<void *>(s));
  if (!s)
    return;
  if (kept)
    *kept = nullptr;

  long budget = static_cast<long>(rate / 4.0f);
  float last_time = -1.0f;
  long quiet = 0;
  const long max_quiet = static_cast<long>(rate / 100.0f);
  int calls = 0;
  while (in.remaining_bytes() > 0 && ++calls <= 40) {
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
    case 1: { // speed or pitch
      const bool speed = in.ConsumeBool();
      const float x = value(in, 0.1f, 5.0f);
      const int r = speed ? tractwave_speaker_set_speed(s, x)
                          : tractwave_speaker_set_pitch(s, x);
      const bool in_range = x >= 0.25f && x <= 4.0f;
      CHECK(
          r == (in_range ? TRACTWAVE_SPEECH_OK : TRACTWAVE_SPEECH_BAD_ARGUMENT),
          "%s %g gave %d", speed ? "speed" : "pitch", x, r);
      break;
    }
    case 2:
    case 3: { // queue
      const int notation = in.ConsumeIntegralInRange<int>(0, 8) == 0
                               ? in.ConsumeIntegral<int>()
                               : in.ConsumeIntegralInRange<int>(0, 1);
      const std::string text = in.ConsumeRandomLengthString(600);
      const int r = tractwave_speaker_queue(s, text.c_str(), notation);
      if (notation != TRACTWAVE_SPEECH_ARPABET &&
          notation != TRACTWAVE_SPEECH_IPA) {
        CHECK(r == TRACTWAVE_SPEECH_BAD_ARGUMENT, "notation %d gave %d",
              notation, r);
        break;
      }
      CHECK(known_result(r), "queue gave %d", r);
      const int at = tractwave_speaker_error_offset(s);
      if (r == TRACTWAVE_SPEECH_UNKNOWN_PHONEME)
        CHECK(at >= 0 && static_cast<size_t>(at) < std::strlen(text.c_str()),
              "unknown phoneme at %d of %zu bytes", at,
              std::strlen(text.c_str()));
      else if (r == TRACTWAVE_SPEECH_OK)
        CHECK(at == -1, "queued, yet an error offset %d", at);
      if (r == TRACTWAVE_SPEECH_QUEUE_FULL)
        CHECK(tractwave_speaker_pending(s) > 0,
              "queue full with nothing pending: it would stay full");
      break;
    }
    case 4:
    case 5: { // render
      const int n = block_size(in);
      if (n > 0 && budget <= 0)
        break;
      const size_t room = n > 0 ? static_cast<size_t>(n) : 0;
      std::vector<float> out(room + 1, kSentinel);
      const int r = tractwave_speaker_render(s, out.data(), n);
      CHECK(out[room] == kSentinel, "render of %d wrote past its block", n);
      if (n < 0) {
        CHECK(r == TRACTWAVE_SPEECH_BAD_ARGUMENT, "render of %d gave %d", n, r);
        CHECK(out[0] == kSentinel, "render of %d wrote", n);
        break;
      }
      budget -= n;
      CHECK(r >= 0 && r <= n, "render of %d gave %d", n, r);
      for (int i = 0; i < n; ++i) {
        CHECK(std::isfinite(out[i]) && std::fabs(out[i]) <= 0.95f,
              "sample %d of %d is %g", i, n, out[i]);
        CHECK(i < r || out[i] == 0.0f,
              "sample %d after the speech (%d of %d) is %g", i, r, n, out[i]);
      }
      // Text queued to a silent speaker starts at the next sub-block the
      // engine renders (through the resampler's delay), never later.
      if (tractwave_speaker_pending(s) == 0 || r == n)
        quiet = 0;
      else
        quiet = r > 0 ? n - r : quiet + n;
      CHECK(quiet <= max_quiet, "silent for %ld samples with %d phones pending",
            quiet, tractwave_speaker_pending(s));
      break;
    }
    default: { // frame
      float frame[TRACTWAVE_SPEECH_FRAME_SIZE + 1];
      frame[TRACTWAVE_SPEECH_FRAME_SIZE] = kSentinel;
      CHECK(tractwave_speaker_frame(s, frame) == TRACTWAVE_SPEECH_OK, "frame");
      CHECK(frame[TRACTWAVE_SPEECH_FRAME_SIZE] == kSentinel,
            "frame wrote past its size");
      for (int k = 0; k < TRACTWAVE_SPEECH_FRAME_SIZE; ++k)
        CHECK(std::isfinite(frame[k]), "frame[%d] is %g", k, frame[k]);
      CHECK(frame[0] >= last_time, "frame time %g after %g", frame[0],
            last_time);
      last_time = frame[0];
      const int phoneme = static_cast<int>(frame[2]);
      CHECK(phoneme == -1 || tractwave_speech_phoneme_name(phoneme) != nullptr,
            "frame phoneme %g has no name", frame[2]);
      CHECK((frame[1] == -1.0f) == (phoneme == -1),
            "frame serial %g with phoneme %g", frame[1], frame[2]);
      CHECK(tractwave_speaker_pending(s) >= 0, "pending is negative");
      break;
    }
    }
  }
  tractwave_speaker_set_speed(s, 1.0f);
  tractwave_speaker_set_pitch(s, 1.0f);
  // Up to two seconds spoken to empty the queue cost far less than a new
  // speaker's calibration.
  float rest[4096];
  for (long left = static_cast<long>(2.0f * rate);
       kept && left > 0 && tractwave_speaker_pending(s) > 0; left -= 4096) {
    tractwave_speaker_render(s, rest, 4096);
    for (float x : rest)
      CHECK(std::isfinite(x) && std::fabs(x) <= 0.95f,
            "a sample of the queue's rest is %g", x);
  }
  if (kept && tractwave_speaker_pending(s) == 0)
    *kept = s;
  else
    tractwave_speaker_destroy(s);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  run(data, size);
  return 0;
}
