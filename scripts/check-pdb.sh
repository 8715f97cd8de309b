#!/bin/bash
# Checks that a binary and its PDB belong together and give a debugger what
# it needs, as WinDbg or Visual Studio would use them on a crash dump:
#  - the binary's debug directory names the PDB by file name only (no build
#    path) with the PDB's GUID and age;
#  - no build path is written in the binary;
#  - every function named (the exports of the .def file for a DLL, the entry
#    function for an EXE) is a public of the PDB, and its address maps to
#    that function and a source line through the PDB (llvm-symbolizer).
# With --i686-frames it also checks what only the i686 build would break and
# nothing here can run: the exception frame registration of GCC's crtbegin.o
# (__gcc_register_frame, __register_frame_info) is linked in and the binary
# has its .eh_frame section. Without them (an empty crtbegin.o, as clang 14
# picks) i686 C++ exceptions silently stop working.
#   check-pdb.sh [--i686-frames] [--build-path <dir>]... <binary> <pdb> <def-file | function>...
set -euo pipefail
suffix="${TARNSTUB_LLVM_SUFFIX--19}"
readobj="llvm-readobj$suffix"; pdbutil="llvm-pdbutil$suffix"; symbolizer="llvm-symbolizer$suffix"
frames=0; paths=()
while [ $# -gt 0 ]; do
  case "$1" in
    --i686-frames) frames=1; shift ;;
    --build-path) paths+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
binary="$(readlink -f "$1")"; pdb="$(readlink -f "$2")"; shift 2
name="$(basename "$binary")"
fail() { echo "$name: $*"; exit 1; }

# The debug directory against the PDB's own GUID and age.
debugdir=$("$readobj" --coff-debug-directory "$binary")
guid=$(sed -n 's/^ *PDBGUID: //p' <<<"$debugdir")
age=$(sed -n 's/^ *PDBAge: //p' <<<"$debugdir")
named=$(sed -n 's/^ *PDBFileName: //p' <<<"$debugdir")
[ -n "$guid" ] || fail "no CodeView entry in the debug directory"
[ "$named" = "$(basename "$pdb")" ] || fail "the debug directory names '$named', not $(basename "$pdb") alone"
summary=$("$pdbutil" dump -summary "$pdb")
pdbguid=$(sed -n 's/^ *GUID: //p' <<<"$summary")
pdbage=$(sed -n 's/^ *Age: //p' <<<"$summary")
[ "$guid" = "$pdbguid" ] && [ "$age" = "$pdbage" ] ||
  fail "does not match $(basename "$pdb"): binary $guid age $age, PDB $pdbguid age $pdbage"
for path in "${paths[@]}"; do
  if grep -qaF "$path" "$binary"; then fail "carries the build path $path"; fi
done

# Functions to look up: the .def file's exports, or the names given.
functions=()
for arg in "$@"; do
  if [ -f "$arg" ]; then
    mapfile -t -O "${#functions[@]}" functions < <(sed -n '/^EXPORTS/,$p' "$arg" | tail -n +2 | awk 'NF {print $1}')
  else
    functions+=("$arg")
  fi
done
[ ${#functions[@]} -gt 0 ] || fail "no function to look up"

publics=$("$pdbutil" dump -publics "$pdb")
sections=$("$readobj" --sections "$binary")
# Section number -> virtual address.
declare -A base
while read -r number address; do base[$number]=$address; done < <(
  awk '/^ *Number: /{n=$2} /^ *VirtualAddress: /{print n, $2}' <<<"$sections")
pdbdir="$(dirname "$pdb")"
# llvm-symbolizer prefers DWARF (an unstripped binary has the CRT's) to the
# PDB: it looks up a stripped copy, which keeps the debug directory.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"llvm-strip$suffix" -o "$work/$name" "$binary"
rvas=()
for function in "${functions[@]}"; do
  # A public is the name as the linker saw it: _name or _name@N on i686.
  addr=$(awk -v f="$function" '
    /S_PUB32/ { match($0, /`[^`]*`/); s = substr($0, RSTART + 1, RLENGTH - 2)
                sub(/^_/, "", s); sub(/@[0-9]+$/, "", s); hit = (s == f); next }
    hit && /addr = / { sub(/.*addr = /, ""); print; exit }' <<<"$publics")
  [ -n "$addr" ] || fail "$function is not a public of $(basename "$pdb")"
  section=$((10#${addr%%:*})); offset=$((10#${addr##*:}))
  [ -n "${base[$section]:-}" ] || fail "$function: no section $section"
  rvas+=("$(printf '0x%x' $(( ${base[$section]} + offset )))")
done
# llvm-symbolizer finds the PDB by the name in the debug directory, in the
# PDB's folder. One answer per address: the function, then file:line:column.
mapfile -t answers < <(cd "$pdbdir" &&
  "$symbolizer" --no-inlines --obj="$work/$name" --relative-address "${rvas[@]}" | grep -v '^$')
lines=0
for i in "${!functions[@]}"; do
  function="${functions[$i]}"; rva="${rvas[$i]}"
  symbol="${answers[$((2 * i))]:-}"; location="${answers[$((2 * i + 1))]:-}"
  symbol="${symbol#_}"; symbol="${symbol%@*}"
  [ "$symbol" = "$function" ] || fail "$function at $rva maps to '$symbol'"
  line=$(awk -F: '{print $(NF-1)}' <<<"$location")
  [[ "$location" != "??"* && "$line" =~ ^[0-9]+$ && "$line" -gt 0 ]] ||
    fail "$function at $rva has no source line ($location)"
  lines=$((lines + 1))
done

if [ $frames -eq 1 ]; then
  for needed in __gcc_register_frame __register_frame_info __deregister_frame_info; do
    grep -q "\`_$needed\`" <<<"$publics" ||
      fail "lacks $needed: the exception frames of crtbegin.o are not registered (i686 exceptions would not work)"
  done
  grep -qE 'Name: \.eh_fram' <<<"$sections" || fail "has no .eh_frame section"
  extra=", crtbegin's frame registration and .eh_frame present"
fi
echo "$name: $(basename "$pdb") matches (GUID $guid, age $age); $lines functions public with source lines${extra:-}"
