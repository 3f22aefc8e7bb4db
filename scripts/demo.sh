#!/usr/bin/env bash
# Shows pelupdate at work without hardware: installs what is missing, builds,
# prepares a folder with a 64 KiB sample update file and the simulated
# adapter library, and runs the updater there in this terminal. Answer the
# prompt with Y or N; any key during programming stops it.
#   scripts/demo.sh            the native program, with a simulated libftd2xx.so
#   scripts/demo.sh --windows  pelupdate.exe under Wine, FTD2XX.DLL beside it
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
windows=false
case "${1:-}" in
  --windows) windows=true ;;
  "") ;;
  *) echo "usage: scripts/demo.sh [--windows]" >&2; exit 2 ;;
esac

source scripts/packages.sh
ensure_packages cmake ninja-build g++
$windows && ensure_packages g++-mingw-w64-x86-64-posix wine wine64

# The demo needs no test libraries: its own build folders.
cmake -S . -B build-demo -G Ninja -DPEL_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo >/dev/null
if $windows; then
  cmake -S . -B build-demo-win -G Ninja -DPEL_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build build-demo-win >/dev/null
fi

folder=$(mktemp -d /tmp/pelupdate-demo-XXXXXX)
saved_tty=$( [[ -t 0 ]] && stty -g || true )
cleanup() {
  if $windows && [[ -n ${WINEPREFIX:-} ]]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  [[ -n $saved_tty ]] && stty "$saved_tty"
  rm -rf "$folder"
}
trap cleanup EXIT

head -c 65536 /dev/urandom > "$folder/payload.bin"
build-demo/pelfwu pack "$folder/payload.bin" 2.0 -o "$folder/PelBoot_VQ.fwu" >/dev/null
cat > "$folder/scenario.txt" <<'SCENARIO'
# A healthy device: bootloader 1.5, main firmware 1.9 installed.
bootloader 1.5
installed 1.9
erase_ms 800
program_ms 5
SCENARIO

echo "Demo folder $folder: PelBoot_VQ.fwu (64 KiB payload, version 2.0), simulated adapter."
[[ -t 0 ]] || echo "(No terminal: the updater cannot read a key and will end with \"Exit.\".)"
echo "---"
cd "$folder"
export PELSIM_SCENARIO=scenario.txt
if $windows; then
  mkdir app
  cp "$root/build-demo-win/pelupdate.exe" "$root/build-demo-win/sim/FTD2XX.DLL" app/
  export WINEPREFIX=$folder/wine WINEDEBUG=-all
  echo "(preparing a private Wine prefix, a few seconds)"
  wineboot -i >/dev/null 2>&1
  wine app/pelupdate.exe
else
  LD_LIBRARY_PATH="$root/build-demo/sim" "$root/build-demo/pelupdate"
fi
echo
echo "---"
# What the run did to the simulated device, from the state it left.
erased=$(sed -n 's/^erased //p' scenario.txt.flash.state 2>/dev/null || true)
blocks=$(sed -n 's/^blocks //p' scenario.txt.flash.state 2>/dev/null || true)
total=$((65536 / 512))
if [[ -z $erased ]]; then
  echo "The simulated device was never reached: nothing was erased or written."
elif [[ $erased == 0 ]]; then
  echo "Nothing was erased or written: the simulated device keeps its main firmware 1.9."
elif [[ $blocks == "$total" ]] && cmp -s -n 65536 payload.bin scenario.txt.flash; then
  echo "The simulated device's flash now holds the new firmware: all $total blocks written."
else
  echo "Stopped after $blocks of $total blocks: the simulated device has no main firmware" \
    "until a run completes."
fi
