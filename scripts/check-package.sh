#!/bin/bash
# Checks the blade developer's package as a new user would use it: makes the
# ZIP, unpacks it into an empty folder, builds the sample blade there with
# find_package(TarnStub), and (for x86_64, which can run here) runs it under
# Wine against the packaged reference server.
#   check-package.sh <arch> <build-dir> [<wine-run>]
set -euo pipefail
arch="$1"; build="$(readlink -f "$2")"; winerun="${3:+$(readlink -f "$3")}"

cmake --build "$build" --target package >/dev/null
zip=$(readlink -f "$(ls -t "$build"/TarnStub-*-win*.zip | head -n 1)")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -E chdir "$work" cmake -E tar xf "$zip"
package=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
echo "Unpacked $(basename "$zip"): $(cd "$package" && find . -type f | sort | tr '\n' ' ')"

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
