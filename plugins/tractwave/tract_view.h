// What the window shows of the sound: the tract's shape as the notes hear
// it (the ports' values moved by controllers and ramps) and how many notes
// sound. The audio thread writes it once per host block and the window
// reads it whenever it likes, through a sequence counter: the writer never
// waits, allocates or takes a lock, and a reader that overlapped a write
// sees the counter move and reads again. The numbers are stored with release
// and loaded with acquire rather than fenced (which the thread sanitizer
// cannot follow): a reader that sees any new number also sees the counter
// the writer made odd before it, and so reads again.
#ifndef TRACTWAVE_PLUGIN_TRACT_VIEW_H
#define TRACTWAVE_PLUGIN_TRACT_VIEW_H

#include "tractwave.h"

#include <atomic>
#include <stdint.h>

namespace tractwave_lv2 {

static_assert(std::atomic<float>::is_always_lock_free &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the audio thread must never wait on the window");

struct TractPicture {
  float oral[TRACTWAVE_ORAL_SECTIONS];
  float nasal[TRACTWAVE_NASAL_SECTIONS];
  float velum;
  int notes;
  int syllable, syllables; // lyrics mode: the last note's, and the count
  uint32_t blocks; // host blocks run so far: the picture is live while it moves
};

// The diameters the engine builds from a parameter vector (pitch first, as
// in tractwave.h): the same geometry code as the engine's.
void tract_shape(const float *parameters, float *oral, float *nasal,
                 float *velum);

class TractView {
public:
  // The audio thread only.
  void publish(const TractPicture &p) {
    const uint32_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_relaxed);
    for (int k = 0; k < TRACTWAVE_ORAL_SECTIONS; ++k)
      oral_[k].store(p.oral[k], std::memory_order_release);
    for (int k = 0; k < TRACTWAVE_NASAL_SECTIONS; ++k)
      nasal_[k].store(p.nasal[k], std::memory_order_release);
    velum_.store(p.velum, std::memory_order_release);
    notes_.store(p.notes, std::memory_order_release);
    syllable_.store(p.syllable, std::memory_order_release);
    syllables_.store(p.syllables, std::memory_order_release);
    blocks_.store(p.blocks, std::memory_order_release);
    sequence_.store(s + 2, std::memory_order_release);
  }

  // Any other thread. False when every try overlapped a write (the audio
  // thread would have to write faster than the reader copies 43 numbers):
  // the caller then keeps the picture it had.
  bool read(TractPicture &p) const {
    for (int attempt = 0; attempt < 8; ++attempt) {
      const uint32_t before = sequence_.load(std::memory_order_acquire);
      if (before == 0 || (before & 1u) != 0)
        continue;
      for (int k = 0; k < TRACTWAVE_ORAL_SECTIONS; ++k)
        p.oral[k] = oral_[k].load(std::memory_order_acquire);
      for (int k = 0; k < TRACTWAVE_NASAL_SECTIONS; ++k)
        p.nasal[k] = nasal_[k].load(std::memory_order_acquire);
      p.velum = velum_.load(std::memory_order_acquire);
      p.notes = notes_.load(std::memory_order_acquire);
      p.syllable = syllable_.load(std::memory_order_acquire);
      p.syllables = syllables_.load(std::memory_order_acquire);
      p.blocks = blocks_.load(std::memory_order_acquire);
      if (sequence_.load(std::memory_order_relaxed) == before)
        return true;
    }
    return false;
  }

private:
  std::atomic<uint32_t> sequence_{0};
  std::atomic<float> oral_[TRACTWAVE_ORAL_SECTIONS] = {};
  std::atomic<float> nasal_[TRACTWAVE_NASAL_SECTIONS] = {};
  std::atomic<float> velum_{0.0f};
  std::atomic<int> notes_{0};
  std::atomic<int> syllable_{-1}, syllables_{0};
  std::atomic<uint32_t> blocks_{0};
};

// How the window labels a control: from the plugin's parameter table.
struct ControlLabel {
  const char *name, *unit;
  bool logarithmic, integer;
};
ControlLabel control_label(int control);

// The view of the plugin instance DPF hands the window (its
// getPluginInstancePointer()).
const TractView *tract_view_of(void *plugin_instance);

// The lyric the instance has now, for a window opened after it was set
// (not every format sends the window the state when it opens). False
// without an instance.
bool lyric_text_of(void *plugin_instance, char *out, int size);

} // namespace tractwave_lv2

#endif
