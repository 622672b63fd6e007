#!/bin/sh
# What the plugin binary exports, links and calls. ELF: exactly
# lv2_descriptor; no runtime beyond libc, libm and the loader (no
# libstdc++); no code run at load or unload; and only memory, string and math
# functions called, so nothing in it can open a file, start a thread or take
# a lock; multiply-adds fused on arm64 only, as in the library. PE: the
# same, from the C runtime DLL only, and no entry point. Prints what it
# found.
# Usage: check_exports.sh elf|pe BINARY (NM, READELF, OBJDUMP name the
# target's tools).
set -u
kind=$1 binary=$2
NM=${NM:-nm}
READELF=${READELF:-readelf}
OBJDUMP=${OBJDUMP:-objdump}
status=0
fail() { echo "FAIL: $*"; status=1; }

if [ "$kind" = elf ]; then
  exports=$($NM -D --defined-only "$binary" | awk '{print $3}' | sort | tr '\n' ' ')
  needed=$($READELF -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  for n in $needed; do
    case $n in
      libc.so.*|libm.so.*|ld-linux*) ;;
      *) fail "links $n" ;;
    esac
  done
  if $READELF -d "$binary" | grep -E '\((INIT|FINI|INIT_ARRAY|FINI_ARRAY|PREINIT_ARRAY)\)'; then
    fail "has code that runs at load or unload"
  fi
  undefined=$($NM -D --undefined-only "$binary" | awk '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
  for u in $undefined; do
    case $u in
      malloc|calloc|free|memset|memcpy|memmove|strcmp|exp2|exp2f|pow|powf|expf|cosf|fmodf|tanhf) ;;
      *) fail "calls $u" ;;
    esac
  done
  # The engine inside is built with the library's flags: multiply-adds
  # fused on arm64 and nowhere else.
  machine=$($READELF -h "$binary" | sed -n 's/^ *Machine: *//p')
  fused=$($OBJDUMP -d "$binary" |
    grep -cE '[[:space:]](fn?madd|fn?msub|fmla|fmls|v?fn?m(add|sub)[0-9]+[a-z]*)[[:space:]]')
  case $machine in
    AArch64) [ "$fused" -gt 0 ] || fail "no fused multiply-adds on $machine" ;;
    *) [ "$fused" -eq 0 ] || fail "$fused fused multiply-adds on $machine" ;;
  esac
  echo "exports: $exports"
  echo "needed: $needed"
  echo "undefined: $undefined"
  echo "machine: $machine, fused multiply-add instructions: $fused"
else
  headers=$($OBJDUMP -p "$binary") || { echo "FAIL: cannot read $binary"; exit 1; }
  exports=$(printf '%s\n' "$headers" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] *//p' |
    sort | tr '\n' ' ')
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
    case $f in
      malloc|calloc|free|memset|memcpy|memmove|strcmp|exp2|pow|powf|_errno|__setusermatherr) ;;
      *) fail "calls $f" ;;
    esac
  done
  fused=$($OBJDUMP -d "$binary" | grep -cE '[[:space:]]vfn?m(add|sub)[0-9]+[a-z]*[[:space:]]')
  [ "$fused" -eq 0 ] || fail "$fused fused multiply-adds"
  entry=$(printf '%s\n' "$headers" | sed -n 's/^AddressOfEntryPoint[[:space:]]*//p')
  case $entry in
    *[1-9a-fA-F]*) fail "has an entry point at $entry: code runs at load" ;;
  esac
  echo "exports: $exports"
  echo "imports: $imports"
  echo "functions: $functions"
  echo "entry point: $entry"
fi
[ "$exports" = "lv2_descriptor " ] || fail "exports are '$exports'"
exit $status
