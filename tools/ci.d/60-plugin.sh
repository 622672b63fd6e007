#!/bin/sh
# The plugins as users meet them: lv2info and lv2_validate on the bundle the
# main build assembled, the installed bundle found by a host, a live run in
# jalv under jackd's dummy driver with MIDI notes sent in and the output
# recorded. The lilv host tests themselves run in the main suite.
set -eu
. tools/lib.sh
need_packages dpf-source lv2-dev liblilv-dev lilv-utils sordi jackd2 jalv sox xvfb
URI=urn:tractwave:instrument
LV2_DIR=$(cd "$BUILD_DIR/lv2" 2>/dev/null && pwd) || LV2_DIR=
bundle=$LV2_DIR/tractwave.lv2
if [ -z "$LV2_DIR" ] || [ ! -f "$bundle/manifest.ttl" ]; then
  echo "the LV2 plugin was not built (see the cmake warning)" >&2
  exit 1
fi
if [ ! -x "$BUILD_DIR/plugins/tractwave/tests/tractwave_lv2_host_tests" ]; then
  echo "the lilv host tests were not built (see the cmake warning)" >&2
  exit 1
fi

start_scratch
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "--- lv2info"
LV2_PATH="$LV2_DIR:/usr/lib/lv2" lv2info "$URI" >"$work/lv2info" 2>&1 ||
  { cat "$work/lv2info"; fail "lv2info"; }
if grep -i error "$work/lv2info"; then fail "lv2info reports errors"; fi
ports=$(grep -cE '^[[:space:]]+Port [0-9]+:' "$work/lv2info")
symbols=$(sed -n 's/^[[:space:]]*Symbol:[[:space:]]*//p' "$work/lv2info" | tr '\n' ' ')
presets=$(awk '/Presets:/ { on = 1; next } /Port 0:/ { on = 0 } on && NF' "$work/lv2info" | wc -l)
sed -n 's/^[[:space:]]*\(Name\|Class\|Binary\):[[:space:]]*/\1: /p' "$work/lv2info"
echo "$ports ports: $symbols"
echo "$presets presets"
[ "$ports" -eq 19 ] || fail "lv2info lists $ports ports"
[ "$presets" -ge 8 ] || fail "lv2info lists $presets presets"

