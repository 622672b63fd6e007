// The CLAP plugin in a small host written against the CLAP headers DPF
// ships, and the VST3 bundle's factory read through its exported entry
// point, as hosts of those formats meet them.
#include "analysis.h"

#include "clap/entry.h"
#include "clap/ext/audio-ports.h"
#include "clap/ext/note-ports.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/plugin-factory.h"
#include "travesty/bstream.h"
#include "travesty/component.h"
#include "travesty/factory.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tw_lv2;

// A plugin binary, loaded as a host loads it.
#ifdef _WIN32
void *load(const char *path) { return LoadLibraryA(path); }
void *symbol(void *module, const char *name) {
  return reinterpret_cast<void *>(
      GetProcAddress(static_cast<HMODULE>(module), name));
}
#else
void *load(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void *symbol(void *module, const char *name) { return dlsym(module, name); }
#endif

const clap_plugin_entry_t *clap_entry_point() {
  static const clap_plugin_entry_t *entry = [] {
    void *module = load(TW_CLAP_BINARY);
    const clap_plugin_entry_t *e =
        module == nullptr ? nullptr
                          : static_cast<const clap_plugin_entry_t *>(
                                symbol(module, "clap_entry"));
    if (e != nullptr && !e->init(TW_CLAP_BINARY))
      e = nullptr;
    return e;
  }();
  return entry;
}

const clap_plugin_factory_t *clap_factory() {
  const clap_plugin_entry_t *e = clap_entry_point();
  return e == nullptr ? nullptr
                      : static_cast<const clap_plugin_factory_t *>(
                            e->get_factory(CLAP_PLUGIN_FACTORY_ID));
}

const clap_host_t kHost = {
    CLAP_VERSION_INIT,
    nullptr,
    "tractwave tests",
    "tractwave",
    "",
    "1",
    [](const clap_host_t *, const char *) -> const void * { return nullptr; },
    [](const clap_host_t *) {},
    [](const clap_host_t *) {},
    [](const clap_host_t *) {}};

// A note or a MIDI message, as the host queues it.
union AnyEvent {
  clap_event_header_t header;
  clap_event_note_t note;
  clap_event_midi_t midi;
};

// Events of one process call, in time order.
struct EventList {
  std::vector<AnyEvent> notes;
  clap_input_events_t in = {
      this,
      [](const clap_input_events_t *l) {
        return static_cast<uint32_t>(
            static_cast<const EventList *>(l->ctx)->notes.size());
      },
      [](const clap_input_events_t *l, uint32_t i) {
        return &static_cast<const EventList *>(l->ctx)->notes[i].header;
      }};
};

// One activated instance, played in blocks with notes at exact frames.
class ClapInstance {
public:
  ClapInstance(double rate) : rate_(rate) {
    plugin_ = clap_factory()->create_plugin(clap_factory(), &kHost,
                                            "org.tractwave.instrument");
    if (plugin_ == nullptr || !plugin_->init(plugin_) ||
        !plugin_->activate(plugin_, rate, 1, 512) ||
        !plugin_->start_processing(plugin_))
      ok_ = false;
  }
  ~ClapInstance() {
    if (plugin_ == nullptr)
      return;
    plugin_->stop_processing(plugin_);
    plugin_->deactivate(plugin_);
    plugin_->destroy(plugin_);
  }
  bool ok() const { return ok_ && plugin_ != nullptr; }
  const clap_plugin_t *plugin() const { return plugin_; }
  int64_t seconds(double s) const { return static_cast<int64_t>(s * rate_); }

  void note(int64_t at, int key, bool on, int channel = 0) {
    AnyEvent a = {};
    clap_event_note_t &e = a.note;
    e.header = {
        sizeof(e), 0, CLAP_CORE_EVENT_SPACE_ID,
        static_cast<uint16_t>(on ? CLAP_EVENT_NOTE_ON : CLAP_EVENT_NOTE_OFF),
        0};
    e.note_id = -1;
    e.channel = static_cast<int16_t>(channel);
    e.key = static_cast<int16_t>(key);
    e.velocity = on ? 1.0 : 0.0;
    queue_.push_back({at, a});
  }
  void midi(int64_t at, uint8_t status, uint8_t data1, uint8_t data2) {
    AnyEvent a = {};
    a.midi.header = {sizeof(a.midi), 0, CLAP_CORE_EVENT_SPACE_ID,
                     CLAP_EVENT_MIDI, 0};
    a.midi.data[0] = status;
    a.midi.data[1] = data1;
    a.midi.data[2] = data2;
    queue_.push_back({at, a});
  }

  std::vector<float> run(int64_t n) {
    std::vector<float> out(static_cast<size_t>(n), -1.0f);
    for (int64_t done = 0; done < n; done += 512) {
      const uint32_t m =
          static_cast<uint32_t>(std::min<int64_t>(512, n - done));
      EventList events;
      for (const auto &q : queue_)
        if (q.first >= now_ && q.first < now_ + m) {
          events.notes.push_back(q.second);
          events.notes.back().header.time =
              static_cast<uint32_t>(q.first - now_);
        }
      float *channel = out.data() + done;
      clap_audio_buffer_t buffer = {};
      buffer.data32 = &channel;
      buffer.channel_count = 1;
      clap_output_events_t sink = {
          nullptr, [](const clap_output_events_t *,
                      const clap_event_header_t *) { return true; }};
      clap_process_t process = {};
      process.steady_time = now_;
      process.frames_count = m;
      process.audio_outputs = &buffer;
      process.audio_outputs_count = 1;
      process.in_events = &events.in;
      process.out_events = &sink;
      EXPECT_EQ(plugin_->process(plugin_, &process), CLAP_PROCESS_CONTINUE);
      now_ += m;
    }
    return out;
  }

private:
  double rate_;
  const clap_plugin_t *plugin_ = nullptr;
  bool ok_ = true;
  int64_t now_ = 0;
  std::vector<std::pair<int64_t, AnyEvent>> queue_;
};

TEST(Clap, DescriptorSaysInstrumentWithNotesInAndOneOutput) {
  ASSERT_NE(clap_factory(), nullptr) << TW_CLAP_BINARY;
  ASSERT_EQ(clap_factory()->get_plugin_count(clap_factory()), 1u);
  const clap_plugin_descriptor_t *d =
      clap_factory()->get_plugin_descriptor(clap_factory(), 0);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->id, "org.tractwave.instrument");
  EXPECT_STREQ(d->name, "tractwave");
  std::vector<std::string> features;
  for (const char *const *f = d->features; f != nullptr && *f != nullptr; ++f)
    features.push_back(*f);
  EXPECT_NE(std::find(features.begin(), features.end(), "instrument"),
            features.end());

  ClapInstance inst(48000.0);
  ASSERT_TRUE(inst.ok());
  const clap_plugin_t *p = inst.plugin();
  const auto *notes = static_cast<const clap_plugin_note_ports_t *>(
      p->get_extension(p, CLAP_EXT_NOTE_PORTS));
  ASSERT_NE(notes, nullptr);
  ASSERT_EQ(notes->count(p, true), 1u);
  clap_note_port_info_t note_port = {};
  ASSERT_TRUE(notes->get(p, 0, true, &note_port));
  EXPECT_TRUE(note_port.supported_dialects & CLAP_NOTE_DIALECT_MIDI);
  const auto *audio = static_cast<const clap_plugin_audio_ports_t *>(
      p->get_extension(p, CLAP_EXT_AUDIO_PORTS));
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->count(p, true), 0u);
  ASSERT_EQ(audio->count(p, false), 1u);
  clap_audio_port_info_t out = {};
  ASSERT_TRUE(audio->get(p, 0, false, &out));
  EXPECT_EQ(out.channel_count, 1u);
  const auto *params = static_cast<const clap_plugin_params_t *>(
      p->get_extension(p, CLAP_EXT_PARAMS));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->count(p), 16u);
}

