#!/usr/bin/env bash
# Makes a release of the checked-out commit: installs what a fresh Debian
# machine lacks, builds pelupdate and pelfwu for 64- and 32-bit Windows and
# for Linux x86-64, and writes into dist/
#   pelupdate-VERSION-windows-x64.zip, pelupdate-VERSION-windows-x86.zip,
#   pelupdate-VERSION-linux-x86_64.tar.gz and SHA256SUMS.
# VERSION is the CMake project version. The same commit gives the same bytes
# wherever and whenever it is built: no time stamps or build paths in the
# binaries, and archive entries in a fixed order with the commit's time
# (SOURCE_DATE_EPOCH, taken from git unless set) and a fixed owner.
#   scripts/release.sh [--out DIR] [--build DIR] [--jobs N] [--sim]
# --build: the build folders' parent (default build-release); --sim: also build
# the simulated adapter library in each, for the archive tests.
set -euo pipefail
root=$(realpath "$(dirname "$0")/..")
out=$root/dist
build=$root/build-release
sim=false
jobs=$(nproc)
while [[ $# -gt 0 ]]; do
  case "$1" in
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --sim) sim=true; shift ;;
    *) echo "usage: scripts/release.sh [--out DIR] [--build DIR] [--jobs N] [--sim]" >&2; exit 2 ;;
  esac
done
cd "$root"

source scripts/packages.sh
ensure_packages cmake ninja-build g++ python3 git \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
umask 022

# Release builds: optimised, stripped, sources named relative to the
# repository. The Linux programs carry libstdc++ and libgcc, so they need
# nothing but the C library; the Windows ones are static already.
release_flags=(-DCMAKE_BUILD_TYPE=Release -DPEL_BUILD_TESTS=OFF
  "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$root/=")
build_one() {
  local dir=$build/$1
  shift
  # A build folder made from sources elsewhere is made anew.
  if [[ -f $dir/CMakeCache.txt ]] &&
     ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
  fi
  cmake -S . -B "$dir" -G Ninja "${release_flags[@]}" "$@" >/dev/null
  local targets=(pelupdate pelfwu)
  $sim && targets+=(ftd2xx_sim)
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
}
echo "== release build: Windows x64"
build_one windows-x64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_EXE_LINKER_FLAGS=-s
echo "== release build: Windows x86"
build_one windows-x86 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_EXE_LINKER_FLAGS=-s
echo "== release build: Linux x86-64"
build_one linux-x86_64 "-DCMAKE_EXE_LINKER_FLAGS=-s -static-libstdc++ -static-libgcc"

version=$("$build/linux-x86_64/pelfwu" --version | sed -n 's/^pelfwu //p')
[[ -n $version ]] || { echo "pelfwu --version printed no version" >&2; exit 1; }

mkdir -p "$out"
rm -f "$out"/pelupdate-*.zip "$out"/pelupdate-*.tar.gz "$out/SHA256SUMS"
name=pelupdate-$version
archive=(python3 packaging/archive.py --mtime "$SOURCE_DATE_EPOCH" --version "$version")
for arch in x64 x86; do
  "${archive[@]}" --crlf "$out/$name-windows-$arch.zip" \
    pelupdate.exe="$build/windows-$arch/pelupdate.exe" \
    pelfwu.exe="$build/windows-$arch/pelfwu.exe" \
    README.txt=packaging/README.txt
done
"${archive[@]}" --top "$name-linux-x86_64" "$out/$name-linux-x86_64.tar.gz" \
  pelupdate="$build/linux-x86_64/pelupdate" \
  pelfwu="$build/linux-x86_64/pelfwu" \
  README.txt=packaging/README.txt
(cd "$out" && sha256sum "$name-windows-x64.zip" "$name-windows-x86.zip" \
  "$name-linux-x86_64.tar.gz" >SHA256SUMS)

echo "== $out"
(cd "$out" && ls -l "$name"-* && cat SHA256SUMS)
