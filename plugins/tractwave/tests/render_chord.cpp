// Renders the chord of docs/plugin-chord.png through lilv, as the tests run
// the plugin: C major (C4 E4 G4) on "ah", turned to "ee" half-way, released
// at 2.5 s; 3 s at 48 kHz, raw 32-bit floats to the named file.
//   LV2_PATH=build/lv2 build/plugins/lv2/tests/tractwave_lv2_chord chord.f32
//   sox -t f32 -r 48000 -c 1 chord.f32 -n spectrogram -o chord.png
#include "lilv_host.h"

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.f32\n", argv[0]);
    return 2;
  }
  tw_lv2::World world;
  if (world.plugin() == nullptr) {
    std::fprintf(stderr, "%s not found on LV2_PATH\n", tw_lv2::kPluginUri);
    return 1;
  }
  auto presets = world.presets();
  tw_lv2::Instance inst(world, 48000.0);
  inst.set_all(presets["ah"]);
  for (int note : {60, 64, 67}) {
    inst.note_on(inst.seconds(0.1), note, 90);
    inst.note_off(inst.seconds(2.5), note);
  }
  std::vector<float> x = inst.run(inst.seconds(1.3));
  inst.set_all(presets["ee"]);
  const std::vector<float> rest = inst.run(inst.seconds(1.7));
  x.insert(x.end(), rest.begin(), rest.end());
  std::FILE *out = std::fopen(argv[1], "wb");
  if (out == nullptr ||
      std::fwrite(x.data(), sizeof(float), x.size(), out) != x.size() ||
      std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