// The plugin's whole state through CLAP's state extension, as a host saves
// it with a project, and back.
std::string save_state(const clap_plugin_t *p) {
  const auto *state = static_cast<const clap_plugin_state_t *>(
      p->get_extension(p, CLAP_EXT_STATE));
  std::string saved;
  if (state == nullptr)
    return saved;
  clap_ostream_t out = {
      &saved,
      [](const clap_ostream_t *s, const void *data, uint64_t size) -> int64_t {
        static_cast<std::string *>(s->ctx)->append(
            static_cast<const char *>(data), size);
        return static_cast<int64_t>(size);
      }};
  EXPECT_TRUE(state->save(p, &out));
  return saved;
}

bool load_state(const clap_plugin_t *p, const std::string &saved) {
  const auto *state = static_cast<const clap_plugin_state_t *>(
      p->get_extension(p, CLAP_EXT_STATE));
  struct Reader {
    const std::string *text;
    size_t at;
  } reader = {&saved, 0};
  clap_istream_t in = {
      &reader,
      [](const clap_istream_t *s, void *buffer, uint64_t size) -> int64_t {
        Reader *r = static_cast<Reader *>(s->ctx);
        const size_t n = std::min<size_t>(size, r->text->size() - r->at);
        std::memcpy(buffer, r->text->data() + r->at, n);
        r->at += n;
        return static_cast<int64_t>(n);
      }};
  return state != nullptr && state->load(p, &in);
}

