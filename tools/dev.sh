#!/bin/sh
# One entry point for developers and CI on a Debian machine.
#   tools/dev.sh demo   install build packages, build, render the demo to
#                       tractwave-demo.wav, a spoken sentence to
#                       tractwave-speech-demo.wav and a Harvard sentence by
#                       each voice to tractwave-harvard-{male,female,child}.wav
#                       and the chorus of "Daisy Bell" to
#                       tractwave-daisy-bell.wav
#   tools/dev.sh test   install test packages, build with warnings as errors,
#                       run the test suite, then every stage in tools/ci.d/
set -eu
cd "$(dirname "$0")/.."
. tools/lib.sh

configure_and_build() {
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$BUILD_DIR" -j "$JOBS"
}

case "${1:-}" in
  demo)
    need_packages $BASE_PACKAGES
    configure_and_build -DTRACTWAVE_BUILD_TESTS=OFF
    "$BUILD_DIR/tools/render/tractwave-render" -o tractwave-demo.wav
    # Spoken from phonemes, so that the demo needs no pronouncing dictionary
    # ("Hello! I am tractwave, a talking vocal tract. Can you understand me?").
    "$BUILD_DIR/tools/say/tractwave-say" -o tractwave-speech-demo.wav --phonemes \
      "HH AH0 L OW1 ! AY1 | AE1 M | T R AE1 K T W EY2 V , AH0 | T AO1 K IH0 NG | V OW1 K AH0 L | T R AE1 K T . K AE1 N | Y UW1 | AH2 N D ER0 S T AE1 N D | M IY1 ?"
    # A sentence of the standard intelligibility lists ("The birch canoe
    # slid on the smooth planks."), as the lexicon transcribes it, by each
    # voice.
    for voice in male female child; do
      "$BUILD_DIR/tools/say/tractwave-say" -q -o "tractwave-harvard-$voice.wav" --voice "$voice" \
        --phonemes "DH AH0 | B ER1 CH | K AH0 N UW1 | S L IH1 D | AA0 N | DH AH0 | S M UW1 DH | P L AE1 NG K S ."
    done
    # Sung from the score in examples/ by the male voice.
    "$BUILD_DIR/tools/sing/tractwave-sing" -q examples/daisy-bell.musicxml \
      --voice male -o tractwave-daisy-bell.wav
    echo "listen: play tractwave-speech-demo.wav tractwave-harvard-male.wav tractwave-daisy-bell.wav tractwave-demo.wav (or aplay); look: sox tractwave-demo.wav -n spectrogram -o tractwave-demo.png"
    ;;
  test)
    need_packages $BASE_PACKAGES $TEST_PACKAGES
    configure_and_build -DTRACTWAVE_BUILD_TESTS=ON -DTRACTWAVE_WARNINGS_AS_ERRORS=ON
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS"
    # Further stages (other platforms, sanitizers, bindings), each a script
    # that installs what it needs and fails the run on any failure.
    for stage in tools/ci.d/*.sh; do
      [ -e "$stage" ] || continue
      echo "=== stage $stage"
      started=$(date +%s)
      BUILD_DIR="$BUILD_DIR" sh "$stage"
      echo "=== stage $stage: $(($(date +%s) - started)) s"
    done
    ;;
  *)
    echo "usage: tools/dev.sh demo|test" >&2
    exit 2
    ;;
esac
