#!/bin/sh
# CI stage: the browser playground. Builds the library to WebAssembly with
# Debian's emscripten, then runs the node tests (known-answer block against the
# native library, scores) and the headless Chromium tests of the page.
set -eu
cd "$(dirname "$0")/../.."
. tools/lib.sh
BUILD=${BUILD_DIR:-build}

need_packages emscripten chromium nodejs
command -v npm >/dev/null || need_packages npm

# The native library the known-answer test compares with.
[ -e "$BUILD/libtractwave.so" ] || {
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$BUILD" -j "$JOBS" --target tractwave
}

web/build.sh "$BUILD/web"
(cd web && npm ci --no-audit --no-fund)
BUILD_DIR="$BUILD" node --test web/test/*.test.mjs
