#!/bin/sh
# What the Linux library exports, links and calls: exactly the four entry
# points; no runtime beyond libc, libm and the loader; no init or fini code;
# no library calls but the four math functions (and TLS lookup).
set -u
lib=$1
status=0
fail() { echo "FAIL: $*"; status=1; }

exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
want="compute_diameters_from_dofs step_waveguide_block synthesize_waveguide_chunk synthesize_waveguide_chunk_ex "
[ "$exports" = "$want" ] || fail "exports are '$exports'"

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
for n in $needed; do
  case $n in
    libc.so.*|libm.so.*|ld-linux*) ;;
    *) fail "links $n" ;;
  esac
done

if readelf -d "$lib" | grep -E '\((INIT|FINI|INIT_ARRAY|FINI_ARRAY|PREINIT_ARRAY)\)'; then
  fail "has code that runs at load or unload"
fi

undefined=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
for u in $undefined; do
  case $u in
    cosf|expf|fmodf|tanhf|__tls_get_addr) ;;
    *) fail "calls $u" ;;
  esac
done

echo "exports: $exports"
echo "needed: $needed"
echo "undefined: $undefined"
exit $status
