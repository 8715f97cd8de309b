#!/bin/bash
# Checks a built DLL's tables: exactly the exports of its .def file (by
# name, undecorated) and imports from Windows system DLLs only.
#   check-dll-tables.sh <objdump> <dll> <def-file> <allowed import>...
set -euo pipefail
objdump="$1"; dll="$2"; def="$3"; shift 3
allowed=$(printf '%s\n' "$@" | tr 'A-Z' 'a-z' | sort -u)

tables=$("$objdump" -p "$dll")
expected=$(sed -n '/^EXPORTS/,$p' "$def" | tail -n +2 | awk 'NF {print $1}' | sort)
actual=$(echo "$tables" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^\s*\[ *[0-9]*\] \([A-Za-z_][A-Za-z0-9_@]*\)$/\1/p' | sort)
imports=$(echo "$tables" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)

status=0
if [ "$expected" != "$actual" ]; then
  echo "Export table of $dll differs from $def:"
  diff <(echo "$expected") <(echo "$actual") || true
  status=1
fi
unexpected=$(comm -13 <(echo "$allowed") <(echo "$imports"))
if [ -n "$unexpected" ]; then
  echo "$dll imports from DLLs that are not Windows system DLLs: $unexpected"
  status=1
fi
[ $status -eq 0 ] && echo "$(basename "$dll"): $(echo "$actual" | wc -l) exports as in $(basename "$def"); imports: $(echo $imports)"
exit $status
