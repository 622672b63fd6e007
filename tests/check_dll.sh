#!/bin/sh
# What a tractwave DLL exports and imports: exactly the entry points of its
# version script, unmangled; imports from KERNEL32 and the C runtime only
# (libgcc and libstdc++ are not DLL dependencies); no entry point, so loading
# and unloading run none of its code; a TLS directory for the per-thread
# record when TLS is "required", none when it is "none"; no imported
# functions but those CALLS lists; no fused multiply-adds. OBJDUMP names the
# MinGW objdump.
# Usage: [CALLS="..."] check_dll.sh DLL VERSION_SCRIPT TLS
set -u
dll=$1
map=$2
tls=$3
CALLS=${CALLS:-}
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
status=0
fail() { echo "FAIL: $*"; status=1; }

headers=$($OBJDUMP -p "$dll") || { echo "FAIL: cannot read $dll"; exit 1; }

# The name table follows "[Ordinal/Name Pointer] Table" as "[   n] name" rows.
exports=$(printf '%s\n' "$headers" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] *//p' |
  sort | tr '\n' ' ')
want=$(sed -n '/global:/,/local:/s/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);.*/\1/p' "$map" |
  sort | tr '\n' ' ')
[ "$exports" = "$want" ] || fail "exports are '$exports'"

imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
for d in $imports; do
  case $(echo "$d" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
    *) fail "imports $d" ;;
  esac
done

# Import rows are "vma hint name" under each DLL's "Member-Name" header.
functions=$(printf '%s\n' "$headers" |
  awk '/Member-Name/ { on = 1; next } /^$/ { on = 0 } on && NF == 3 { print $3 }' |
  sort | tr '\n' ' ')
for f in $functions; do
  case " $CALLS " in
    *" $f "*) ;;
    *) fail "calls $f" ;;
  esac
done

entry=$( '%s\n' "$headers" | sed -n 's/^AddressOfEntryPoint[[:space:]]*//p')
case $entry in
  *[1-9a-fA-F]*) fail "has an entry point at $entry: code runs at load" ;;
esac

if printf '%s\n' "$headers" | grep -Eq 'Entry 9 [0-9a-f]*[1-9a-f][0-9a-f]* .*Thread Storage Directory'; then
  [ "$tls" = required ] || fail "has a TLS directory"
else
  [ "$tls" = none ] || fail "has no TLS directory"
fi

fused=$($OBJDUMP -d "$dll" | grep -cE '[[:space:]]vfn?m(add|sub)[0-9]+[a-z]*[[:space:]]')
[ "$fused" -eq 0 ] || fail "$fused fused multiply-adds"

echo "exports: $exports"
echo "imports: $imports"
echo "functions: $functions"
echo "entry point: $entry"
exit $status