echo "--- lv2_validate"
lv2_validate "$bundle"/*.ttl
# A copy with one wrongly typed value must fail, or a pass means nothing.
cp -r "$bundle" "$work/broken.lv2"
sed -i 's/lv2:index 2 ;/lv2:index "two" ;/' "$work/broken.lv2/tractwave.ttl"
if lv2_validate "$work/broken.lv2"/*.ttl >"$work/broken.log" 2>&1; then
  cat "$work/broken.log"
  fail "lv2_validate accepted a broken bundle"
fi
echo "a deliberately broken copy is refused: $(grep -m 1 '^error' "$work/broken.log")"

echo "--- installed bundle"
cmake --install "$BUILD_DIR" --component lv2 --prefix "$work/prefix" >/dev/null
ls "$work/prefix/lib/lv2/tractwave.lv2"
LV2_PATH="$work/prefix/lib/lv2" lv2info "$URI" | grep -E '^[[:space:]]*Binary:' ||
  fail "the installed bundle is not found"

echo "--- live: jackd (dummy driver) and jalv"
JACK_DEFAULT_SERVER=tractwave-ci-$$
export JACK_DEFAULT_SERVER
jackd --no-realtime -d dummy -r 48000 -p 1024 >"$work/jackd.log" 2>&1 &
jackd_pid=$!
pids="$jackd_pid"
jack_wait -w -t 10 >/dev/null 2>&1 || { cat "$work/jackd.log"; fail "jackd did not start"; }

# jalv reads console commands from a pipe held open until the end; closing
# it ends jalv the way a user's end of input does. Nothing else may hold the
# pipe's writing end (descriptor 3), or jalv would never see that end.
mkfifo "$work/console"
LV2_PATH="$LV2_DIR" jalv -n tractwave "$URI" <"$work/console" >"$work/jalv.log" 2>&1 &
jalv_pid=$!
pids="$jalv_pid $pids"
exec 3>"$work/console"
for _ in $(seq 50); do
  jack_lsp | grep -qx 'tractwave:midi_in' && break
  sleep 0.2
done
jack_lsp | grep -qx 'tractwave:out' || { cat "$work/jalv.log"; fail "jalv has no ports"; }

# A C major chord held for 1.5 s of every 2 s, over and over.
jack_midiseq seq 96000 0 60 72000 0 64 72000 0 67 72000 >"$work/seq.log" 2>&1 3>&- &
seq_pid=$!
pids="$seq_pid $pids"
for _ in $(seq 50); do
  jack_lsp | grep -qx 'seq:out' && break
  sleep 0.2
done
jack_connect seq:out tractwave:midi_in
jack_rec -f "$work/live.wav" -d 4 tractwave:out >"$work/rec.log" 2>&1 3>&- &
rec_pid=$!
sleep 2
# A preset chosen through jalv's console while the chord plays (the console
# reads the presets' data when it lists them).
echo "presets" >&3
sleep 0.2
echo "preset $URI:preset:oo" >&3
sleep 0.5
echo "controls" >&3
wait "$rec_pid"

exec 3>&-
wait "$jalv_pid" || fail "jalv exited with status $?"
stop_processes "$seq_pid"

echo "--- live: the JACK program"
# The same instrument as a program of its own, on the same server: a held
# A3, recorded for 2 s. With its window it needs a display: a virtual one
# (tools/ci.d/62-window.sh looks at the window itself).
xvfb_pid=
if grep -q 'ui:X11UI' "$bundle/manifest.ttl"; then
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" >"$work/xvfb.log" 2>&1 3>&- &
  xvfb_pid=$!
  pids="$xvfb_pid $pids"
  for _ in $(seq 50); do
    [ -s "$work/display" ] && break
    sleep 0.2
  done
  [ -s "$work/display" ] || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
  DISPLAY=:$(cat "$work/display")
  export DISPLAY
fi
"$BUILD_DIR/bin/tractwave-jack" >"$work/program.log" 2>&1 3>&- &
program_pid=$!
pids="$program_pid $jackd_pid $xvfb_pid"
for _ in $(seq 50); do
  jack_lsp | grep -qx 'tractwave:events-in' && break
  sleep 0.2
done
jack_lsp | grep -qx 'tractwave:out' || { cat "$work/program.log"; fail "the JACK program has no ports"; }
jack_midiseq seq 96000 0 57 90000 >"$work/seq.log" 2>&1 3>&- &
seq_pid=$!
pids="$seq_pid $pids"
for _ in $(seq 50); do
  jack_lsp | grep -qx 'seq:out' && break
  sleep 0.2
done
jack_connect seq:out tractwave:events-in
jack_rec -f "$work/program.wav" -d 2 tractwave:out >"$work/rec.log" 2>&1 3>&-
stop_processes "$seq_pid" "$program_pid"
if grep -iE 'error|fail' "$work/program.log"; then fail "errors in the JACK program's log"; fi
sox "$work/program.wav" -n stat 2>&1 | grep -E 'Maximum amplitude' >"$work/stat"
max=$(sed -n 's/^Maximum amplitude: *//p' "$work/stat")
# jack_midiseq plays at half velocity, a quarter of full level: the note
# must sound, and never pass the -1 dBFS limit.
awk -v max="$max" 'BEGIN { exit !(max > 0.02 && max <= 0.8913) }' ||
  fail "the JACK program's note peaks at $max"
echo "JACK program: a held A3 recorded, peak $max"

# shellcheck disable=SC2086
stop_processes "$jackd_pid" $xvfb_pid
pids=""

echo "jalv's log:"
sed 's/^/  /' "$work/jalv.log" | grep -vE '^  > *$'
if grep -iE 'error|fail|warn' "$work/jalv.log" "$work/rec.log"; then
  fail "errors in the live run's logs"
fi
# The dummy driver runs on a shared machine without real-time scheduling:
# a cycle that finishes late is reported as a process error (an xrun),
# which says nothing of the plugin. Anything else is a failure.
late=$(grep -c 'ProcessGraphAsyncMaster: Process error' "$work/jackd.log" || true)
if grep -iE 'error|fail' "$work/jackd.log" | grep -v 'ProcessGraphAsyncMaster: Process error'; then
  fail "errors in jackd's log"
fi
echo "jackd: $late late cycle(s) reported"
grep -q "^lips = 0.120000" "$work/jalv.log" || fail "jalv did not apply the preset"
sox "$work/live.wav" -n stat >"$work/stat" 2>&1
grep -E 'Length|Maximum amplitude|RMS +amplitude' "$work/stat"
max=$(sed -n 's/^Maximum amplitude: *//p' "$work/stat")
rms=$(sed -n 's/^RMS *amplitude: *//p' "$work/stat")
awk -v max="$max" -v rms="$rms" 'BEGIN { exit !(max > 0.1 && max < 4 && rms > 0.01) }' ||
  fail "the recording is not the chord (max $max, RMS $rms)"
echo "live run: recorded 4 s of jalv's output, peak $max, RMS $rms, no error in the logs"
