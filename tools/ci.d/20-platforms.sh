#!/bin/sh
# Windows x86-64 (tests under wine; the tools compiled), Linux arm64 (tests
# under qemu), the macOS objects, the installed package on every built platform, and the
# known-answer block compared across platforms. Builds go to build-platforms/.
set -eu
. tools/lib.sh
need_packages $BASE_PACKAGES binutils googletest pkg-config lv2-dev dpf-source clang-14 lld-14 llvm-14 \
  g++-mingw-w64-x86-64-posix wine wine64 g++-aarch64-linux-gnu qemu-user

OUT="build-platforms"
rm -rf "$OUT"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
stage_start=$(date +%s)

# Headless wine with the Windows build's own prefix; one wineserver stays up
# for the whole stage instead of starting for each test program.
WINEPREFIX=$OUT/windows/wine
WINEDEBUG=-all
WINEDLLOVERRIDES=mscoree,mshtml=
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot --init >/dev/null 2>&1
run_windows() { wine "$@"; }
run_arm64() { qemu-aarch64 -L /usr/aarch64-linux-gnu "$@"; }
run_linux() { "$@"; }

# Builds and tests one cross platform; PLUGINS (ON or OFF) says whether its
# VST3 and CLAP plugins are built and tested with it.
cross_build() {
  name=$1 toolchain=$2 plugins=$3
  echo "--- $name: build and test"
  cmake -S . -B "$OUT/$name" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$toolchain.cmake" \
    -DTRACTWAVE_WARNINGS_AS_ERRORS=ON -DTRACTWAVE_BUILD_PLUGINS="$plugins" >/dev/null
  cmake --build "$OUT/$name" -j "$JOBS" >/dev/null
  # Through a file, not a pipe: a pipe's status would be the last command's,
  # and a failing test would pass unseen.
  # The speech limits tests time the planner and render minutes of speech:
  # natively they take seconds, under an emulator tens of minutes, and a
  # timing ratio measured there says nothing about the library.
  if ! ctest --test-dir "$OUT/$name" --output-on-failure -j "$JOBS" \
    -E '^(Queue[.]PlanningTimeIsLinearEvenWithoutVowels|Render[.]EverySampleAfterTheSpeechIsExactlyZero)$' \
    >"$OUT/$name-ctest.log" 2>&1; then
    cat "$OUT/$name-ctest.log"
    echo "$name: tests failed"
    exit 1
  fi
  tail -n 3 "$OUT/$name-ctest.log"
  ctest --test-dir "$OUT/$name" -R '^(library|plugin)_exports' --output-on-failure -V \
    >"$OUT/$name-exports.log" 2>&1 || {
    cat "$OUT/$name-exports.log"
    exit 1
  }
  grep -E '^[0-9]+: (exports|imports|needed|undefined|machine|entry)' \
    "$OUT/$name-exports.log"
  if [ "$plugins" = ON ]; then
    ctest --test-dir "$OUT/$name" -R '^(Clap|Vst3)[.]' -V \
      >"$OUT/$name-plugins.log" 2>&1 || {
      cat "$OUT/$name-plugins.log"
      exit 1
    }
    grep -E 'VST3 class|Test +#' "$OUT/$name-plugins.log" | sed 's/^[0-9]*: //'
  fi
}

