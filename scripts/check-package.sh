#!/bin/bash
# Checks the blade developer's package as a new user would use it: makes the
# ZIP and its symbols archive, unpacks both into an empty folder (the
# symbols over the package, as a developer does), and checks
#  - the binaries are stripped and within their sizes, and each keeps its
#    debug directory;
#  - each binary's PDB matches it (GUID and age), names no build path, lists
#    the exports (or the entry function) as publics with source lines, and,
#    for i686, the exception frame registration is linked in
#    (scripts/check-pdb.sh);
#  - the short import libraries link a C consumer with an MSVC-style linker,
#    /safeseh for i686 (scripts/check-import-library.sh);
# then builds the sample blade there with find_package(TarnStub) and (for
# x86_64, which can run here) runs it under Wine against the packaged
# reference server.
#   check-package.sh <arch> <build-dir> [<wine-run>]
set -euo pipefail
arch="$1"; build="$(readlink -f "$2")"; winerun="${3:+$(readlink -f "$3")}"
top="$(cd "$(dirname "$0")/.." && pwd)"
suffix="${TARNSTUB_LLVM_SUFFIX--19}"

cmake --build "$build" --target package >/dev/null
zip=$(readlink -f "$(ls -t "$build"/TarnStub-*-win*.zip | grep -v -- '-symbols\.zip$' | head -n 1)")
symbols="${zip%.zip}-symbols.zip"
[ -s "$symbols" ] || { echo "No symbols archive beside $(basename "$zip")."; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -E chdir "$work" cmake -E tar xf "$zip"
package=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
echo "Unpacked $(basename "$zip"): $(cd "$package" && find . -type f | sort | tr '\n' ' ')"
pdbs=$(cmake -E chdir "$work" cmake -E tar tf "$symbols" | grep -v '/$' | sort | tr '\n' ' ')
cmake -E chdir "$work" cmake -E tar xf "$symbols"
echo "Unpacked $(basename "$symbols") over it: $pdbs"

# Each shipped binary: the most it may weigh stripped, in KiB (about twice
# its stripped size; TarnStub.dll stays under 1.5 MB in any case), its PDB,
# and what the PDB must list: the .def file's exports, or the entry function.
binaries=(TarnStub.dll:1024:TarnStub:src/stub/TarnStub.def
          GANTRY.dll:512:GANTRY:gantry/GANTRY.def
          TarnRefServer.dll:1024:TarnRefServer:refserver/TarnRefServer.def
          TarnRefServer.exe:1024:TarnRefServerExe:wWinMain
          TarnRefClient.dll:768:TarnRefClient:refserver/client/TarnRefClient.def
          TarnProxy.dll:256:TarnProxy:refserver/proxy/TarnProxy.def
          sample_blade.exe:768:sample_blade:main)
sizes=""; pdbsizes=""
for entry in "${binaries[@]}"; do
  IFS=: read -r file limit pdbname names <<<"$entry"
  binary="$package/bin/$file"; pdb="$package/bin/$pdbname.pdb"
  [ -f "$binary" ] || { echo "bin/$file is missing from the package."; exit 1; }
  [ -f "$pdb" ] || { echo "The symbols archive lacks bin/$pdbname.pdb (of bin/$file)."; exit 1; }
  kib=$(( ($(stat -c %s "$binary") + 1023) / 1024 ))
  sizes+=" $file=${kib}K"; pdbsizes+=" $pdbname.pdb=$(( ($(stat -c %s "$pdb") + 1023) / 1024 ))K"
  (( kib <= limit )) || { echo "bin/$file weighs $kib KiB, more than $limit KiB: is it stripped?"; exit 1; }
  headers=$("llvm-readobj$suffix" --file-headers --sections "$binary")
  if grep -q 'Name: \.debug_' <<<"$headers"; then echo "bin/$file still carries DWARF."; exit 1; fi
  grep -q 'PointerToSymbolTable: 0x0$' <<<"$headers" || { echo "bin/$file still has a symbol table."; exit 1; }
  [ -f "$top/$names" ] && names="$top/$names"
  frames=()
  # Only the C++ binaries throw; TarnProxy.dll is C.
  [ "$arch" = i686 ] && [ "$file" != TarnProxy.dll ] && frames=(--i686-frames)
  bash "$top/scripts/check-pdb.sh" "${frames[@]}" --build-path "$top" --build-path "$build" \
    "$binary" "$pdb" "$names"
done
echo "Stripped binaries:$sizes"
echo "PDBs:$pdbsizes"
echo "Package $(basename "$zip"): $(( $(stat -c %s "$zip") / 1024 )) KiB; symbols $(basename "$symbols"): $(( $(stat -c %s "$symbols") / 1024 )) KiB"

for entry in TarnStub:src/stub/TarnStub.def TarnRefServer:refserver/TarnRefServer.def \
             TarnRefClient:refserver/client/TarnRefClient.def; do
  bash "$top/scripts/check-import-library.sh" "$arch" "$package/lib/${entry%%:*}.lib" "$top/${entry#*:}"
done

cmake -G Ninja -S "$package/sample" -B "$work/sample-build" \
  -DCMAKE_TOOLCHAIN_FILE="$package/cmake/toolchain-$arch.cmake" \
  -DCMAKE_PREFIX_PATH="$package" >/dev/null
cmake --build "$work/sample-build" >/dev/null
echo "Built the sample blade from the $arch package."

if [ -n "$winerun" ]; then
  (cd "$work/sample-build" && "$winerun" sample_blade.exe) > "$work/transcript.txt" 2>&1 || {
    cat "$work/transcript.txt"; echo "The packaged sample blade failed."; exit 1; }
  tail -n 1 "$work/transcript.txt"
fi
