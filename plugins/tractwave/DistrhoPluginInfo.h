// What DPF needs to know of the instrument at compile time: names, formats'
// identifiers, and its shape (no audio input, one mono output, MIDI in).
#ifndef DISTRHO_PLUGIN_INFO_H_INCLUDED
#define DISTRHO_PLUGIN_INFO_H_INCLUDED

#define DISTRHO_PLUGIN_BRAND "tractwave"
#define DISTRHO_PLUGIN_NAME "tractwave"
// The LV2 URI of the first, hand-written bundle: saved sessions and presets
// name it.
#define DISTRHO_PLUGIN_URI "urn:tractwave:instrument"
#define DISTRHO_PLUGIN_CLAP_ID "org.tractwave.instrument"

#define DISTRHO_PLUGIN_NUM_INPUTS 0
#define DISTRHO_PLUGIN_NUM_OUTPUTS 1
#define DISTRHO_PLUGIN_IS_SYNTH 1
#define DISTRHO_PLUGIN_WANT_MIDI_INPUT 1
#define DISTRHO_PLUGIN_WANT_PROGRAMS 1
#define DISTRHO_PLUGIN_IS_RT_SAFE 1
#define DISTRHO_PLUGIN_HAS_UI 0

#define DISTRHO_PLUGIN_LV2_CATEGORY "lv2:InstrumentPlugin"
#define DISTRHO_PLUGIN_VST3_CATEGORIES "Instrument|Synth|Mono"
#define DISTRHO_PLUGIN_CLAP_FEATURES "instrument", "synthesizer", "mono"

#endif