# Installs a build, moves the installed tree, and builds the example host
# against it through the CMake package and through pkg-config.
consume() {
  name=$1 build=$2 run=$3 cc=$4
  shift 4
  echo "--- $name: installed package"
  cmake --install "$build" --prefix "$OUT/$name-prefix" >/dev/null
  mv "$OUT/$name-prefix" "$OUT/$name-moved"
  prefix=$OUT/$name-moved
  # A native build searches the prefix; a cross build's find_package looks
  # only inside the target's root, so it is given the package folder itself.
  if [ $# -eq 0 ]; then
    set -- -DCMAKE_PREFIX_PATH="$prefix"
  else
    set -- "$@" -Dtractwave_DIR="$prefix/lib/cmake/tractwave"
  fi
  cmake -S examples/consumer -B "$OUT/$name-consumer" "$@" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$OUT/$name-consumer" >/dev/null
  exe=
  if [ "$name" = windows ]; then
    cp "$prefix/bin/tractwave.dll" "$prefix/bin/tractwave_voices.dll" \
      "$OUT/$name-consumer/"
    exe=.exe
  fi
  for pair in host:tractwave choir:tractwave_voices; do
    host=${pair%%:*} package=${pair#*:}
    pcflags=$(PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig pkg-config --cflags --libs "$package")
    # shellcheck disable=SC2086
    $cc "examples/$host.c" $pcflags -lm -o "$OUT/$name-consumer/pc_$host$exe"
    LD_LIBRARY_PATH=$prefix/lib $run "$OUT/$name-consumer/consumer_$host$exe"
    LD_LIBRARY_PATH=$prefix/lib $run "$OUT/$name-consumer/pc_$host$exe"
  done
}

# Prints the largest difference of a platform's known-answer block from the
# Linux x86-64 one, and fails beyond about five significant digits.
compare_block() {
  name=$1
  shift
  "$@" | tr -d '\r' >"$OUT/block-$name.txt"
  paste "$OUT/block-linux.txt" "$OUT/block-$name.txt" | awk -v name="$name" '
    { d = $2 - $1; if (d < 0) d = -d; a = $1 < 0 ? -$1 : $1
      if (d > max) { max = d; at = NR }
      if (d > a * 1e-4 + 1e-7) bad++; n++ }
    END { printf "%s: 64 samples and the phase, largest difference from Linux x86-64 %.3g (line %d)\n",
            name, max, at
          exit (n != 65 || bad > 0) }'
}

# The Windows build has the VST3 and CLAP plugins (without their window),
# played by the CLAP host test and read by the VST3 one under wine.
cross_build windows x86_64-w64-mingw32 ON
echo "--- Windows: the tools' sources (no libsndfile for Windows to link with)"
sh tests/check_windows_tools.sh "$OUT/windows-tools"
# The arm64 build has the LV2, VST3 and CLAP plugins (no window: no arm64
# Cairo here); the CLAP host test and the VST3 factory test run under qemu,
# and DPF's description generator loads the LV2 binary under qemu too.
cross_build arm64 aarch64-linux-gnu ON
# The generator's ports (numbers and symbols) are the x86-64 build's.
ports() { grep -E 'lv2:(index|symbol)' "$1" || true; }
arm64_ttl=$OUT/arm64/bin/tractwave_plugin.lv2/tractwave.ttl
linux_ttl=$BUILD_DIR/bin/tractwave_plugin.lv2/tractwave.ttl
if [ ! -s "$arm64_ttl" ] || [ ! -s "$linux_ttl" ] ||
  [ "$(ports "$arm64_ttl")" != "$(ports "$linux_ttl")" ]; then
  echo "platforms: the arm64 LV2 description's ports are not the x86-64 one's"
  exit 1
fi
echo "arm64 LV2: DPF's description under qemu, $(ports "$arm64_ttl" | grep -c lv2:index) ports as on x86-64"
# The arm64 library fuses multiply-adds, as the shipped one does; the x86-64
# libraries keep the written rounding and contain none.
fused_ops() {
  "$1" -d "$2" | grep -cE '[[:space:]](fn?madd|fn?msub|vfn?madd[0-9a-z]*|vfn?msub[0-9a-z]*)[[:space:]]' || true
}
for lib in "$OUT/arm64/libtractwave.so" "$BUILD_DIR/libtractwave.so" \
  "$OUT/windows/bin/tractwave.dll"; do
  [ -f "$lib" ] || { echo "platforms: $lib is missing"; exit 1; }
done
arm64_fused=$(fused_ops aarch64-linux-gnu-objdump "$OUT/arm64/libtractwave.so")
linux_fused=$(fused_ops objdump "$BUILD_DIR/libtractwave.so")
windows_fused=$(fused_ops x86_64-w64-mingw32-objdump "$OUT/windows/bin/tractwave.dll")
echo "fused multiply-adds: arm64 $arm64_fused, Linux x86-64 $linux_fused, Windows x86-64 $windows_fused"
if [ "$arm64_fused" -eq 0 ] || [ "$linux_fused" -ne 0 ] || [ "$windows_fused" -ne 0 ]; then
  echo "platforms: multiply-add contraction is not as intended (arm64 fused, x86-64 never)"
  exit 1
fi

echo "--- macOS: library objects (no SDK: stand-in math.h)"
sh tests/check_macos.sh "$OUT/macos"

echo "--- known-answer block"
"$BUILD_DIR/tests/tractwave_known_block" >"$OUT/block-linux.txt"
compare_block windows run_windows "$OUT/windows/bin/tractwave_known_block.exe"
compare_block arm64 run_arm64 "$OUT/arm64/tests/tractwave_known_block"

G=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | sort -V | tail -n 1)
consume linux "$BUILD_DIR" run_linux cc
consume windows "$OUT/windows" run_windows \
  "clang-14 --target=x86_64-w64-mingw32 -fuse-ld=lld -L$G" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/x86_64-w64-mingw32.cmake"
consume arm64 "$OUT/arm64" run_arm64 aarch64-linux-gnu-gcc \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/aarch64-linux-gnu.cmake"

echo "platforms stage: $(($(date +%s) - stage_start)) s"
