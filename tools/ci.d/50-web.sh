#!/bin/sh
# CI stage: the browser playground. Builds the library to WebAssembly with
# Debian's emscripten, then runs the node tests (known-answer block against the
# native library, scores) and the headless Chromium tests of the page.
set -eu
cd "$(dirname "$0")/../.."
. tools/lib.sh

need_packages emscripten chromium nodejs
command -v npm >/dev/null || need_packages npm

# The native library the known-answer test compares with.
[ -e "$BUILD_DIR/libtractwave.so" ] || {
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$BUILD_DIR" -j "$JOBS" --target tractwave
}

web/build.sh "$BUILD_DIR/web"
(cd web && npm ci --no-audit --no-fund)
BUILD_DIR="$BUILD_DIR" node --test web/test/*.test.mjs
