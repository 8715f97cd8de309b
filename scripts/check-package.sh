#!/bin/bash
# Checks the blade developer's package as a new user would use it: makes the
# ZIP, unpacks it into an empty folder, checks that its binaries are stripped
# (sizes in range, debug information in the symbols archive beside the ZIP),
# builds the sample blade there with find_package(TarnStub), and (for x86_64,
# which can run here) runs it under Wine against the packaged reference server.
#   check-package.sh <arch> <build-dir> [<wine-run>]
set -euo pipefail
arch="$1"; build="$(readlink -f "$2")"; winerun="${3:+$(readlink -f "$3")}"

cmake --build "$build" --target package >/dev/null
zip=$(readlink -f "$(ls -t "$build"/TarnStub-*-win*.zip | grep -v -- '-symbols\.zip$' | head -n 1)")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -E chdir "$work" cmake -E tar xf "$zip"
package=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
echo "Unpacked $(basename "$zip"): $(cd "$package" && find . -type f | sort | tr '\n' ' ')"

# Each shipped binary, with the most it may weigh stripped, in KiB: about
# twice its stripped size (with their debug information they weigh up to 9 MB).
binaries=(TarnStub.dll:1024 GANTRY.dll:512 TarnRefServer.dll:1024 TarnRefServer.exe:1024
          TarnRefClient.dll:768 TarnProxy.dll:256 sample_blade.exe:768)
symbols="${zip%.zip}-symbols.zip"
[ -s "$symbols" ] || { echo "No symbols archive beside $(basename "$zip")."; exit 1; }
mkdir "$work/symbols"
cmake -E chdir "$work/symbols" cmake -E tar xf "$symbols"
objdump="$arch-w64-mingw32-objdump"
sizes=""
for entry in "${binaries[@]}"; do
  file="${entry%%:*}"; limit="${entry##*:}"
  binary="$package/bin/$file"
  debug="$work/symbols/$(basename "$package")/bin/$file.debug"
  [ -f "$binary" ] || { echo "bin/$file is missing from the package."; exit 1; }
  kib=$(( ($(stat -c %s "$binary") + 1023) / 1024 ))
  sizes+=" $file=${kib}K"
  (( kib <= limit )) || { echo "bin/$file weighs $kib KiB, more than $limit KiB: is it stripped?"; exit 1; }
  sections=$("$objdump" -h "$binary")
  if grep -q '\.debug_' <<<"$sections"; then echo "bin/$file still carries debug information."; exit 1; fi
  grep -q '\.gnu_debuglink' <<<"$sections" || { echo "bin/$file does not name its debug file."; exit 1; }
  [ -s "$debug" ] && grep -q '\.debug_info' <<<"$("$objdump" -h "$debug")" ||
    { echo "The symbols archive lacks the debug information of bin/$file."; exit 1; }
done
echo "Stripped binaries:$sizes; symbols in $(basename "$symbols") ($(( $(stat -c %s "$symbols") / 1024 )) KiB)."

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
