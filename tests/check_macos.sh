#!/bin/sh
# macOS as far as this machine goes without an SDK. The library source is
# compiled with clang as a universal (x86_64 + arm64) object, with the
# per-slice -ffp-contract flags the CMake project uses, against a stand-in
# math.h that declares only the four functions the library calls (clang's own
# stdint.h and stddef.h serve). The voices library is checked the same way. Each slice is then linked into a dylib with ld64.lld,
# leaving the libSystem symbols undefined, with the exported-symbols list,
# install name and versions the CMake project gives. Checked: the objects'
# and dylibs' exported symbols, fused multiply-adds in the arm64 slice only,
# the install name and versions. Not checked: anything at run time.
# Usage: check_macos.sh OUTDIR
set -eu
out=$1
src=$(cd "$(dirname "$0")/.." && pwd)
status=0
fail() { echo "FAIL: $*"; status=1; }
rm -rf "$out"
mkdir -p "$out/include" "$out/bin"
cat >"$out/include/math.h" <<'HDR'
#ifdef __cplusplus
extern "C" {
#endif
float cosf(float);
float expf(float);
float fmodf(float, float);
float tanhf(float);
#ifdef __cplusplus
}
#endif
HDR
# The clang driver assembles a universal object with lipo.
ln -s "$(command -v llvm-lipo-14)" "$out/bin/lipo"

# One library: its source (in src/), its export list and its dylib name.
check_library() {
  source=$1 exports_list=$2 name=$3 building=$4
  PATH=$out/bin:$PATH clang++-14 -target x86_64-apple-macos10.15 \
    -arch x86_64 -arch arm64 -mmacosx-version-min=10.15 \
    -nostdlibinc -isystem "$out/include" -I"$src/include" \
    -std=c++17 -O2 -Wall -Wextra -Werror -D"$building" \
    -fvisibility=hidden -fvisibility-inlines-hidden \
    -fno-exceptions -fno-rtti -fno-threadsafe-statics \
    -fno-builtin-memset -fno-builtin-memcpy \
    -Xarch_arm64 -ffp-contract=fast -Xarch_x86_64 -ffp-contract=off \
    -c "$src/src/$source.cpp" -o "$out/$source.o"
  echo "$name universal object: $(llvm-lipo-14 -archs "$out/$source.o")"

  want=$(sort "$src/src/$exports_list" | tr '\n' ' ')
  for arch in x86_64 arm64; do
    obj=$out/$source-$arch.o
    llvm-lipo-14 "$out/$source.o" -thin "$arch" -output "$obj"
    defined=$(llvm-nm-14 --extern-only --defined-only "$obj" | awk '{print $3}' | sort | tr '\n' ' ')
    [ "$defined" = "$want" ] || fail "$arch object defines '$defined'"
    undefined=$(llvm-nm-14 --undefined-only "$obj" | awk '{print $NF}' | sort | tr '\n' ' ')
    fused=$(llvm-objdump-14 -d "$obj" | grep -cE '[[:space:]](fn?madd|fn?msub|vfn?m(add|sub)[0-9]+[a-z]*)[[:space:]]' || true)
    case $arch in
      arm64) [ "$fused" -gt 0 ] || fail "arm64 slice has no fused multiply-adds" ;;
      *) [ "$fused" -eq 0 ] || fail "$arch slice has $fused fused multiply-adds" ;;
    esac

    version=11.0
    [ "$arch" = x86_64 ] && version=10.15
    dylib=$out/$arch/lib$name.1.dylib
    mkdir -p "$out/$arch"
    ld64.lld-14 -arch "$arch" -platform_version macos "$version" "$version" \
      -dylib -o "$dylib" "$obj" -undefined dynamic_lookup \
      -exported_symbols_list "$src/src/$exports_list" \
      -install_name "@rpath/lib$name.1.dylib" \
      -compatibility_version 1.0.0 -current_version 1.0.0
    exports=$(llvm-objdump-14 --macho --exports-trie "$dylib" |
      awk '/^0x/ {print $2}' | sort | tr '\n' ' ')
    [ "$exports" = "$want" ] || fail "$arch dylib exports '$exports'"
    id=$(llvm-otool-14 -L "$dylib" | sed -n '2p' | sed 's/^[[:space:]]*//')
    [ "$id" = "@rpath/lib$name.1.dylib (compatibility version 1.0.0, current version 1.0.0)" ] ||
      fail "$arch dylib id is '$id'"
    echo "$arch: defines $defined"
    echo "$arch: calls $undefined"
    echo "$arch: fused multiply-add instructions: $fused; dylib $id exports $exports"
  done
}

check_library waveguide tractwave.exports tractwave TRACTWAVE_BUILDING
check_library voices tractwave_voices.exports tractwave_voices TRACTWAVE_VOICES_BUILDING
exit $status
