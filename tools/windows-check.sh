#!/usr/bin/env bash
# The Windows build, proven here: cross-builds veltor.exe for 64-bit (with its
# unit tests) and 32-bit Windows, runs the unit tests under wine, runs the
# end-to-end suite of the Linux build against veltor.exe under wine, and
# packs veltor-VERSION-win64.zip. The 32-bit unit tests run too where 32-bit
# wine runs (see below).
#
# Usage: tools/windows-check.sh [LINUX_BUILD_DIR]   (default: build)
# As root, installs the cross compilers and wine when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
jobs=${JOBS:-2}

packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64)
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
command -v wine >/dev/null || missing+=(wine)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root with:  apt-get install -y --no-install-recommends ${packages[*]}" >&2
    exit 1
  fi
  echo "Installing missing packages: ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

# 32-bit wine (wine32:i386, after dpkg --add-architecture i386) runs the
# 32-bit tests where the kernel runs 32-bit programs. Not on this project's
# machines: they are paravirtualised guests without 32-bit user mode, so an
# i386 program fails with "Exec format error" (and an installed wine32 then
# breaks the 64-bit wine too). There the 32-bit build is compiled and linked.
wine32_runs() { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }

configure() {  # configure DIR TOOLCHAIN [ARGS...]
  local dir=$1 toolchain=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release -DVELTOR_WERROR=ON "$@" >/dev/null
}

echo "--- 64-bit: build" >&2
configure build-win mingw-w64-x86_64.cmake
cmake --build build-win -j"$jobs"
echo "--- 32-bit: build" >&2
# Its unit tests are built only where they can run.
if wine32_runs; then tests32=ON; else tests32=OFF; fi
configure build-win32 mingw-w64-i686.cmake -DVELTOR_BUILD_TESTS=$tests32
cmake --build build-win32 -j"$jobs"

export WINEPREFIX=${WINEPREFIX:-$PWD/build-win/wine}
export WINEDEBUG=-all
status=0
# One wineserver for the whole run, started before any test (a wineserver
# started by a test would inherit its pipes), and one warm-up run that also
# creates the prefix.
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
tools/wine-run.sh build-win/veltor.exe </dev/null >/dev/null 2>&1 || true

echo "--- 64-bit: unit tests under wine" >&2
ctest --test-dir build-win --output-on-failure -j"$jobs" || status=1

if wine32_runs; then
  echo "--- 32-bit: unit tests under wine32" >&2
  ctest --test-dir build-win32 --output-on-failure -j"$jobs" || status=1
else
  echo "--- 32-bit: built and linked; no 32-bit wine runs here, so its tests do not run" >&2
fi

echo "--- end-to-end suite against build-win/veltor.exe under wine" >&2
cmake -S . -B "$linux_build" -DVELTOR_WERROR=ON -DVELTOR_WINDOWS_RELAY="$PWD/build-win/veltor.exe" \
  -DVELTOR_WINEPREFIX="$WINEPREFIX" >/dev/null
cmake --build "$linux_build" -j"$jobs"
ctest --test-dir "$linux_build" --output-on-failure -j"$jobs" -L windows || status=1

echo "--- package" >&2
(cd build-win && cpack -G ZIP >/dev/null)
python3 -m zipfile -l build-win/veltor-*-win64.zip
exit $status
