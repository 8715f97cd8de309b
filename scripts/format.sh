#!/bin/bash
# Formats the project's C and C++ sources with .clang-format (clang-format-19),
# or with --check lists the files that differ from it and fails.
#   scripts/format.sh [--check] [file...]    (no file: every tracked source)
# CMake targets: `format` and `check-format`.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
format="${CLANG_FORMAT:-clang-format${TARNSTUB_LLVM_SUFFIX--19}}"
check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
cd "$top"
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
fi
if [ $check -eq 1 ]; then
  differ=()
  for file in "${files[@]}"; do
    "$format" --dry-run -Werror "$file" >/dev/null 2>&1 || differ+=("$file")
  done
  if [ ${#differ[@]} -gt 0 ]; then
    printf '%s\n' "${differ[@]}"
    echo "${#differ[@]} of ${#files[@]} files differ from .clang-format (bash scripts/format.sh formats them)."
    exit 1
  fi
  echo "${#files[@]} files match .clang-format."
else
  "$format" -i "${files[@]}"
fi
