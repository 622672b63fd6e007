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

# What each module exports is each library's own export list (src/*.exports,
# already in emscripten's underscored spelling), and the speech library's
# sources are the ones its CMakeLists.txt lists.
exports() { paste -sd, "src/$1.exports"; }
SPEECH_SOURCES=$(sed -n '/^set(speech_sources/,/)/p' src/speech/CMakeLists.txt |
  tr ' ()' '\n\n\n' | grep '\.cpp$' | sed 's|^|src/speech/|')
[ -n "$SPEECH_SOURCES" ] || { echo "web/build.sh: no speech sources in src/speech/CMakeLists.txt" >&2; exit 2; }

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
  -sEXPORTED_FUNCTIONS="$(exports tractwave)" \
  -Wl,--export=__heap_base \
  src/waveguide.cpp -o "$OUT/tractwave.wasm"

# The voices library the same way: a choir renders one voice per 128-bit
# lane.
emcc -O2 -msimd128 -std=c++17 -Iinclude -Wall -Wextra -Werror \
  -ffp-contract=off -fno-exceptions -fno-rtti -fno-threadsafe-statics \
  -sSTANDALONE_WASM --no-entry \
  -sINITIAL_MEMORY=262144 -sTOTAL_STACK=65536 \
  -sEXPORTED_FUNCTIONS="$(exports tractwave_voices)" \
  -Wl,--export=__heap_base \
  src/voices.cpp -o "$OUT/tractwave_voices.wasm"

# The speech library over the voices library: it allocates when text is
# queued (its own malloc, in a memory that may grow as a dictionary is
# loaded), never in its render call. Its one import announces growth. The
# letter-to-sound trees take 1.6 MB of its first memory.
emcc -O2 -msimd128 -std=c++17 -Iinclude -Wall -Wextra -Werror \
  -ffp-contract=off -fno-exceptions -fno-rtti -fno-threadsafe-statics \
  -sSTANDALONE_WASM --no-entry -sALLOW_MEMORY_GROWTH=1 \
  -sINITIAL_MEMORY=4194304 -sTOTAL_STACK=65536 \
  -sEXPORTED_FUNCTIONS="_malloc,_free,$(exports tractwave_speech)" \
  src/voices.cpp $SPEECH_SOURCES \
  -o "$OUT/tractwave_speech.wasm"

cp web/page/* "$OUT/"
echo "built $OUT ($(wc -c <"$OUT/tractwave.wasm") byte tractwave.wasm," \
  "$(wc -c <"$OUT/tractwave_voices.wasm") byte tractwave_voices.wasm," \
  "$(wc -c <"$OUT/tractwave_speech.wasm") byte tractwave_speech.wasm)"
