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

# Wine's 32-bit side runs the 32-bit .exe on this machine only where its
# kernel runs 32-bit x86 programs; where it does not, installing it would leave
# the wine command unable to start anything. The QEMU machine step below runs
# the 32-bit .exe under 32-bit Wine either way.
if python3 tests/release/i386_probe.py; then
  ensure_packages wine32:i386
else
  echo "== this machine runs no 32-bit x86 programs: the 32-bit .exe runs in the QEMU machine step only"
fi

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

echo "== release: archives built, tested as shipped, and built again elsewhere to the same bytes"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
# Both builds take their sources from one copy of the work tree, each in a
# folder of its own.
copy=$(mktemp -d /tmp/pelupdate-release-XXXXXX)
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
  tar --null -T - -cf "$copy/sources.tar"
rm -rf build-release/sources "$copy/sources"
mkdir -p build-release/sources "$copy/sources"
tar -xf "$copy/sources.tar" -C build-release/sources
tar -xf "$copy/sources.tar" -C "$copy/sources"
bash build-release/sources/scripts/release.sh --build "$root/build-release" \
  --out "$root/build-release/dist" --sim
# The second build runs beside the archive tests, on one core.
nice bash "$copy/sources/scripts/release.sh" --build "$copy/build" --out "$copy/dist" \
  --jobs 1 >"$copy/again.log" 2>&1 &
second=$!
python3 tests/release/release_test.py --dist build-release/dist \
  --sim-native build-release/linux-x86_64/sim --sim-x64 build-release/windows-x64/sim/FTD2XX.DLL \
  --sim-x86 build-release/windows-x86/sim/FTD2XX.DLL --x86-build build-release/windows-x86
if ! wait "$second"; then
  cat "$copy/again.log"
  echo "the second release build failed" >&2
  exit 1
fi
if ! diff build-release/dist/SHA256SUMS "$copy/dist/SHA256SUMS"; then
  echo "two release builds of the same sources differ" >&2
  exit 1
fi
cat build-release/dist/SHA256SUMS
rm -rf "$copy"

echo "== the 32-bit pelupdate.exe under 32-bit Wine, in a QEMU machine (kernel and Wine cached in ~/.cache)"
python3 tests/release/x86_in_vm.py --dist build-release/dist \
  --sim-x86 build-release/windows-x86/sim/FTD2XX.DLL

echo "== real-driver test: pelupdate against ftdi_sio in a QEMU machine (kernel cached in ~/.cache)"
python3 tests/kernel/kernel_test.py --pelupdate build/pelupdate --device build/tests/pty_device
