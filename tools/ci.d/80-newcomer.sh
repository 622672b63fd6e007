#!/bin/sh
# CI stage: the README as a newcomer follows it. A fresh clone of the
# repository, `tools/dev.sh demo` there, then every command of the README's
# sh blocks in order (a line ending in "# run by FILE" is checked to be
# exercised by that stage instead), then what those commands should have
# given: the Python package speaking from its own libraries, speech through
# a pipe into sox, an SSML break heard as silence, the install tree the docs
# list, the page served, and the docs' wasm sizes.
set -eu
. tools/lib.sh
need_packages git sox python3 python3-numpy python3-venv python3-setuptools \
  python3-wheel python3-pip espeak-ng pocketsphinx-en-us
stage_start=$(date +%s)
REPO=$(pwd)
work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
# Debian's interpreter, as on a fresh machine, whatever else is on PATH.
PATH=/usr/bin:/bin:$PATH
export PATH

fail() {
  echo "newcomer: $*" >&2
  exit 1
}

[ "$(wc -l <README.md)" -le 300 ] || fail "README.md is longer than 300 lines"
git clone -q "$REPO" "$work/clone"
cd "$work/clone"
BUILD_DIR=build tools/dev.sh demo
[ -s tractwave-demo.wav ] && [ -s tractwave-speech-demo.wav ] ||
  fail "the demo wrote no sound"

tools/readme-commands.sh README.md >"$work/commands"
grep -q . "$work/commands" || fail "no commands found in README.md"
while IFS= read -r line; do
  case "$line" in
  tools/dev.sh\ *) continue ;; # the demo ran above; the tests are this run
  *"# run by "*)
    file=${line##*# run by }
    file=${file%% *}
    program=$(printf '%s\n' "${line%%#*}" | tr ' ' '\n' | grep -v = | head -n 1)
    program=$(basename "$program")
    [ -f "$file" ] && grep -q -- "${program%%.*}" "$file" ||
      fail "README: '$line': $file does not run ${program%%.*}"
    echo "README (by $file): $line"
    ;;
  *)
    echo "README: $line"
    sh -ec "$line" </dev/null >"$work/out" 2>&1 || {
      cat "$work/out" >&2
      fail "README command failed: $line"
    }
    ;;
  esac
done <"$work/commands"

# What the commands gave. The package speaks from the libraries inside it.
unset TRACTWAVE_LIBRARY TRACTWAVE_VOICES_LIBRARY TRACTWAVE_SPEECH_LIBRARY
(cd "$work" && "$work/clone/env/bin/python" -c '
import os, sys, tractwave
here = os.path.dirname(tractwave.__file__)
samples = tractwave.say("hello world")
assert samples.size > 4800 and abs(samples).max() > 0, samples
assert tractwave.speech_library_path().startswith(here + os.sep)
assert len(tractwave.render_score([{"t": 0.0}, {"t": 0.1}])) == 4800
print("python: say gave", samples.size, "samples from", here)')

say=build/tools/say/tractwave-say
length() { sox -t wav - -n stat 2>&1 | awk '/^Length \(seconds\)/ {print $3}'; }
piped=$(echo "This came through a pipe." | $say -o - | length)
awk -v s="$piped" 'BEGIN { exit !(s > 0.8) }' || fail "piped speech lasts '$piped' s"
plain=$($say "Hello world." -o - | length)
broken=$(sox ssml.wav -t wav - | length)
awk -v a="$plain" -v b="$broken" 'BEGIN { exit !(b >= a + 0.45) }' ||
  fail "the SSML break did not lengthen the speech ($plain s, $broken s)"
$say --print-phonemes '<speak>Hello <break time="500ms"/> world.</speak>' |
  grep -q "S P IY1 K\|B R EY1 K" && fail "SSML tags were spoken"

# The install tree holds what the docs list.
for f in include/tractwave.h include/tractwave_voices.h include/tractwave_speech.h \
  lib/libtractwave.so.1 lib/libtractwave_voices.so.1 lib/libtractwave_speech.so.1 \
  lib/pkgconfig/tractwave.pc lib/pkgconfig/tractwave_voices.pc \
  lib/pkgconfig/tractwave_speech.pc lib/cmake/tractwave/tractwaveConfig.cmake \
  bin/tractwave-say bin/tractwave-render share/man/man1/tractwave-say.1 \
  share/man/man1/tractwave-render.1 bin/tractwave-sing \
  share/man/man1/tractwave-sing.1; do
  [ -e "prefix/$f" ] || fail "cmake --install left out $f"
done
[ ! -d build/lv2 ] || [ -d prefix/lib/lv2/tractwave.lv2 ] ||
  fail "cmake --install left out the LV2 bundle"
prefix/bin/tractwave-say --phonemes "HH AY1 ." -o - -q | length >/dev/null
prefix/bin/tractwave-sing tests/sing/daisy.musicxml -o - -q | length >/dev/null

# The page: web/play.sh builds and serves it; the docs' wasm sizes hold.
PORT=18555 web/play.sh >"$work/play.log" 2>&1 &
server=$!
served=0
for _ in $(seq 1 120); do
  if python3 -c 'import urllib.request as u; u.urlopen("http://127.0.0.1:18555/", timeout=2)' 2>/dev/null; then
    served=1
    break
  fi
  sleep 2
done
kill "$server" 2>/dev/null || true
server=""
[ "$served" = 1 ] || { cat "$work/play.log" >&2; fail "web/play.sh served no page"; }
for wasm in tractwave tractwave_voices; do
  size=$(wc -c <"build/web/$wasm.wasm")
  claimed=$(grep -o "\`$wasm.wasm\`[^,;)]*about [0-9]* KB" docs/playground.md |
    grep -o "[0-9]* KB" | grep -o "[0-9]*")
  awk -v s="$size" -v c="$claimed" 'BEGIN { exit !(c > 0 && s > c * 1024 * 0.75 && s < c * 1024 * 1.25) }' ||
    fail "docs/playground.md says $wasm.wasm is about ${claimed:-?} KB; it is $size bytes"
done
echo "newcomer stage: $(($(date +%s) - stage_start)) s"
