#!/bin/sh
# The Python package, as a user installs it: pip builds it from a copy of
# python/ with the freshly built library beside the package, installs it into
# a throwaway folder without touching the network, and its tests run there
# with Debian's interpreter and numpy. /usr/bin/python3 explicitly, so that
# another python3 earlier on PATH cannot stand in for the one installed here.
set -eu
. tools/lib.sh
need_packages python3 python3-numpy python3-pytest python3-pip python3-setuptools python3-wheel

PYTHON=/usr/bin/python3
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
REPO=$(pwd)
RENDER=$BUILD_DIR/tools/render/tractwave-render
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

$PYTHON --version
cp -R python "$work/src"
cp "$BUILD_DIR/libtractwave.so.1" "$BUILD_DIR/libtractwave_voices.so.1" \
  "$BUILD_DIR/libtractwave_speech.so.1" "$work/src/tractwave/"
$PYTHON -m pip install --quiet --no-build-isolation --no-index --no-deps \
  --root-user-action=ignore --target "$work/site" "$work/src"

# From the throwaway folder, so that the tests import the installed copy and
# the library beside it, never the source tree.
cd "$work"
unset TRACTWAVE_LIBRARY
PYTHONPATH="$work/site" $PYTHON -c '
import sys, tractwave
print("tractwave", tractwave.__version__, "from", tractwave.__file__)
print("library", tractwave.library_path())
print("voices library", tractwave.voices_library_path())
sys.exit(not (tractwave.library_path().startswith(sys.argv[1]) and
              tractwave.voices_library_path().startswith(sys.argv[1])))' "$work/site/tractwave/"
PYTHONPATH="$work/site" PYTHONDONTWRITEBYTECODE=1 TRACTWAVE_RENDER="$RENDER" \
  $PYTHON -m pytest -q -p no:cacheprovider "$REPO/python/tests"
