// The LV2 side of the instrument: ports, the MIDI atom sequence, and the
// descriptor, the plugin's only exported symbol.
#include "instrument.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <math.h>
#include <new>
#include <stdlib.h>
#include <string.h>

namespace {

using tractwave_lv2::Instrument;
using tractwave_lv2::kNumControls;

constexpr char kUri[] = "urn:tractwave:instrument";

enum Port : uint32_t { kMidiIn, kAudioOut, kFirstControl };

struct Plugin {
  Instrument *instrument;
  LV2_URID midi_event;
  const LV2_Atom_Sequence *midi_in;
  float *out;
  const float *controls[kNumControls];
};

LV2_Handle instantiate(const LV2_Descriptor *, double rate, const char *,
                       const LV2_Feature *const *features) {
  const LV2_URID_Map *map = nullptr;
  for (int i = 0; features != nullptr && features[i] != nullptr; ++i)
    if (strcmp(features[i]->URI, LV2_URID__map) == 0)
      map = static_cast<const LV2_URID_Map *>(features[i]->data);
  if (map == nullptr)
    return nullptr;

  void *memory = calloc(1, sizeof(Plugin));
  if (memory == nullptr)
    return nullptr;
  Plugin *self = new (memory) Plugin();
  self->instrument = Instrument::create(rate);
  if (self->instrument == nullptr) {
    free(memory);
    return nullptr;
  }
  self->midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
  return self;
}

void connect_port(LV2_Handle handle, uint32_t port, void *data) {
  Plugin *self = static_cast<Plugin *>(handle);
  if (port == kMidiIn)
    self->midi_in = static_cast<const LV2_Atom_Sequence *>(data);
  else if (port == kAudioOut)
    self->out = static_cast<float *>(data);
  else if (port - kFirstControl < kNumControls)
    self->controls[port - kFirstControl] = static_cast<const float *>(data);
}

void activate(LV2_Handle handle) {
  static_cast<Plugin *>(handle)->instrument->activate();
}

void run(LV2_Handle handle, uint32_t sample_count) {
  Plugin *self = static_cast<Plugin *>(handle);
  if (self->out == nullptr)
    return;
  Instrument &instrument = *self->instrument;

  float values[kNumControls];
  for (int c = 0; c < kNumControls; ++c)
    values[c] = self->controls[c] != nullptr ? *self->controls[c] : NAN;
  instrument.set_controls(values);

  // Each event takes effect at its own frame; events out of order or past
  // the block's end are taken where the stream has got to.
  const int n = static_cast<int>(sample_count);
  int done = 0;
  if (self->midi_in != nullptr) {
    const LV2_Atom_Sequence_Body *body = &self->midi_in->body;
    const uint32_t size = self->midi_in->atom.size;
    for (const LV2_Atom_Event *event = lv2_atom_sequence_begin(body);
         !lv2_atom_sequence_is_end(body, size, event);
         event = lv2_atom_sequence_next(event)) {
      if (event->body.type != self->midi_event)
        continue;
      const int64_t frame = event->time.frames;
      const int at =
          frame <= done ? done : (frame >= n ? n : static_cast<int>(frame));
      instrument.render(self->out + done, at - done);
      done = at;
      instrument.midi(reinterpret_cast<const uint8_t *>(event + 1),
                      event->body.size);
    }
  }
  instrument.render(self->out + done, n - done);
}

void cleanup(LV2_Handle handle) {
  Plugin *self = static_cast<Plugin *>(handle);
  Instrument::destroy(self->instrument);
  self->~Plugin();
  free(self);
}

const void *extension_data(const char *) { return nullptr; }

const LV2_Descriptor kDescriptor = {kUri,     instantiate,   connect_port,
                                    activate, run,           nullptr,
                                    cleanup,  extension_data};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index) {
  return index == 0 ? &kDescriptor : nullptr;
}
