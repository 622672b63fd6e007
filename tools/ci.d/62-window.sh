#!/bin/sh
# The plugin's window as a user meets it, on a virtual display (Xvfb) with
# jackd's dummy driver: the JACK program opens it while a chord plays, a
# click on a preset changes the tube it draws (the window's edit goes to the
# instrument and the audio thread's picture of the tract comes back), and
# jalv's GTK host opens the LV2 window through suil. Screenshots of both are
# kept in $BUILD_DIR/artifacts/ and must show the picture: enough distinct
# colours, and the mouth's own colour.
set -eu
. tools/lib.sh
need_packages xvfb imagemagick xdotool jackd2 jalv
URI=urn:tractwave:instrument
program=$BUILD_DIR/bin/tractwave-jack
LV2_DIR=$(cd "$BUILD_DIR/lv2" 2>/dev/null && pwd) || LV2_DIR=
if [ ! -x "$program" ] || [ -z "$LV2_DIR" ]; then
  echo "the plugins were not built (see the cmake warning)" >&2
  exit 1
fi
if ! grep -q 'ui:X11UI' "$LV2_DIR/tractwave.lv2/manifest.ttl"; then
  echo "the plugins were built without their window (see the cmake warning)" >&2
  exit 1
fi
artifacts=$BUILD_DIR/artifacts
mkdir -p "$artifacts"

