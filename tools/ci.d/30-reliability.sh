#!/bin/sh
# Reliability: the test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# and under ThreadSanitizer, the fuzzers' seed corpora and a fuzzing run of
# FUZZ_SECONDS (60) for each (the entry points, the voices, the score
# parser, the speech library's text side and its speaker), and valgrind
# memcheck over the example host and the test programs.
# Sanitizer builds get folders of their own next to the main build.
set -eu
. tools/lib.sh
need_packages clang-14 libclang-rt-14-dev valgrind
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
TARGETS=

# What the sanitizers slow several times over is no measure of cost: the
# tests that time the code run in the plain build only.
TIMED='RenderCostPerBlock|PlanningTimeIsLinear'

checking_build() {
  dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRACTWAVE_BUILD_TESTS=ON -DTRACTWAVE_WARNINGS_AS_ERRORS=ON \
    -DTRACTWAVE_BUILD_RENDER=OFF "$@"
  cmake --build "$dir" -j "$JOBS" ${TARGETS:+--target $TARGETS}
}

echo "--- address and undefined-behaviour sanitizers"
checking_build "$BUILD_DIR-asan" -DTRACTWAVE_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$BUILD_DIR-asan" --output-on-failure -j "$JOBS" -E "$TIMED"

echo "--- thread sanitizer"
# A race needs two threads: only the programs that run the libraries on
# several threads are built (their tests carry the label "threads"), and the
# example host's own thread pool renders a second of a choir on two threads.
# The JACK program is built too: the window stage plays this build of it
# while its window edits the parameters.
TARGETS="tractwave_tests tractwave_speech_tests tractwave_sing_tests \
  tractwave_plugin_format_tests tractwave_choir_threads tractwave_plugin-jack"
checking_build "$BUILD_DIR-tsan" -DTRACTWAVE_SANITIZE=thread
TARGETS=
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$BUILD_DIR-tsan" --output-on-failure -j "$JOBS" -L threads \
  -E "$TIMED"
"$BUILD_DIR-tsan/examples/tractwave_choir_threads" 64 2 1
unset TSAN_OPTIONS

echo "--- fuzzing"
# Without the plugins: DPF loads each LV2 binary into its unsanitized
# description generator, which cannot resolve the sanitizers' symbols, and
# no fuzzer drives a plugin. Only the fuzzers are built: the sanitized test
# suite ran above.
FUZZERS="tractwave_fuzz tractwave_voices_fuzz tractwave_score_fuzz \
  tractwave_speech_text_fuzz tractwave_speaker_fuzz tractwave_song_fuzz"
TARGETS=$FUZZERS
CC=clang-14 CXX=clang++-14 checking_build "$BUILD_DIR-fuzz" \
  -DTRACTWAVE_SANITIZE=address,undefined -DTRACTWAVE_FUZZ=ON \
  -DTRACTWAVE_BUILD_PLUGINS=OFF
TARGETS=
# Every target's seeds: the entry points', the voices' and the speech
# library's corpora and the shared score cases.
ctest --test-dir "$BUILD_DIR-fuzz" --output-on-failure -R fuzz_corpus_regression

# Fuzzes one target for FUZZ_SECONDS from its seed folders. New inputs go to
# a scratch folder; the repository's seeds stay as they are. A fuzzer is one
# process on one core, so the targets run JOBS at a time: the same fuzzing
# per target in a fraction of the wall-clock time.
fuzz() {
  name=$1 max_len=$2
  shift 2
  work="$BUILD_DIR-fuzz/run-$name"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  if "$BUILD_DIR-fuzz/tests/fuzz/$name" -max_total_time="$FUZZ_SECONDS" \
    -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "$@" >"$work/log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
    echo "fuzzer $name: $runs executions in ${FUZZ_SECONDS} s, $rate per second" \
      >"$work/summary"
  else
    {
      tail -n 60 "$work/log"
      echo "fuzzer $name found a fault; the input is in $work/"
    } >"$work/summary"
    return 1
  fi
}
fuzzing=""
failed=0
# Starts one fuzzer in the background once fewer than JOBS are running.
start_fuzz() {
  while [ "$(echo $fuzzing | wc -w)" -ge "$JOBS" ]; do
    first=${fuzzing%% *}
    fuzzing=${fuzzing#"$first"}
    fuzzing=${fuzzing# }
    wait "$first" || failed=1
  done
  fuzz "$@" &
  fuzzing="$fuzzing${fuzzing:+ }$!"
}
start_fuzz tractwave_fuzz 2048 tests/fuzz/corpus
start_fuzz tractwave_voices_fuzz 2048 tests/fuzz/voices_corpus
# The score parser, JSON and CSV, from the shared score cases.
start_fuzz tractwave_score_fuzz 8192 -dict=tests/fuzz/score.dict \
  tests/scores/render tests/scores/refuse
# The speech library: its text side (lexicon, letter rule, IPA) and its
# speaker (queue, render, frame).
start_fuzz tractwave_speech_text_fuzz 4096 -dict=tests/fuzz/speech.dict \
  tests/fuzz/speech_text_corpus
start_fuzz tractwave_speaker_fuzz 4096 -dict=tests/fuzz/speech.dict \
  tests/fuzz/speaker_corpus
# tractwave-sing's readers, MIDI files and MusicXML, from the tests' scores.
start_fuzz tractwave_song_fuzz 8192 tests/sing
for pid in $fuzzing; do wait "$pid" || failed=1; done
for name in $FUZZERS; do cat "$BUILD_DIR-fuzz/run-$name/summary"; done
[ "$failed" -eq 0 ] || exit 1

echo "--- valgrind memcheck"
# Valgrind's CPU keeps no floating-point exception flags and ignores the
# flush-to-zero mode, so the test of the caller's floating-point state and the
# test that silence decays to exact zero are left to the native and sanitizer
# runs.
memcheck() {
  valgrind -q --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect "$@" >"$BUILD_DIR/valgrind.log" 2>&1 || {
    cat "$BUILD_DIR/valgrind.log"
    echo "valgrind: errors in $1"
    exit 1
  }
  echo "valgrind: $1: 0 errors"
}
memcheck "$BUILD_DIR/examples/tractwave_host"
memcheck "$BUILD_DIR/tests/tractwave_voices_tests"
memcheck "$BUILD_DIR/tests/tractwave_tests" \
  --gtest_filter=-FloatingPointState.*:BlockDriver.SilenceAfterSpeech*
