#!/bin/sh
# The Python package, as a user installs it from a build: the python-package
# target makes a wheel holding the three freshly built libraries, pip installs
# it into a throwaway virtual environment that sees Debian's numpy, without
# touching the network, and the tests run there with Debian's interpreter.
# /usr/bin/python3 explicitly, so that another python3 earlier on PATH cannot
# stand in for the one installed here. (tools/ci.d/80-newcomer.sh installs
# from a fresh clone with plain pip, as the README says.)
set -eu
. tools/lib.sh
need_packages python3 python3-numpy python3-scipy python3-pytest python3-pip \
  python3-setuptools python3-wheel python3-venv

PYTHON=/usr/bin/python3
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
REPO=$(pwd)
RENDER=$BUILD_DIR/tools/render/tractwave-render
SING=$BUILD_DIR/tools/sing/tractwave-sing
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

$PYTHON --version
cmake -S . -B "$BUILD_DIR" -DTRACTWAVE_PYTHON=$PYTHON >/dev/null
cmake --build "$BUILD_DIR" --target python-package
$PYTHON -m venv --system-site-packages "$work/env"
"$work/env/bin/pip" install --quiet --no-index --no-deps "$BUILD_DIR"/python-wheel/tractwave-*.whl

# From the throwaway folder, so that the tests import the installed copy and
# the libraries inside it, never the source tree or the build.
cd "$work"
unset TRACTWAVE_LIBRARY TRACTWAVE_VOICES_LIBRARY TRACTWAVE_SPEECH_LIBRARY
"$work/env/bin/python" -c '
import os, sys, tractwave
here = os.path.dirname(tractwave.__file__)
print("tractwave", tractwave.__version__, "from", here)
paths = [tractwave.library_path(), tractwave.voices_library_path(),
         tractwave.speech_library_path()]
print("libraries", *paths)
sys.exit(not (all(p.startswith(here + os.sep) for p in paths)
              and os.path.exists(os.path.join(here, "py.typed"))))'
PYTHONDONTWRITEBYTECODE=1 TRACTWAVE_RENDER="$RENDER" TRACTWAVE_SING="$SING" \
  "$work/env/bin/python" -m pytest -q -p no:cacheprovider "$REPO/python/tests"