// The lyric and the lyrics mode travel in the CLAP state: a state saved
// with another lyric and loaded into a fresh instance makes it sing that
// lyric, and it saves it again.
TEST(Clap, LyricIsSavedAndLoadedWithTheState) {
  ClapInstance first(48000.0), second(48000.0);
  ASSERT_TRUE(first.ok() && second.ok());
  std::string saved = save_state(first.plugin());
  // Keys and values are separated by NULs: the state's entry, then the
  // parameter's.
  const std::string lyric("lyrics\0la\0", 10), mode("lyrics\0"
                                                    "0\0",
                                                    9);
  const size_t at = saved.find(lyric);
  ASSERT_NE(at, std::string::npos);
  saved.replace(at, lyric.size(), std::string("lyrics\0see bad cars\0", 20));
  const size_t mode_at =
      saved.find(mode, saved.find("__dpf_parameters_begin__"));
  ASSERT_NE(mode_at, std::string::npos);
  saved.replace(mode_at, mode.size(),
                std::string("lyrics\0"
                            "1\0",
                            9));
  ASSERT_TRUE(load_state(second.plugin(), saved));
  EXPECT_EQ(save_state(second.plugin()), saved);
  // It sings now where the first plays the vowel of its tract controls:
  // the same note sounds different.
  for (ClapInstance *inst : {&first, &second})
    inst->note(100, 57, true);
  const std::vector<float> vowel = first.run(first.seconds(0.5));
  const std::vector<float> sung = second.run(second.seconds(0.5));
  EXPECT_GT(peak(sung, 0, sung.size()), 0.1);
  EXPECT_NE(vowel, sung);
}

// Silence before the notes, the note's pitch, the level rules, exact
// silence once the release is over.
TEST(Clap, PlaysInTuneAtTheRightLevelAndEndsInSilence) {
  for (double rate : {44100.0, 48000.0}) {
    SCOPED_TRACE(rate);
    ClapInstance inst(rate);
    ASSERT_TRUE(inst.ok());
    const int64_t on = 1000, off = inst.seconds(0.6);
    inst.note(on, 57, true);
    inst.note(off, 57, false);
    const std::vector<float> x = inst.run(off + inst.seconds(0.5));
    EXPECT_EQ(peak(x, 0, on), 0.0);
    const double f = fundamental(x, inst.seconds(0.2), rate);
    const double one = 20.0 * std::log10(peak(x, on, off));
    std::printf(
        "CLAP at %.0f Hz: note 57 at %.3f Hz (%+.4f%%), peak %.1f dBFS\n", rate,
        f, 100.0 * (f / note_hz(57) - 1.0), one);
    EXPECT_NEAR(f / note_hz(57), 1.0, 0.01);
    EXPECT_NEAR(one, -6.0, 2.0);
    // The default release is 0.2 s.
    EXPECT_EQ(peak(x, off + inst.seconds(0.21), x.size()), 0.0);

    ClapInstance chord(rate);
    for (int key : {60, 64, 67})
      chord.note(0, key, true);
    const std::vector<float> y = chord.run(chord.seconds(1.0));
    EXPECT_LE(20.0 * std::log10(peak(y, 0, y.size())), -1.0);
  }
}

