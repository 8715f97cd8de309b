#!/bin/bash
# The test command: installs what is missing, builds the 32-bit product and
# the x86_64 build with clang and lld, checks both packages (PDBs, import
# libraries, the sample blade built from the package) and the i686 binaries,
# and runs every test under Wine.
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

echo "== i686 checks (nothing of i686 can run here) =="
cd "$top"
ctest --preset i686

echo "== tests =="
ctest --preset x86_64 "$@"
