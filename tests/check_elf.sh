#!/bin/sh
# What a Linux library exports, links and calls: exactly the entry points its
# version script lists; no runtime beyond libc, libm and the loader; no init
# or fini code; no library calls but the four math functions, or those
# CALLS lists (and TLS lookup, unless TLS is "none": then the library must
# have no thread-local storage at all). Multiply-adds are fused on arm64 and
# nowhere else. NM, READELF and OBJDUMP name the target's tools (the host's
# by default).
# Usage: [CALLS="..."] check_elf.sh LIBRARY VERSION_SCRIPT [TLS]
set -u
lib=$1
map=$2
tls=${3:-allowed}
NM=${NM:-nm}
READELF=${READELF:-readelf}
CALLS=${CALLS:-cosf expf fmodf tanhf}
OBJDUMP=${OBJDUMP:-objdump}
status=0
fail() { echo "FAIL: $*"; status=1; }

exports=$($NM -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
# The names between "global:" and "local:" in the version script.
want=$(sed -n '/global:/,/local:/s/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);.*/\1/p' "$map" |
  sort | tr '\n' ' ')
[ "$exports" = "$want" ] || fail "exports are '$exports'"

needed=$($READELF -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
for n in $needed; do
  case $n in
    libc.so.*|libm.so.*|ld-linux*) ;;
    *) fail "links $n" ;;
  esac
done

if $READELF -d "$lib" | grep -E '\((INIT|FINI|INIT_ARRAY|FINI_ARRAY|PREINIT_ARRAY)\)'; then
  fail "has code that runs at load or unload"
fi

undefined=$($NM -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
for u in $undefined; do
  case " $CALLS " in
    *" $u "*) continue ;;
  esac
  case $u in
    __tls_get_addr) [ "$tls" != none ] || fail "calls $u" ;;
    *) fail "calls $u" ;;
  esac
done

if [ "$tls" = none ] && $READELF -lW "$lib" | grep -q '^ *TLS '; then
  fail "has thread-local storage"
fi

machine=$($READELF -h "$lib" | sed -n 's/^ *Machine: *//p')
fused=$($OBJDUMP -d "$lib" |
  grep -cE '[[:space:]](fn?madd|fn?msub|fmla|fmls|v?fn?m(add|sub)[0-9]+[a-z]*)[[:space:]]')
case $machine in
  AArch64) [ "$fused" -gt 0 ] || fail "no fused multiply-adds on $machine" ;;
  *) [ "$fused" -eq 0 ] || fail "$fused fused multiply-adds on $machine" ;;
esac

echo "exports: $exports"
echo "needed: $needed"
echo "undefined: $undefined"
echo "machine: $machine, fused multiply-add instructions: $fused"
exit $status
