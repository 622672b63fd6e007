#!/bin/sh
# CI stage: the speech judges, on the main build. The vowels of ten hVd words
# by LPC (at least 9 right), then pocketsphinx's forced choice among the
# digits and among the hVd words its dictionary holds, tractwave and
# espeak-ng rendered and dithered the same way in the same run (at least 46
# of 60 digits and no fewer than espeak-ng, at least 40 of 48 hVd words).
# Everything is deterministic: the same build gives the same scores. Then the
# speed of one male voice at 48 kHz on one thread (at least 200 times real
# time, by CPU time, so that other work on the machine does not count).
# Then a short run of the consonant and sentence judges, ours beside the
# peers: the development half of the rhyme test (48 word pairs) and one list
# of Harvard sentences, tractwave male against espeak-ng and flite kal16.
# Their floors sit below the scores measured when they were set, by a margin
# that no change of the judges' inputs within one build can cross (the same
# build gives the same scores), so that they catch a voice that has stopped
# being understood: the rhyme test at least 52% right plain and dithered
# (measured 57 and 64), the sentences' word error rate at most 96% (measured
# 91 and 85). Last, the sung pitch and timing of the male voice over its
# range and the demo song (docs/sing.md). The full set of judges runs from
# bench/speech/ (docs/speech.md).
set -eu
. tools/lib.sh
need_packages python3 python3-numpy python3-scipy pocketsphinx pocketsphinx-en-us espeak-ng \
  flite sox python3-pytest

PYTHON=/usr/bin/python3
stage_start=$(date +%s)
$PYTHON -m pytest -q -p no:cacheprovider bench/speech/test_judges.py
$PYTHON bench/speech/vowels.py --build "$BUILD_DIR"
$PYTHON bench/speech/recogniser.py --build "$BUILD_DIR" --check
peers=tractwave-male,espeak-ng,flite-kal16
$PYTHON bench/speech/rhyme.py --build "$BUILD_DIR" --half dev --systems $peers --need 52
$PYTHON bench/speech/sentences.py --build "$BUILD_DIR" --lists 3 --systems $peers --worst 96
bench="$BUILD_DIR/bench/tractwave_speech_bench"
if [ -x "$bench" ]; then
  "$bench" --benchmark_filter='BM_Male48k|BM_Sung48k' --benchmark_min_time=2 \
    --benchmark_format=json 2>/dev/null | $PYTHON -c '
import json, sys
speeds = {b["name"]: b["x_real_time"] for b in json.load(sys.stdin)["benchmarks"]}
male, sung = speeds["BM_Male48k"], speeds["BM_Sung48k"]
print(f"speech: one male voice at 48 kHz renders {male:.0f} times faster than "
      f"real time, singing {sung:.0f} times")
# A guard against gross slowdowns, not the goal: the goal is 300x, and this
# build measures about 250x on the CI machine (docs/speech.md).
sys.exit(min(speeds.values()) < 200)'
else
  echo "speech: the benchmark was not built (Google Benchmark missing)" >&2
  exit 1
fi
# The README's sentence, spoken from words: the dictionary and the tool as a
# user has them.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$BUILD_DIR/tools/say/tractwave-say" -o "$work/say.wav" \
  "Hello, I am tractwave. Can you understand me?"
# A small score sung from its lyrics, as a user runs tractwave-sing.
"$BUILD_DIR/tools/sing/tractwave-sing" -o "$work/sing.wav" tests/sing/daisy.musicxml
# The sung pitch and timing of the male voice (docs/sing.md): every note of
# its range held and every note of the demo song within 10 cents (measured
# at most 2.2 and 7.8); in the demo each vowel after a consonant or a rest
# at its energy rise within 20 ms of its note (measured 18), every onset
# consonant before the note, no step at a legato change above the held
# vowels' own (measured 0.82 of it). Deterministic, a few seconds.
$PYTHON bench/speech/sung_pitch.py --build "$BUILD_DIR" --voices male --songs demo --worst 10
$PYTHON bench/speech/sung_timing.py --build "$BUILD_DIR" --voices male --songs demo --check
echo "speech stage: $(($(date +%s) - stage_start)) s"