// Per-note expression through CLAP's MIDI dialect, one channel per note as
// MPE controllers send it (DPF's CLAP wrapper offers no note expressions):
// a channel's pitch bend moves only its own note, its pressure scales only
// its own note's voicing.
TEST(Clap, EachChannelBendsAndPressesOnlyItsOwnNote) {
  const double rate = 48000.0;
  ClapInstance inst(rate);
  ASSERT_TRUE(inst.ok());
  const double low = note_hz(57), high = note_hz(64);
  const double bent = high * std::pow(2.0, 2.0 / 12.0); // the default range
  inst.note(0, 57, true, 1);
  inst.note(0, 64, true, 2);
  const int64_t phase = inst.seconds(0.5);
  inst.midi(phase, 0xE2, 0x7F, 0x7F);  // channel 2 bent fully up
  inst.midi(2 * phase, 0xD1, 0x00, 0); // no pressure on channel 1
  const std::vector<float> x = inst.run(3 * phase);
  const size_t n = 8192, settle = static_cast<size_t>(inst.seconds(0.2));
  auto at = [&](int p, double hz) {
    return level_db(x, static_cast<size_t>(p * phase) + settle, n, rate, hz);
  };
  std::printf("dB at %.1f / %.1f / %.1f Hz: held %.1f %.1f %.1f, channel 2 "
              "bent %.1f %.1f %.1f, channel 1 released of pressure %.1f "
              "%.1f %.1f\n",
              low, high, bent, at(0, low), at(0, high), at(0, bent), at(1, low),
              at(1, high), at(1, bent), at(2, low), at(2, high), at(2, bent));
  // The bend moves the high note to its new pitch and leaves the low one.
  EXPECT_GT(at(1, bent) - at(0, bent), 20.0);
  EXPECT_GT(at(0, high) - at(1, high), 20.0);
  EXPECT_NEAR(at(1, low), at(0, low), 3.0);
  // The pressure silences the low note's glottis and leaves the high one.
  EXPECT_GT(at(1, low) - at(2, low), 30.0);
  EXPECT_NEAR(at(2, bent), at(1, bent), 3.0);
}

// The VST3 module as a host opens it: its entry called, its factory taken.
struct Vst3Module {
  void *module = nullptr;
  bool (*exit_)() = nullptr;
  void *factory = nullptr;

  Vst3Module() {
    module = load(TW_VST3_BINARY);
    if (module == nullptr)
      return;
      // The module's entry and exit are InitDll and ExitDll on Windows,
      // ModuleEntry (given the module) and ModuleExit elsewhere.
#ifdef _WIN32
    const auto entry = reinterpret_cast<bool (*)()>(symbol(module, "InitDll"));
    exit_ = reinterpret_cast<bool (*)()>(symbol(module, "ExitDll"));
    const bool entered = entry != nullptr && entry();
#else
    const auto entry =
        reinterpret_cast<bool (*)(void *)>(symbol(module, "ModuleEntry"));
    exit_ = reinterpret_cast<bool (*)()>(symbol(module, "ModuleExit"));
    const bool entered = entry != nullptr && entry(module);
#endif
    const auto get =
        reinterpret_cast<void *(*)()>(symbol(module, "GetPluginFactory"));
    if (entered && exit_ != nullptr && get != nullptr)
      factory = get();
  }
  bool close() { return exit_ != nullptr && exit_(); }
};

// A COM-style object: a pointer to its table of functions.
struct FactoryTable {
  v3_funknown unknown;
  v3_plugin_factory factory;
};

// A VST3 host's first look: the module's entry, its factory, its classes.
TEST(Vst3, FactoryListsTheInstrument) {
  Vst3Module vst3;
  ASSERT_NE(vst3.factory, nullptr);
  void *factory = vst3.factory;
  const FactoryTable *table = *static_cast<FactoryTable **>(factory);
  const int32_t classes = table->factory.num_classes(factory);
  ASSERT_GE(classes, 1);
  int processors = 0;
  for (int32_t i = 0; i < classes; ++i) {
    v3_class_info info = {};
    ASSERT_EQ(table->factory.get_class_info(factory, i, &info), V3_OK);
    std::printf("VST3 class %d: \"%s\", %s\n", i, info.name, info.category);
    EXPECT_STREQ(info.name, "tractwave");
    processors += std::strcmp(info.category, "Audio Module Class") == 0;
  }
  EXPECT_EQ(processors, 1);

  void *second = nullptr;
  ASSERT_EQ(
      table->unknown.query_interface(factory, v3_plugin_factory_2_iid, &second),
      V3_OK);
  struct Table2 {
    v3_funknown unknown;
    v3_plugin_factory factory;
    v3_plugin_factory_2 factory2;
  };
  const Table2 *table2 = *static_cast<Table2 **>(second);
  bool instrument = false;
  for (int32_t i = 0; i < classes; ++i) {
    v3_class_info_2 info = {};
    ASSERT_EQ(table2->factory2.get_class_info_2(second, i, &info), V3_OK);
    if (std::strcmp(info.category, "Audio Module Class") == 0)
      instrument = std::strstr(info.sub_categories, "Instrument") != nullptr;
  }
  EXPECT_TRUE(instrument);
  table2->unknown.unref(second);
  EXPECT_TRUE(vst3.close());
}

