#!/bin/sh
# Builds the browser playground into one folder that any static server can
# serve: the library compiled to WebAssembly plus the page's files.
#   web/build.sh [OUT]      default OUT: build/web
# Needs Debian's emscripten (tools/ci.d/50-web.sh and web/play.sh install it).
set -eu
cd "$(dirname "$0")/.."
OUT=${1:-build/web}
mkdir -p "$OUT"
# Debian's emcc runs its tools under the system node and finds their modules
# only through NODE_PATH.
NODE_PATH=${NODE_PATH:-/usr/share/nodejs}
export NODE_PATH

# Standalone wasm with no entry point: the module imports nothing (the math
# functions come from emscripten's libc, compiled in) and exports the four
# entry points, its memory and __heap_base, above which the page lays out the
# voice arrays itself, since the library allocates nothing. Without threads the
# thread_local record is an ordinary global: one record per module instance.
# Same floating-point rules as the native build: written order, no contraction,
# never -ffast-math. -msimd128 gives the engine's four-float vector lanes real
# 128-bit wasm SIMD (every current browser has it): a smaller module and a
# faster one than the same lanes split into scalars.
emcc -O2 -msimd128 -std=c++17 -Iinclude -Wall -Wextra -Werror \
  -ffp-contract=off -fno-exceptions -fno-rtti -fno-threadsafe-statics \
  -sSTANDALONE_WASM --no-entry \
  -sINITIAL_MEMORY=262144 -sTOTAL_STACK=16384 \
  -sEXPORTED_FUNCTIONS=_compute_diameters_from_dofs,_step_waveguide_block,_synthesize_waveguide_chunk,_synthesize_waveguide_chunk_ex \
  -Wl,--export=__heap_base \
  src/waveguide.cpp -o "$OUT/tractwave.wasm"

# The voices library the same way: a choir renders one voice per 128-bit
# lane.
emcc -O2 -msimd128 -std=c++17 -Iinclude -Wall -Wextra -Werror \
  -ffp-contract=off -fno-exceptions -fno-rtti -fno-threadsafe-statics \
  -sSTANDALONE_WASM --no-entry \
  -sINITIAL_MEMORY=262144 -sTOTAL_STACK=65536 \
  -sEXPORTED_FUNCTIONS=_tractwave_voice_size,_tractwave_voice_alignment,_tractwave_voice_init,_tractwave_voice_render,_tractwave_voice_render_geometry,_tractwave_voices_render \
  -Wl,--export=__heap_base \
  src/voices.cpp -o "$OUT/tractwave_voices.wasm"

# The speech library over the voices library: it allocates when text is
# queued (its own malloc, in a memory that may grow as a dictionary is
# loaded), never in its render call. Its one import announces growth.
emcc -O2 -msimd128 -std=c++17 -Iinclude -Wall -Wextra -Werror \
  -ffp-contract=off -fno-exceptions -fno-rtti -fno-threadsafe-statics \
  -sSTANDALONE_WASM --no-entry -sALLOW_MEMORY_GROWTH=1 \
  -sINITIAL_MEMORY=1048576 -sTOTAL_STACK=65536 \
  -sEXPORTED_FUNCTIONS=_malloc,_free,_tractwave_speaker_create,_tractwave_speaker_destroy,_tractwave_speaker_set_speed,_tractwave_speaker_set_pitch,_tractwave_speaker_queue,_tractwave_speaker_error_offset,_tractwave_speaker_render,_tractwave_speaker_pending,_tractwave_speaker_frame,_tractwave_speech_phoneme_name,_tractwave_speech_result_text,_tractwave_lexicon_create,_tractwave_lexicon_destroy,_tractwave_lexicon_count,_tractwave_lexicon_load,_tractwave_lexicon_add,_tractwave_lexicon_transcribe,_tractwave_speech_ipa_to_arpabet \
  src/voices.cpp src/speech/phonemes.cpp src/speech/plan.cpp \
  src/speech/articulate.cpp src/speech/output_stage.cpp \
  src/speech/resampler.cpp src/speech/speaker.cpp src/speech/lexicon.cpp \
  -o "$OUT/tractwave_speech.wasm"

cp web/page/* "$OUT/"
echo "built $OUT ($(wc -c <"$OUT/tractwave.wasm") byte tractwave.wasm," \
  "$(wc -c <"$OUT/tractwave_voices.wasm") byte tractwave_voices.wasm," \
  "$(wc -c <"$OUT/tractwave_speech.wasm") byte tractwave_speech.wasm)"
