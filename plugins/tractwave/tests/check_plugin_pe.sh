#!/bin/sh
# What a Windows plugin DLL exports and imports: exactly the entry points of
# its format (DPF's export list) and DllMain, which DPF's DistrhoUtils.cpp
# marks for export (the loader calls it through the image's entry point, so
# the export is harmless, but it is there); nothing imported but Windows'
# own KERNEL32 and the C runtime msvcrt (the C++ runtime and winpthread are
# linked in). OBJDUMP names the MinGW objdump.
# Usage: check_plugin_pe.sh DLL ENTRY_POINT...
set -u
dll=$1
shift
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
status=0
fail() { echo "FAIL: $*"; status=1; }

[ -f "$dll" ] || { echo "FAIL: no $dll"; exit 1; }
headers=$($OBJDUMP -p "$dll") || { echo "FAIL: $OBJDUMP -p $dll"; exit 1; }
exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
want=$(printf '%s\n' DllMain "$@" | sort | tr '\n' ' ')
[ "$exports" = "$want" ] || fail "exports are '$exports', not '$want'"

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
for i in $imports; do
  case $i in
    KERNEL32.dll|msvcrt.dll) ;;
    *) fail "imports $i" ;;
  esac
done
echo "exports: $exports"
echo "imports: $imports"
exit $status
