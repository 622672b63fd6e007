#!/bin/sh
# The tools for Windows as far as this machine goes. Debian has no libsndfile
# built for Windows, so the tools' sources are compiled, not linked, with the
# Windows build's compiler against libsndfile's and CLI11's own headers, which
# are the same on every platform (libxml2's are not: the MusicXML reader is
# left out). Checked: every Windows branch of the tools
# compiles without a warning. Not checked: linking, and the tools at run time
# (the system calls under their files are, by tractwave_tool_files_tests
# under wine).
# Usage: check_windows_tools.sh OUTDIR
set -eu
out=$1
src=$(cd "$(dirname "$0")/.." && pwd)
gcc_dir=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | sort -V | tail -n 1)
rm -rf "$out"
mkdir -p "$out/include"
ln -s /usr/include/sndfile.h "$out/include/sndfile.h"
ln -s /usr/include/CLI "$out/include/CLI"
# The tables of parameters and presets the build generates.
python3 "$src/cmake/facts.py" cxx "$out/include/host_facts.h"
count=0
for source in "$src"/tools/common/*.cpp "$src"/tools/render/*.cpp \
  "$src"/tools/say/*.cpp "$src"/tools/sing/*.cpp; do
  case $source in *_posix.cpp | */musicxml.cpp) continue ;; esac
  # After the Windows headers, so that only these two come from the host.
  clang++-14 --target=x86_64-w64-mingw32 -std=c++17 -O2 -Wall -Wextra -Werror \
    -isystem "$gcc_dir/include/c++" \
    -isystem "$gcc_dir/include/c++/x86_64-w64-mingw32" \
    -idirafter "$out/include" -I"$src/include" -I"$src/tools/common" \
    -I"$src/tools/render" -I"$src/tools/say" -I"$src/tools/sing" \
    -DTRACTWAVE_RENDER_VERSION='"0"' -DTRACTWAVE_SAY_VERSION='"0"' \
    -DTRACTWAVE_SING_VERSION='"0"' \
    -c "$source" -o "$out/$(basename "$source" .cpp).o"
  count=$((count + 1))
done
[ "$count" -ge 8 ] || { echo "FAIL: only $count tool sources found"; exit 1; }
echo "Windows tools: $count sources compile"
