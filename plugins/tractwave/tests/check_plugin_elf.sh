#!/bin/sh
# What a Linux plugin binary exports, links and calls, as the libraries'
# check_elf.sh asks of them, less what DPF's C++ needs: exactly the entry
# points of its format (DPF's export list); no runtime but libc and libm
# (the C++ runtime is linked in, so no host needs a particular libstdc++);
# every call resolved there; multiply-adds fused on arm64 only.
# NM, READELF and OBJDUMP name the target's tools (the host's by default).
# A binary with the window also links the drawing and windowing libraries
# given after "--", and only those may supply unversioned symbols.
# Usage: check_plugin_elf.sh BINARY ENTRY_POINT... [-- LIBRARY...]
set -u
bin=$1
shift
entries=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  entries="$entries $1"
  shift
done
[ $# -gt 0 ] && shift
# The sonames the window's libraries are linked by, and what they define.
window_sonames=""
window_symbols=""
for lib in "$@"; do
  soname=$(${READELF:-readelf} -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  window_sonames="$window_sonames $soname"
  window_symbols="$window_symbols $(${NM:-nm} -D --defined-only "$lib" | awk '{print $3}' | tr '\n' ' ')"
done
NM=${NM:-nm}
READELF=${READELF:-readelf}
OBJDUMP=${OBJDUMP:-objdump}
status=0
fail() { echo "FAIL: $*"; status=1; }

[ -f "$bin" ] || { echo "FAIL: no $bin"; exit 1; }
exports=$($NM -D --defined-only "$bin" | awk '{print $3}' | sort | tr '\n' ' ')
# shellcheck disable=SC2086
want=$(printf '%s\n' $entries | sort | tr '\n' ' ')
[ "$exports" = "$want" ] || fail "exports are '$exports', not '$want'"

needed=$($READELF -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
for n in $needed; do
  case $n in
    libc.so.*|libm.so.*|ld-linux*) ;;
    *) case " $window_sonames " in
         *" $n "*) ;;
         *) fail "links $n" ;;
       esac ;;
  esac
done

# Strong references come from libc or libm (versioned); an unversioned one
# would be left for the host to supply. Weak ones may stay unresolved.
undefined=$($NM -D --undefined-only "$bin" | awk '$1 == "U" {print $2}')
for u in $undefined; do
  case $u in
    *@GLIBC_*) ;;
    *) case " $window_symbols " in
         *" $u "*) ;;
         *) fail "leaves $u to the host" ;;
       esac ;;
  esac
done

machine=$($READELF -h "$bin" | sed -n 's/^ *Machine: *//p')
fused=$($OBJDUMP -d "$bin" |
  grep -cE '[[:space:]](fn?madd|fn?msub|fmla|fmls|v?fn?m(add|sub)[0-9]+[a-z]*)[[:space:]]')
case $machine in
  AArch64) [ "$fused" -gt 0 ] || fail "no fused multiply-adds on $machine" ;;
  *) [ "$fused" -eq 0 ] || fail "$fused fused multiply-adds on $machine" ;;
esac

echo "exports: $exports"
echo "needed: $needed"
echo "undefined: $(echo $undefined | wc -w) symbols, all from libc, libm and the window's libraries"
echo "machine: $machine, fused multiply-add instructions: $fused"
exit $status
