// A small LV2 host on lilv, as the tests and the chord renderer use it: it
// finds the bundle through LV2_PATH, maps URIs, and runs an instance with
// MIDI events placed at exact sample times.
#pragma once

#include "midi_sequence.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tw_lv2 {

constexpr char kPluginUri[] = "urn:tractwave:instrument";

class UridMap {
public:
  UridMap() {
    map_.handle = this;
    map_.map = [](LV2_URID_Map_Handle h, const char *uri) {
      return static_cast<UridMap *>(h)->id(uri);
    };
    feature_ = {LV2_URID__map, &map_};
  }
  LV2_URID id(const char *uri) {
    auto found = ids_.find(uri);
    if (found != ids_.end())
      return found->second;
    const LV2_URID next = static_cast<LV2_URID>(ids_.size() + 1);
    ids_.emplace(uri, next);
    return next;
  }
  LV2_URID_Map *map() { return &map_; }
  std::string uri(LV2_URID id) const {
    for (const auto &entry : ids_)
      if (entry.second == id)
        return entry.first;
    return std::string();
  }
  const LV2_Feature *feature() const { return &feature_; }

private:
  std::map<std::string, LV2_URID> ids_;
  LV2_URID_Map map_;
  LV2_Feature feature_;
};

// The lilv world with every bundle on LV2_PATH loaded.
class World {
public:
  World() : world_(lilv_world_new()) {
    lilv_world_load_all(world_);
    LilvNode *uri = lilv_new_uri(world_, kPluginUri);
    plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
    lilv_node_free(uri);
  }
  ~World() { lilv_world_free(world_); }
  World(const World &) = delete;
  World &operator=(const World &) = delete;

  LilvWorld *world() const { return world_; }
  const LilvPlugin *plugin() const { return plugin_; }
  UridMap &urids() { return urids_; }

  // A port's index by its symbol; -1 when there is none.
  int port(const char *symbol) const {
    LilvNode *s = lilv_new_string(world_, symbol);
    const LilvPort *p = lilv_plugin_get_port_by_symbol(plugin_, s);
    lilv_node_free(s);
    return p == nullptr ? -1
                        : static_cast<int>(lilv_port_get_index(plugin_, p));
  }

  // The port values a preset sets, as lilv reads them from the bundle.
  std::map<std::string, float> preset_values(const LilvNode *preset) {
    lilv_world_load_resource(world_, preset);
    LilvState *state = lilv_state_new_from_world(world_, urids_.map(), preset);
    std::map<std::string, float> values;
    if (state == nullptr)
      return values;
    struct Sink {
      std::map<std::string, float> *values;
      LV2_URID float_type;
    } sink = {&values, urids_.id(LV2_ATOM__Float)};
    lilv_state_emit_port_values(
        state,
        [](const char *symbol, void *user, const void *value, uint32_t size,
           uint32_t type) {
          Sink *s = static_cast<Sink *>(user);
          if (type == s->float_type && size == sizeof(float))
            (*s->values)[symbol] = *static_cast<const float *>(value);
        },
        &sink);
    lilv_state_free(state);
    return values;
  }

  // Every preset of the plugin by its label.
  std::map<std::string, std::map<std::string, float>> presets() {
    std::map<std::string, std::map<std::string, float>> all;
    LilvNode *preset_class =
        lilv_new_uri(world_, "http://lv2plug.in/ns/ext/presets#Preset");
    LilvNode *label =
        lilv_new_uri(world_, "http://www.w3.org/2000/01/rdf-schema#label");
    LilvNodes *related = lilv_plugin_get_related(plugin_, preset_class);
    LILV_FOREACH(nodes, i, related) {
      const LilvNode *preset = lilv_nodes_get(related, i);
      lilv_world_load_resource(world_, preset);
      LilvNode *name = lilv_world_get(world_, preset, label, nullptr);
      if (name != nullptr)
        all[lilv_node_as_string(name)] = preset_values(preset);
      lilv_node_free(name);
    }
    lilv_nodes_free(related);
    lilv_node_free(label);
    lilv_node_free(preset_class);
    return all;
  }

private:
  LilvWorld *world_;
  const LilvPlugin *plugin_ = nullptr;
  UridMap urids_;
};

