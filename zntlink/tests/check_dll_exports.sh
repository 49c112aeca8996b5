#!/usr/bin/env bash
# zntlink.dll exports exactly the 32 functions of the public header, by their
# undecorated names at ordinals 1 to 32 in alphabetical order, as the
# module-definition file lists them; it imports only system DLLs, and its
# version resource holds the file version 3.1.0.6.
#   check_dll_exports.sh DLL HEADER DEF [OBJDUMP]
set -euo pipefail
dll="$1"
header="$2"
def="$3"
objdump="${4:-i686-w64-mingw32-objdump}"
fail() { echo "$dll: $*" >&2; exit 1; }

expected=$(grep -oE '\bZNT_[A-Za-z]+\(' "$header" | tr -d '(' | LC_ALL=C sort -u)
[ "$(echo "$expected" | wc -l)" -eq 32 ] || fail "the header declares $(echo "$expected" | wc -l) exports, not 32"
expected_table=$(echo "$expected" | awk '{printf "%d %s\n", NR, $1}')

# The module-definition file gives the same names and ordinals.
def_table=$(sed -n 's/^ *\(ZNT_[A-Za-z]*\).*@\([0-9]*\) *$/\2 \1/p' "$def")
[ "$def_table" = "$expected_table" ] || {
  diff <(echo "$expected_table") <(echo "$def_table") >&2 || true
  fail "the module-definition file differs from the header's names in alphabetical order"
}

dump=$("$objdump" -p "$dll")
# The name table lists [index] name; the ordinal of index i is base + i.
base=$(echo "$dump" | sed -n 's/^Ordinal Base[ \t]*\([0-9]*\).*/\1/p')
[ "$base" = 1 ] || fail "ordinal base is '$base', not 1"
exported=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[ \t]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' |
  awk -v base="$base" '{printf "%d %s\n", $1 + base, $2}')
[ "$exported" = "$expected_table" ] || {
  diff <(echo "$expected_table") <(echo "$exported") >&2 || true
  fail "export names or ordinals differ from the header's 32 names in alphabetical order"
}
count=$(echo "$dump" | sed -n '/^Number in:/{n;s/^[ \t]*Export Address Table[ \t]*\([0-9a-fA-F]*\).*/\1/p;}')
[ -n "$count" ] && [ "$((16#$count))" -eq 32 ] || fail "the export address table has '$count' (hex) entries, not 32"

imports=$(echo "$dump" | sed -n 's/^[ \t]*DLL Name: \(.*\)$/\1/p' | sort -u)
for lib in $imports; do
  case "${lib,,}" in
    kernel32.dll|msvcrt.dll) ;;
    *) fail "imports $lib, not a system DLL" ;;
  esac
done

# VS_FIXEDFILEINFO: the signature 0xFEEF04BD, the structure version, then the
# file version's high and low 32-bit words, little-endian.
fixed=$(od -An -tx1 -v "$dll" | tr -d ' \n' | grep -o 'bd04effe.\{24\}' | head -n 1 || true)
[ -n "$fixed" ] || fail "no version resource"
word() { local h="${fixed:$1:8}"; echo $((16#${h:6:2}${h:4:2}${h:2:2}${h:0:2})); }
ms=$(word 16)
ls=$(word 24)
version="$((ms >> 16)).$((ms & 0xFFFF)).$((ls >> 16)).$((ls & 0xFFFF))"
[ "$version" = 3.1.0.6 ] || fail "file version is $version, not 3.1.0.6"

echo "32 exports at ordinals 1-32, file version $version, imports: $(echo $imports)"
