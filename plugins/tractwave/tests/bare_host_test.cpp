// The plugin binary loaded by hand, as the smallest host would: the check
// that runs on every platform built here, Windows under wine and arm64 under
// qemu included, where no lilv is at hand. Port numbers follow the bundle's
// description: 0 MIDI in, 1 audio out, then the controls.
#include "analysis.h"
#include "midi_sequence.h"

#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using namespace tw_lv2;

using Entry = const LV2_Descriptor *(*)(uint32_t);

Entry entry_point() {
  static Entry found = [] {
    std::string path = TW_PLUGIN_BINARY;
#ifdef _WIN32
    // Under wine the build's Unix path is drive Z:.
    if (!path.empty() && path[0] == '/')
      path = "Z:" + path;
    for (char &c : path)
      c = c == '/' ? '\\' : c;
    HMODULE module = LoadLibraryA(path.c_str());
    return module == nullptr ? nullptr
                             : reinterpret_cast<Entry>(
                                   GetProcAddress(module, "lv2_descriptor"));
#else
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return module == nullptr
               ? nullptr
               : reinterpret_cast<Entry>(dlsym(module, "lv2_descriptor"));
#endif
  }();
  return found;
}

const LV2_Descriptor *descriptor() {
  return entry_point() == nullptr ? nullptr : entry_point()(0);
}

struct Urids {
  std::map<std::string, LV2_URID> ids;
  LV2_URID_Map map = {this, [](LV2_URID_Map_Handle h, const char *uri) {
                        auto &ids = static_cast<Urids *>(h)->ids;
                        return ids.emplace(uri, ids.size() + 1).first->second;
                      }};
  LV2_Feature feature = {LV2_URID__map, &map};
};

// The "ah" vowel and the performance controls at their defaults.
float controls[] = {0.8f, 0.75f, 0.15f, 0.5f, 0.5f, 0.9f, 0.0f, 0.95f,
                    0.1f, 16.0f, 0.01f, 0.2f, 0.0f, 2.0f, 28.0f};

TEST(BareHost, NoteSoundsAtItsFrequencyAndEndsInExactSilence) {
  const LV2_Descriptor *d = descriptor();
  ASSERT_NE(d, nullptr) << TW_PLUGIN_BINARY;
  EXPECT_STREQ(d->URI, "urn:tractwave:instrument");

  Urids urids;
  const LV2_Feature *features[] = {&urids.feature, nullptr};
  const double rate = 48000.0;
  LV2_Handle plugin = d->instantiate(d, rate, "", features);
  ASSERT_NE(plugin, nullptr);
  MidiSequence midi(urids.map.map(&urids, LV2_ATOM__Sequence),
                    urids.map.map(&urids, LV2_MIDI__MidiEvent));
  d->connect_port(plugin, 0, midi.sequence());
  for (uint32_t i = 0; i < sizeof controls / sizeof *controls; ++i)
    d->connect_port(plugin, 2 + i, &controls[i]);
  if (d->activate != nullptr)
    d->activate(plugin);

  // Note on at sample 1000, off at 0.4 s; 128-sample blocks.
  const int block = 128, blocks = 500;
  const int64_t on = 1000, off = 19200;
  std::vector<float> x(static_cast<size_t>(block) * blocks);
  for (int b = 0; b < blocks; ++b) {
    const int64_t start = static_cast<int64_t>(b) * block;
    midi.clear();
    if (on >= start && on < start + block)
      midi.add(on - start, {0x90, 60, 127});
    if (off >= start && off < start + block)
      midi.add(off - start, {0x80, 60, 0});
    d->connect_port(plugin, 1, x.data() + start);
    d->run(plugin, block);
  }
  if (d->deactivate != nullptr) // optional in LV2
    d->deactivate(plugin);
  d->cleanup(plugin);

  EXPECT_EQ(end_of_sound(std::vector<float>(x.begin(), x.begin() + on)), 0u);
  for (float s : x)
    ASSERT_TRUE(std::isfinite(s));
  const double hz = fundamental(x, 12000, rate);
  EXPECT_NEAR(hz / note_hz(60), 1.0, 0.01) << hz << " Hz";
  const double peak_db = 20.0 * std::log10(peak(x, 9600, off));
  EXPECT_NEAR(peak_db, -6.0, 1.5);
  // The release is 0.2 s.
  EXPECT_LE(static_cast<double>(end_of_sound(x)), off + 0.2 * rate + 32);
  EXPECT_GT(end_of_sound(x), static_cast<size_t>(off + 0.1 * rate));
}

TEST(BareHost, OneDescriptorAndUridMapRequired) {
  const LV2_Descriptor *d = descriptor();
  ASSERT_NE(d, nullptr) << TW_PLUGIN_BINARY;
  EXPECT_EQ(entry_point()(1), nullptr);
  const LV2_Feature *none[] = {nullptr};
  EXPECT_EQ(d->instantiate(d, 48000.0, "", none), nullptr);
  EXPECT_EQ(d->instantiate(d, 48000.0, "", nullptr), nullptr);
}

} // namespace
