#!/bin/sh
# What tractwave.dll exports and imports: exactly the four entry points,
# unmangled; imports from KERNEL32 and the C runtime only (libgcc and
# libstdc++ are not DLL dependencies); no entry point, so loading and
# unloading run none of its code; a TLS directory for the per-thread record;
# no fused multiply-adds. OBJDUMP names the MinGW objdump.
set -u
dll=$1
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
status=0
fail() { echo "FAIL: $*"; status=1; }

headers=$($OBJDUMP -p "$dll") || { echo "FAIL: cannot read $dll"; exit 1; }

# The name table follows "[Ordinal/Name Pointer] Table" as "[   n] name" rows.
exports=$(printf '%s\n' "$headers" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] *//p' |
  sort | tr '\n' ' ')
want="compute_diameters_from_dofs step_waveguide_block synthesize_waveguide_chunk synthesize_waveguide_chunk_ex "
[ "$exports" = "$want" ] || fail "exports are '$exports'"

imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
for d in $imports; do
  case $(echo "$d" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
    *) fail "imports $d" ;;
  esac
done

entry=$(printf '%s\n' "$headers" | sed -n 's/^AddressOfEntryPoint[[:space:]]*//p')
case $entry in
  *[1-9a-fA-F]*) fail "has an entry point at $entry: code runs at load" ;;
esac

printf '%s\n' "$headers" | grep -Eq 'Entry 9 [0-9a-f]*[1-9a-f][0-9a-f]* .*Thread Storage Directory' ||
  fail "has no TLS directory"

fused=$($OBJDUMP -d "$dll" | grep -cE '[[:space:]]vfn?m(add|sub)[0-9]+[a-z]*[[:space:]]')
[ "$fused" -eq 0 ] || fail "$fused fused multiply-adds"

echo "exports: $exports"
echo "imports: $imports"
echo "entry point: $entry"
exit $status
