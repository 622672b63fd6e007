#!/bin/sh
# Installs what the playground needs (Debian's emscripten and node), builds it
# into build/web and serves it on http://127.0.0.1:${PORT:-8000}/.
set -eu
cd "$(dirname "$0")/.."
. tools/lib.sh
need_packages emscripten nodejs
web/build.sh build/web
exec node web/serve.mjs build/web --port "${PORT:-8000}"
