#!/bin/bash
# Configures and builds one architecture with its preset (CMakePresets.json:
# clang and lld, RelWithDebInfo, warnings as errors).
#   scripts/build.sh x86_64 [build-dir] [extra cmake args...]
#   scripts/build.sh i686   [build-dir] [extra cmake args...]
# The build folder defaults to the preset's, build/<arch>.
set -euo pipefail
arch="$1"; shift
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$top/build/$arch}"; shift || true
cmake -S "$top" --preset "$arch" -B "$dir" "$@" >/dev/null
cmake --build "$dir"
