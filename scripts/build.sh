#!/bin/bash
# Configures and builds one architecture.
#   scripts/build.sh x86_64 [build-dir] [extra cmake args...]
#   scripts/build.sh i686   [build-dir] [extra cmake args...]
set -euo pipefail
arch="$1"; shift
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$top/build/$arch}"; shift || true
cmake -G Ninja -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNSTUB_WERROR=ON "$@" >/dev/null
cmake --build "$dir"
