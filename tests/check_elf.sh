#!/bin/sh
# What a Linux library exports, links and calls: exactly the four entry
# points; no runtime beyond libc, libm and the loader; no init or fini code;
# no library calls but the four math functions (and TLS lookup). Multiply-adds
# are fused on arm64 and nowhere else. NM, READELF and OBJDUMP name the
# target's tools (the host's by default).
set -u
lib=$1
NM=${NM:-nm}
READELF=${READELF:-readelf}
OBJDUMP=${OBJDUMP:-objdump}
status=0
fail() { echo "FAIL: $*"; status=1; }

exports=$($NM -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
want="compute_diameters_from_dofs step_waveguide_block synthesize_waveguide_chunk synthesize_waveguide_chunk_ex "
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
  case $u in
    cosf|expf|fmodf|tanhf|__tls_get_addr) ;;
    *) fail "calls $u" ;;
  esac
done

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
