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
// The lyric lyrics mode sings, saved with the host's session.
#define DISTRHO_PLUGIN_WANT_STATE 1
#define DISTRHO_PLUGIN_WANT_FULL_STATE 1
// The window needs DPF's drawing library, which the build links only where
// Cairo and the platform's windowing are found.
#ifdef HAVE_DGL
#define DISTRHO_PLUGIN_HAS_UI 1
#define DISTRHO_UI_URI DISTRHO_PLUGIN_URI ":ui"
#define DISTRHO_UI_USE_CAIRO 1
#define DISTRHO_UI_USER_RESIZABLE 0
// The window reads the audio thread's picture of the tract straight from
// the plugin instance (tract_view.h): in LV2 through instance-access, with
// the UI in the plugin's own binary.
#define DISTRHO_PLUGIN_WANT_DIRECT_ACCESS 1
#else
#define DISTRHO_PLUGIN_HAS_UI 0
#endif

#define DISTRHO_PLUGIN_LV2_CATEGORY "lv2:InstrumentPlugin"
#define DISTRHO_PLUGIN_VST3_CATEGORIES "Instrument|Synth|Mono"
#define DISTRHO_PLUGIN_CLAP_FEATURES "instrument", "synthesizer", "mono"

#endif