// A host's stream of bytes, as VST3 hosts hand one to a component to save
// its state into or load it from.
struct Stream {
  struct Table {
    v3_funknown unknown;
    v3_bstream stream;
  };
  const Table *table;
  std::string bytes;
  size_t at = 0;

  static Stream *self(void *s) { return static_cast<Stream *>(s); }
  Stream() {
    static const Table functions = {
        {[](void *, const v3_tuid, void **obj) -> v3_result {
           *obj = nullptr;
           return V3_NO_INTERFACE;
         },
         [](void *) -> uint32_t { return 1; },
         [](void *) -> uint32_t { return 1; }},
        {[](void *s, void *buffer, int32_t n, int32_t *read) -> v3_result {
           Stream *me = self(s);
           const size_t count =
               std::min<size_t>(size_t(n), me->bytes.size() - me->at);
           std::memcpy(buffer, me->bytes.data() + me->at, count);
           me->at += count;
           if (read != nullptr)
             *read = int32_t(count);
           return V3_OK;
         },
         [](void *s, void *buffer, int32_t n, int32_t *written) -> v3_result {
           self(s)->bytes.append(static_cast<const char *>(buffer), size_t(n));
           if (written != nullptr)
             *written = n;
           return V3_OK;
         },
         [](void *, int64_t, int32_t, int64_t *) -> v3_result {
           return V3_NOT_IMPLEMENTED;
         },
         [](void *s, int64_t *pos) -> v3_result {
           *pos = int64_t(self(s)->at);
           return V3_OK;
         }}};
    table = &functions;
  }
  v3_bstream **handle() { return reinterpret_cast<v3_bstream **>(this); }
};

// The lyric travels in the VST3 component's state: a state saved with
// another lyric and loaded into a fresh instance is what that instance
// saves again, its lyric and its lyrics mode included.
TEST(Vst3, LyricIsSavedAndLoadedWithTheComponentState) {
  Vst3Module vst3;
  ASSERT_NE(vst3.factory, nullptr);
  const FactoryTable *table = *static_cast<FactoryTable **>(vst3.factory);
  v3_class_info info = {};
  int32_t processor = -1;
  for (int32_t i = 0; i < table->factory.num_classes(vst3.factory); ++i)
    if (table->factory.get_class_info(vst3.factory, i, &info) == V3_OK &&
        std::strcmp(info.category, "Audio Module Class") == 0) {
      processor = i;
      break;
    }
  ASSERT_GE(processor, 0);
  struct ComponentTable {
    v3_funknown unknown;
    v3_plugin_base base;
    v3_component component;
  };
  auto create = [&]() -> void * {
    void *instance = nullptr;
    if (table->factory.create_instance(vst3.factory, info.class_id,
                                       v3_component_iid, &instance) != V3_OK)
      return nullptr;
    const auto *c = *static_cast<ComponentTable **>(instance);
    return c->base.initialize(instance, nullptr) == V3_OK ? instance : nullptr;
  };
  auto save = [](void *instance) {
    Stream out;
    const auto *c = *static_cast<ComponentTable **>(instance);
    EXPECT_EQ(c->component.get_state(instance, out.handle()), V3_OK);
    return out.bytes;
  };
  void *first = create(), *second = create();
  ASSERT_TRUE(first != nullptr && second != nullptr);

  std::string saved = save(first);
  // Keys and values end in NULs: the state's entry, then the parameter's.
  const auto entry = [](std::string key, const char *value) {
    return key.append(1, '\0').append(value).append(1, '\0');
  };
  const size_t at = saved.find(entry("lyrics", "la"));
  ASSERT_NE(at, std::string::npos);
  saved.replace(at, entry("lyrics", "la").size(),
                entry("lyrics", "see bad cars"));
  const size_t mode_at =
      saved.find(entry("lyrics", "0"), saved.find("__dpf_parameters_begin__"));
  ASSERT_NE(mode_at, std::string::npos);
  saved.replace(mode_at, entry("lyrics", "0").size(), entry("lyrics", "1"));
  Stream in;
  in.bytes = saved;
  const auto *c = *static_cast<ComponentTable **>(second);
  ASSERT_EQ(c->component.set_state(second, in.handle()), V3_OK);
  EXPECT_EQ(save(second), saved);
  EXPECT_NE(save(first), saved);

  for (void *instance : {first, second}) {
    const auto *t = *static_cast<ComponentTable **>(instance);
    t->base.terminate(instance);
    t->unknown.unref(instance);
  }
  EXPECT_TRUE(vst3.close());
}

} // namespace
