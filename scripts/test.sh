#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, builds the native program and
# the Windows .exe, and runs every test. Needs no terminal and no input.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source scripts/packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev python3 g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 wine wine64

jobs=$(nproc)

echo "== Windows build"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build-win -j "$jobs"

echo "== native build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPEL_WINDOWS_BUILD_DIR="$root/build-win" >/dev/null
cmake --build build -j "$jobs"

echo "== pelupdate.exe imports"
imports=$(x86_64-w64-mingw32-objdump -p build-win/pelupdate.exe | sed -n 's/^\s*DLL Name: //p')
echo "$imports"
if grep -qi 'ftd2xx' <<<"$imports"; then
  echo "pelupdate.exe imports the D2XX library at load time; it must load it at run time" >&2
  exit 1
fi

echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"
