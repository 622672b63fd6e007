#!/bin/sh
# Spectrogram of the demo song's first phrase ("Daisy, Daisy, give me your
# answer do", the first 9.9 s) sung by the male voice, at 16 kHz (what the
# recogniser hears), written to docs/sing-daisy-first-phrase.png.
#   bench/speech/sing_spectrogram.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/../.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/sing/tractwave-sing" -q examples/daisy-bell.musicxml --voice male -o "$work/daisy.wav"
sox -V1 -R "$work/daisy.wav" -n remix 1 rate 16k trim 0 9.9 spectrogram -x 990 -y 257 -z 80 \
  -t "tractwave male sings: Daisy, Daisy, give me your answer do (16 kHz)" \
  -o docs/sing-daisy-first-phrase.png.tmp
mv docs/sing-daisy-first-phrase.png.tmp docs/sing-daisy-first-phrase.png
