#!/bin/bash
# Installs what a fresh Debian 12 machine lacks to build and run TarnStub.
# Run as root. Safe to run again: it installs only missing packages.
set -euo pipefail

# libwine-dev gives the standard IDL files and wine64-tools the IDL compiler
# (widl) that the server interfaces and the proxy/stub DLL are built with.
PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 googletest wine wine64 util-linux
          libwine-dev wine64-tools)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