start_scratch
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A virtual display on a number nobody uses (Xvfb picks it and writes it
# to descriptor 5 when ready), and a JACK server of this run's own.
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$work/display" >"$work/xvfb.log" 2>&1 &
pids="$!"
for _ in $(seq 50); do
  [ -s "$work/display" ] && break
  sleep 0.2
done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
DISPLAY=:$(cat "$work/display")
export DISPLAY
JACK_DEFAULT_SERVER=tractwave-window-$$
export JACK_DEFAULT_SERVER
jackd --no-realtime -d dummy -r 48000 -p 1024 >"$work/jackd.log" 2>&1 &
pids="$! $pids"
jack_wait -w -t 10 >/dev/null 2>&1 || { cat "$work/jackd.log"; fail "jackd did not start"; }

# The window named NAME, once it is mapped.
find_window() {
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  return 1
}
# Distinct colours in a picture, and pixels of exactly one colour.
colours() { convert "$1" -format %k info:; }
pixels_of() { convert "$1" txt:- | grep -ci "$2" || true; }
# The mouth's fill colour in the window's picture of the tract.
ORAL_FILL='#F3C7A8'

echo "--- the JACK program's window"
"$program" >"$work/program.log" 2>&1 &
program_pid=$!
pids="$program_pid $pids"
window=$(find_window '^tractwave$') || { cat "$work/program.log"; fail "the JACK program opened no window"; }
for _ in $(seq 50); do
  jack_lsp | grep -qx 'tractwave:events-in' && break
  sleep 0.2
done
jack_midiseq seq 96000 0 57 90000 0 61 90000 0 64 90000 >"$work/seq.log" 2>&1 &
seq_pid=$!
pids="$seq_pid $pids"
for _ in $(seq 50); do
  jack_lsp | grep -qx 'seq:out' && break
  sleep 0.2
done
jack_connect seq:out tractwave:events-in
sleep 1
import -window "$window" "$work/before.png"
# The "oo" preset's button (the third), in the window's own coordinates.
xdotool mousemove --window "$window" 600 372 click 1
sleep 1
import -window "$window" "$artifacts/window-jack.png"
n=$(colours "$artifacts/window-jack.png")
fill=$(pixels_of "$artifacts/window-jack.png" "$ORAL_FILL")
echo "window $(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: //p'): $n colours, $fill pixels of the mouth's colour"
[ "$n" -ge 50 ] || fail "the JACK program's window has $n colours"
[ "$fill" -ge 2000 ] || fail "the JACK program's window draws no tract"
# Only the tubes, below the notes' count and above the section numbers.
convert "$work/before.png" -crop 720x200+0+40 +repage "$work/tube-before.png"
convert "$artifacts/window-jack.png" -crop 720x200+0+40 +repage "$work/tube-after.png"
changed=$(compare -metric AE "$work/tube-before.png" "$work/tube-after.png" null: 2>&1 || true)
echo "the preset click changed $changed pixels of the tube"
[ "${changed%%[!0-9]*}" -ge 500 ] || fail "the tube did not follow the preset ($changed pixels)"
# Lyrics mode: a lyric chosen in the window and the lyrics slider pushed to
# its end; the looping chord sings a syllable each time round, and the row
# of syllables must show the one it sings lit (the lights' colour, which
# the row has nowhere else).
xdotool mousemove --window "$window" 620 620 click 1
xdotool mousemove --window "$window" 452 519 click 1
sleep 3
import -window "$window" "$artifacts/window-jack-lyrics.png"
convert "$artifacts/window-jack-lyrics.png" -crop 720x22+0+571 +repage "$work/syllables.png"
lit=$(pixels_of "$work/syllables.png" '#0F766E')
echo "lyrics mode: $lit pixels of the lit syllable"
[ "$lit" -ge 100 ] || fail "the window lights no syllable in lyrics mode ($lit pixels)"
stop_processes "$seq_pid" "$program_pid"
if grep -iE 'error|fail' "$work/program.log"; then fail "errors in the JACK program's log"; fi

# The same under the thread sanitizer, when the reliability stage built it:
# the window's edits and picture against the audio thread, for a few
# seconds of a chord, a preset and a slider dragged.
tsan_program=$BUILD_DIR-tsan/bin/tractwave-jack
if [ -x "$tsan_program" ]; then
  echo "--- the JACK program under the thread sanitizer"
  TSAN_OPTIONS=halt_on_error=0 "$tsan_program" >"$work/tsan.log" 2>&1 &
  program_pid=$!
  pids="$program_pid $pids"
  window=$(find_window '^tractwave$') || { cat "$work/tsan.log"; fail "the sanitized program opened no window"; }
  for _ in $(seq 50); do
    jack_lsp | grep -qx 'tractwave:events-in' && break
    sleep 0.2
  done
  jack_midiseq seq 96000 0 57 90000 0 64 90000 >"$work/seq.log" 2>&1 &
  seq_pid=$!
  pids="$seq_pid $pids"
  for _ in $(seq 50); do
    jack_lsp | grep -qx 'seq:out' && break
    sleep 0.2
  done
  jack_connect seq:out tractwave:events-in
  sleep 1
  xdotool mousemove --window "$window" 600 372 click 1
  sleep 1
  xdotool mousemove --window "$window" 150 310 mousedown 1 mousemove --window "$window" 180 310 mouseup 1
  sleep 2
  stop_processes "$seq_pid" "$program_pid"
  # Data races are what the window could cause; the lock orders Cairo keeps
  # inside its own (uninstrumented) drawing, on the window's thread alone,
  # are counted but not failed.
  if grep -q 'WARNING: ThreadSanitizer: data race' "$work/tsan.log"; then
    cat "$work/tsan.log"
    fail "the thread sanitizer reports data races in the JACK program"
  fi
  echo "no data race reported ($(grep -c 'WARNING: ThreadSanitizer' "$work/tsan.log" || true) other reports, none a data race)"
fi

echo "--- jalv.gtk3 with the LV2 window (suil)"
LV2_PATH="$LV2_DIR" jalv.gtk3 -n tractwave-ui "$URI" >"$work/jalv.log" 2>&1 &
jalv_pid=$!
pids="$jalv_pid $pids"
window=$(find_window '^tractwave') || { cat "$work/jalv.log"; fail "jalv.gtk3 opened no window"; }
sleep 2
import -window "$window" "$artifacts/window-jalv.png"
stop_processes "$jalv_pid"
n=$(colours "$artifacts/window-jalv.png")
fill=$(pixels_of "$artifacts/window-jalv.png" "$ORAL_FILL")
echo "jalv.gtk3's window: $n colours, $fill pixels of the mouth's colour"
sed 's/^/  /' "$work/jalv.log"
[ "$n" -ge 50 ] || fail "jalv.gtk3's window has $n colours"
[ "$fill" -ge 2000 ] || fail "jalv.gtk3 shows no tract (the plugin's window did not open)"
if grep -iE 'error|fail|no ui' "$work/jalv.log"; then fail "errors in jalv's log"; fi
echo "screenshots: $artifacts/window-jack.png $artifacts/window-jack-lyrics.png $artifacts/window-jalv.png"
