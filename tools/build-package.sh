#!/usr/bin/env bash
# Builds the Debian package veltor_VERSION_ARCH.deb: a Release build for the
# /usr prefix with Debian's build flags (hardening included), then cpack.
# Extra arguments go to cmake, e.g. -DBUILD_TESTING=OFF for the programs alone.
#
# Usage: tools/build-package.sh [BUILD_DIR [CMAKE_ARGS...]]   (default: build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
[ $# -gt 0 ] && shift

command -v dpkg-buildflags >/dev/null || { echo "build-package: dpkg-buildflags is missing (apt-get install dpkg-dev)" >&2; exit 1; }
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "$@" >/dev/null
cmake --build "$build" -j2
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/veltor_*.deb