// One instance with every port connected: control values start at the
// ports' defaults, and MIDI events wait in a queue until the block that
// holds their time.
class Instance {
public:
  Instance(World &world, double rate)
      : world_(world), rate_(rate),
        sequence_(world.urids().id(LV2_ATOM__Sequence),
                  world.urids().id(LV2_MIDI__MidiEvent)) {
    const LilvPlugin *p = world.plugin();
    // The host's largest block, as every real host tells its plugins.
    UridMap &u = world.urids();
    options_[0] = {LV2_OPTIONS_INSTANCE,
                   0,
                   u.id(LV2_BUF_SIZE__maxBlockLength),
                   sizeof(int32_t),
                   u.id(LV2_ATOM__Int),
                   &max_block_};
    options_[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    const LV2_Feature options = {LV2_OPTIONS__options, options_};
    const LV2_Feature bounded = {LV2_BUF_SIZE__boundedBlockLength, nullptr};
    // Work the plugin schedules is done at once, on the calling thread.
    schedule_.handle = this;
    schedule_.schedule_work = [](LV2_Worker_Schedule_Handle h, uint32_t size,
                                 const void *data) {
      Instance *self = static_cast<Instance *>(h);
      if (self->worker_ == nullptr)
        return LV2_WORKER_ERR_UNKNOWN;
      return self->worker_->work(
          lilv_instance_get_handle(self->instance_),
          [](LV2_Worker_Respond_Handle, uint32_t, const void *) {
            return LV2_WORKER_SUCCESS;
          },
          nullptr, size, data);
    };
    const LV2_Feature worker = {LV2_WORKER__schedule, &schedule_};
    const LV2_Feature *features[] = {world.urids().feature(), &options,
                                     &bounded, &worker, nullptr};
    instance_ = lilv_plugin_instantiate(p, rate, features);
    if (instance_ == nullptr)
      return;
    worker_ = static_cast<const LV2_Worker_Interface *>(
        lilv_instance_get_extension_data(instance_, LV2_WORKER__interface));
    const uint32_t ports = lilv_plugin_get_num_ports(p);
    controls_.assign(ports, 0.0f);
    std::vector<float> defaults(ports);
    lilv_plugin_get_port_ranges_float(p, nullptr, nullptr, defaults.data());
    for (uint32_t i = 0; i < ports; ++i)
      controls_[i] = defaults[i];
    for (uint32_t i = 0; i < ports; ++i)
      lilv_instance_connect_port(instance_, i, &controls_[i]);
    lilv_instance_connect_port(instance_, world.port("midi_in"),
                               sequence_.sequence());
    if (world.port("events_out") >= 0)
      lilv_instance_connect_port(instance_, world.port("events_out"),
                                 events_out_.data());
    out_port_ = world.port("out");
    lilv_instance_activate(instance_);
  }
  ~Instance() {
    if (instance_ != nullptr) {
      lilv_instance_deactivate(instance_);
      lilv_instance_free(instance_);
    }
  }
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;

  bool ok() const { return instance_ != nullptr; }
  double rate() const { return rate_; }
  int64_t now() const { return now_; }

  void set(const char *symbol, float value) {
    controls_.at(world_.port(symbol)) = value;
  }
  float get(const char *symbol) const {
    return controls_.at(world_.port(symbol));
  }
  void set_all(const std::map<std::string, float> &values) {
    for (const auto &v : values)
      set(v.first.c_str(), v.second);
  }

  // MIDI at a sample time counted from activation.
  void midi(int64_t at, uint8_t status, uint8_t a, uint8_t b) {
    queue_.push_back({at, {status, a, b}});
  }
  void note_on(int64_t at, int note, int velocity = 127) {
    midi(at, 0x90, note, velocity);
  }
  void note_off(int64_t at, int note) { midi(at, 0x80, note, 0); }
  void control(int64_t at, int number, int value) {
    midi(at, 0xB0, number, value);
  }
  void bend(int64_t at, int value) {
    midi(at, 0xE0, value & 0x7F, (value >> 7) & 0x7F);
  }
  int64_t seconds(double s) const {
    return static_cast<int64_t>(s * rate_ + 0.5);
  }

  // The next n samples, in host blocks of the given size.
  std::vector<float> run(int64_t n, int block = 256) {
    std::vector<float> out(static_cast<size_t>(n), -1.0f);
    for (int64_t done = 0; done < n; done += block) {
      const int m = static_cast<int>(std::min<int64_t>(block, n - done));
      prepare_block(out.data() + done, m);
      run_prepared(m);
    }
    return out;
  }

  // One host block in two steps, so that the second is nothing but the
  // plugin's run(): for timing it and counting what it calls.
  void prepare_block(float *out, int m) {
    fill_sequence(m);
    // An empty output sequence of the buffer's whole capacity.
    LV2_Atom *notify = reinterpret_cast<LV2_Atom *>(events_out_.data());
    notify->size =
        static_cast<uint32_t>(events_out_.size() * 8 - sizeof(LV2_Atom));
    notify->type = 0;
    lilv_instance_connect_port(instance_, out_port_, out);
  }
  void run_prepared(int m) {
    lilv_instance_run(instance_, m);
    now_ += m;
  }

  // The plugin's state as a host saves it, by key URI, and a state set back
  // through the state interface as a host restores a session (strings only).
  std::map<std::string, std::string> save_state() {
    std::map<std::string, std::string> saved;
    const auto *iface = state_interface();
    if (iface == nullptr)
      return saved;
    struct Store {
      std::map<std::string, std::string> *saved;
      World *world;
    } store = {&saved, &world_};
    iface->save(
        lilv_instance_get_handle(instance_),
        [](LV2_State_Handle h, uint32_t key, const void *value, size_t size,
           uint32_t, uint32_t) {
          Store *st = static_cast<Store *>(h);
          const char *v = static_cast<const char *>(value);
          (*st->saved)[st->world->urids().uri(key)] =
              std::string(v, strnlen(v, size));
          return LV2_STATE_SUCCESS;
        },
        &store, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr);
    return saved;
  }
  bool restore_state(const std::map<std::string, std::string> &values) {
    const auto *iface = state_interface();
    if (iface == nullptr)
      return false;
    struct Retrieve {
      const std::map<std::string, std::string> *values;
      World *world;
      uint32_t string_type;
    } retrieve = {&values, &world_, world_.urids().id(LV2_ATOM__String)};
    return iface->restore(
               lilv_instance_get_handle(instance_),
               [](LV2_State_Handle h, uint32_t key, size_t *size,
                  uint32_t *type, uint32_t *flags) -> const void * {
                 Retrieve *r = static_cast<Retrieve *>(h);
                 auto found = r->values->find(r->world->urids().uri(key));
                 if (found == r->values->end())
                   return nullptr;
                 *size = found->second.size() + 1;
                 *type = r->string_type;
                 *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
                 return found->second.c_str();
               },
               &retrieve, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE,
               nullptr) == LV2_STATE_SUCCESS;
  }

  // A preset of the bundle as a host applies it: lilv reads it (port values
  // and state) and restores it into the instance through the state
  // interface.
  bool apply_preset(const std::string &uri) {
    LilvNode *node = lilv_new_uri(world_.world(), uri.c_str());
    lilv_world_load_resource(world_.world(), node);
    LilvState *state =
        lilv_state_new_from_world(world_.world(), world_.urids().map(), node);
    lilv_node_free(node);
    if (state == nullptr)
      return false;
    struct Sink {
      Instance *self;
      LV2_URID float_type;
    } sink = {this, world_.urids().id(LV2_ATOM__Float)};
    lilv_state_restore(
        state, instance_,
        [](const char *symbol, void *user, const void *value, uint32_t size,
           uint32_t type) {
          Sink *s = static_cast<Sink *>(user);
          if (type == s->float_type && size == sizeof(float))
            s->self->set(symbol, *static_cast<const float *>(value));
        },
        &sink, 0, nullptr);
    lilv_state_free(state);
    return true;
  }

  // A program chosen through DPF's LV2 programs extension, as hosts that
  // change programs from MIDI do (possibly on their audio thread); the
  // plugin rewrites its control ports. False when it has none.
  bool select_program(uint32_t index) {
    struct Programs {
      const void *(*get_program)(LV2_Handle, uint32_t);
      void (*select_program)(LV2_Handle, uint32_t, uint32_t);
    };
    const auto *programs =
        static_cast<const Programs *>(lilv_instance_get_extension_data(
            instance_, "http://kxstudio.sf.net/ns/lv2ext/programs#Interface"));
    if (programs == nullptr)
      return false;
    programs->select_program(lilv_instance_get_handle(instance_), 0, index);
    return true;
  }

  void reactivate() {
    lilv_instance_deactivate(instance_);
    lilv_instance_activate(instance_);
    now_ = 0;
  }

private:
  const LV2_State_Interface *state_interface() const {
    return static_cast<const LV2_State_Interface *>(
        lilv_instance_get_extension_data(instance_, LV2_STATE__interface));
  }

  struct Event {
    int64_t at;
    uint8_t bytes[3];
  };

  // Moves the queued events of the next m samples into the atom sequence.
  void fill_sequence(int m) {
    std::stable_sort(
        queue_.begin(), queue_.end(),
        [](const Event &a, const Event &b) { return a.at < b.at; });
    sequence_.clear();
    std::vector<Event> later;
    for (const Event &e : queue_) {
      if (e.at >= now_ + m)
        later.push_back(e);
      else
        sequence_.add(e.at > now_ ? e.at - now_ : 0, e.bytes);
    }
    queue_.swap(later);
  }

  World &world_;
  double rate_;
  int32_t max_block_ = 8192;
  LV2_Options_Option options_[2];
  LilvInstance *instance_ = nullptr;
  LV2_Worker_Schedule schedule_{};
  const LV2_Worker_Interface *worker_ = nullptr;
  std::vector<uint64_t> events_out_ = std::vector<uint64_t>(1024);
  int out_port_ = -1;
  std::vector<float> controls_;
  MidiSequence sequence_;
  std::vector<Event> queue_;
  int64_t now_ = 0;
};

} // namespace tw_lv2
