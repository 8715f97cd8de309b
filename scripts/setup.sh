#!/bin/bash
# Installs what a fresh Debian 12 machine lacks to build and run TarnStub.
# Run as root. Safe to run again: it installs only missing packages.
set -euo pipefail

# clang-19 and lld-19 compile and link (CodeView, PDBs, short import
# libraries); the mingw-w64 GCC packages provide the headers, the CRT and the
# C++ runtime. llvm-19 gives llvm-pdbutil, llvm-readobj, llvm-symbolizer,
# llvm-strip and llvm-dlltool, which the package checks use; clang-format-19
# the format check (scripts/format.sh). libwine-dev gives the standard IDL
# files and wine64-tools the IDL compiler (widl) that the server interfaces
# and the proxy/stub DLL are built with.
PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 clang-19 lld-19 llvm-19 clang-format-19
          googletest wine wine64 util-linux libwine-dev wine64-tools)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
