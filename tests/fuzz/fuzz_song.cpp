// libFuzzer target over tractwave-sing's score readers: an input is read as
// a MIDI file when it starts as one, else as MusicXML. Either gives a song
// that, once checked, keeps its promises (notes in time order, not overlapping,
// finite, within the limits), or an Error naming the input; anything else
// (another exception, a crash, a sanitizer report) is a fault.
#include "song.h"

#include "score.h"

#include "fuzz_check.h"

#include <cmath>
#include <cstdint>
#include <string>

namespace {

using namespace tw::sing;

void check(const Song &song) {
  double end = 0.0;
  for (const Note &n : song.notes) {
    CHECK(std::isfinite(n.start) && std::isfinite(n.duration), "time %g %g",
          n.start, n.duration);
    CHECK(n.start >= end - 1e-6, "note at %g before %g", n.start, end);
    CHECK(n.duration > 0.0 && n.start + n.duration <= kMaxSeconds + 1e-6,
          "duration %g", n.duration);
    CHECK(n.key >= 0.0 && n.key <= 127.0, "key %g", n.key);
    CHECK(n.velocity >= 0.0f && n.velocity <= 1.0f, "velocity %g",
          static_cast<double>(n.velocity));
    end = n.start + n.duration;
  }
  CHECK(song.notes.size() <= kMaxNotes, "%zu notes", song.notes.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  try {
    const Song song = read_song(bytes, "fuzz");
    check_song(song, "fuzz");
    check(song);
  } catch (const tw::render::Error &e) {
    const std::string m = e.what();
    CHECK(m.rfind("fuzz", 0) == 0, "message without its origin: %s", m.c_str());
  }
  return 0;
}
