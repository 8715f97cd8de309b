#!/bin/bash
# The test command: installs what is missing, builds the 32-bit product DLL
# and the x86_64 build, and runs every test under Wine.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"

echo "== i686 build (the product) =="
bash "$top/scripts/build.sh" i686 "$top/build/i686" -DTARNSTUB_BUILD_TESTS=OFF

echo "== x86_64 build (the test run) =="
# Tests on explicitly: the demo may have configured this tree without them.
bash "$top/scripts/build.sh" x86_64 "$top/build/x86_64" -DTARNSTUB_BUILD_TESTS=ON \
  -DTARNSTUB_I686_DIR="$top/build/i686/bin"

echo "== the blade developer's package =="
bash "$top/scripts/check-package.sh" i686 "$top/build/i686"
bash "$top/scripts/check-package.sh" x86_64 "$top/build/x86_64" "$top/build/x86_64/wine-run"

echo "== tests =="
cd "$top/build/x86_64"
ctest --output-on-failure -j2 "$@"
