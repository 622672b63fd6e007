#!/bin/sh
# Prints the commands of README.md's ```sh blocks, one a line, so that CI
# runs exactly what a reader would type (tools/ci.d/80-newcomer.sh).
#   tools/readme-commands.sh [README.md]
set -eu
awk '
  /^```sh[[:space:]]*$/ { inside = 1; next }
  /^```/ { inside = 0; next }
  inside && NF { print }
' "${1:-README.md}"
