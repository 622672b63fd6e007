#!/bin/sh
# Spectrograms of one Harvard sentence by tractwave (male), espeak-ng and
# flite kal16, each at 16 kHz (what the recogniser hears), written to
# docs/speech-*.png.   bench/speech/spectrograms.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/../.."
build=${1:-build}
text="The birch canoe slid on the smooth planks."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/say/tractwave-say" -q -o "$work/tractwave.wav" -- "$text"
espeak-ng -v en-us -w "$work/espeak-ng.wav" -- "$text"
flite -voice kal16 -t "$text" -o "$work/flite-kal16.wav"
for system in tractwave espeak-ng flite-kal16; do
  sox -V1 -R "$work/$system.wav" -n remix 1 rate 16k spectrogram -x 640 -y 257 -z 80 \
    -t "$system: $text (16 kHz)" -o "docs/speech-$system.png.tmp"
  mv "docs/speech-$system.png.tmp" "docs/speech-$system.png"
done
