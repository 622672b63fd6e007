#!/bin/sh
# tractwave-render: its tests run in the main suite, which leaves the tool out
# when its packages are missing. This stage makes sure it was built and that
# the README's demo renders: a WAV of a few seconds with a signal in it.
set -eu
. tools/lib.sh
render="$BUILD_DIR/tools/render/tractwave-render"
if [ ! -x "$render" ]; then
  echo "tractwave-render was not built (see the cmake warning)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$render" -o "$work/demo.wav" 2>&1 | tee "$work/summary" # the summary is on stderr
grep -Eq '^[^:]+: [2-5]\.[0-9]+ s, .* peak 0\.0[1-9]' "$work/summary"
"$render" --print-demo | cmp - examples/demo.json
