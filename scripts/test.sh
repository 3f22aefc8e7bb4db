#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, builds the native program, the
# Windows .exe, a sanitizer build and the fuzz targets, and runs every test.
# Needs no terminal and no input.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source scripts/packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev python3 g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 wine wine64 clang libclang-rt-14-dev qemu-system-x86 busybox-static

jobs=$(nproc)

echo "== Windows build"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build-win -j "$jobs"

echo "== pelupdate.exe imports"
imports=$(x86_64-w64-mingw32-objdump -p build-win/pelupdate.exe | sed -n 's/^\s*DLL Name: //p')
echo "$imports"
if grep -qi 'ftd2xx' <<<"$imports"; then
  echo "pelupdate.exe imports the D2XX library at load time; it must load it at run time" >&2
  exit 1
fi

echo "== native build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPEL_WINDOWS_BUILD_DIR="$root/build-win" >/dev/null
cmake --build build -j "$jobs"

echo "== sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPEL_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"

echo "== fuzz build (clang, libFuzzer)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPEL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"

echo "== tests under the sanitizers"
ctest --test-dir build-asan --output-on-failure -j "$jobs" \
  -R '^(updater_tests|sim_tests|platform_tests|tty_tests|pelfwu_tests|e2e_native)$'

echo "== fuzzing, each target for a bounded time"
if ! ctest --test-dir build-fuzz -j "$jobs" -V >build-fuzz/fuzz.log 2>&1; then
  tail -n 100 build-fuzz/fuzz.log
  echo "a fuzz target failed; its input is in build-fuzz/tests/fuzz/scratch_*/" >&2
  exit 1
fi
grep -E '^[0-9]+: (Done [0-9]+ runs|stat::number_of_executed_units)' build-fuzz/fuzz.log || true

echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== real-driver test: pelupdate against ftdi_sio in a QEMU machine (kernel cached in ~/.cache)"
python3 tests/kernel/kernel_test.py --pelupdate build/pelupdate --device build/tests/pty_device
