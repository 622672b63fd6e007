// An LV2 atom sequence of MIDI events, built in memory the object owns, as a
// host hands it to the plugin's MIDI input.
#pragma once

#include <lv2/atom/atom.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace tw_lv2 {

class MidiSequence {
public:
  MidiSequence(uint32_t sequence_type, uint32_t midi_type)
      : sequence_type_(sequence_type), midi_type_(midi_type) {
    clear();
  }

  void clear() {
    auto *seq = sequence();
    seq->atom.type = sequence_type_;
    seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
    seq->body.unit = 0;
    seq->body.pad = 0;
  }

  // Events must come in time order; each takes 8 bytes of header, 8 of
  // time and 8 of padded MIDI.
  void add(int64_t frame, const uint8_t (&bytes)[3]) {
    auto *seq = sequence();
    if (sizeof(LV2_Atom) + seq->atom.size + sizeof(LV2_Atom_Event) + 8 >
        memory_.size() * sizeof(uint64_t))
      return;
    auto *event = reinterpret_cast<LV2_Atom_Event *>(
        reinterpret_cast<uint8_t *>(seq) + sizeof(LV2_Atom) + seq->atom.size);
    event->time.frames = frame;
    event->body.size = 3;
    event->body.type = midi_type_;
    std::memcpy(event + 1, bytes, 3);
    seq->atom.size += sizeof(LV2_Atom_Event) + 8;
  }

  LV2_Atom_Sequence *sequence() {
    return reinterpret_cast<LV2_Atom_Sequence *>(memory_.data());
  }

private:
  uint32_t sequence_type_, midi_type_;
  std::vector<uint64_t> memory_ = std::vector<uint64_t>(4096);
};

} // namespace tw_lv2
