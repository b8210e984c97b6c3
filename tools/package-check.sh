#!/usr/bin/env bash
# The Debian package as an operator gets it, checked on this machine as root:
# a Release build of everything, its tests, the .deb, lintian (no errors), the
# package installed, its unit accepted by systemd-analyze and rated 2.5 or
# better by its security check, the package removed with its conffile kept as
# Debian does, then purged. Installs the Debian tools it needs when missing.
#
# Usage: tools/package-check.sh [BUILD_DIR]   (default: build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
step() { printf -- '--- %s\n' "$*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "run as root: the check installs and removes the package"
missing=""
command -v lintian >/dev/null || missing="$missing lintian"
command -v dpkg-buildflags >/dev/null || missing="$missing dpkg-dev"
command -v file >/dev/null || missing="$missing file"
command -v gzip >/dev/null || missing="$missing gzip"
command -v systemd-analyze >/dev/null || missing="$missing systemd"
if [ -n "$missing" ]; then
  step "installing$missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

# A package left by an earlier run would hide what this one installs.
if dpkg-query -W -f='${Status}' veltor 2>/dev/null | grep -q "installed\|config-files"; then
  step "purging a veltor package left installed"
  dpkg --purge veltor >/dev/null
fi

step "Release build with the tests, warnings as errors, and the package"
deb=$(tools/build-package.sh "$build" -DVELTOR_WERROR=ON | tail -n 1)
[ -f "$deb" ] || fail "no package built"
case "$(basename "$deb")" in
  veltor_*_"$(dpkg --print-architecture)".deb) ;;
  *) fail "package name $(basename "$deb")" ;;
esac

step "the Release build's tests"
ctest --test-dir "$build" -j2 -LE soak --output-on-failure >"$build/ctest.log" 2>&1 || { cat "$build/ctest.log"; fail "tests"; }
grep "tests passed" "$build/ctest.log"

step "lintian"
lintian -I --pedantic "$deb" 2>&1 | grep -v "running with root privileges" | tee "$build/lintian.log" || true
! grep -q "^E: " "$build/lintian.log" || fail "lintian reports errors"

step "dpkg -i"
dpkg -i "$deb"
for file in /usr/bin/veltor /usr/bin/veltor-check /usr/bin/veltor-watch /etc/veltor/veltor.conf \
    /lib/systemd/system/veltor.service /usr/share/doc/veltor/copyright /usr/share/doc/veltor/changelog.gz \
    /usr/share/man/man8/veltor.8.gz /usr/share/man/man5/veltor.conf.5.gz \
    /usr/share/man/man1/veltor-check.1.gz /usr/share/man/man1/veltor-watch.1.gz; do
  [ -f "$file" ] || fail "$file not installed"
done
dpkg-query -W -f='${Conffiles}\n' veltor | grep -q " /etc/veltor/veltor.conf " || fail "no conffile"
for page in veltor.8 veltor.conf.5 veltor-check.1 veltor-watch.1; do
  section=${page##*.}
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "/usr/share/man/man$section/$page.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
status=0
veltor-check /etc/veltor/veltor.conf >"$build/check.log" 2>/dev/null || status=$?
[ "$status" -eq 0 ] && [ ! -s "$build/check.log" ] || fail "veltor-check on the installed configuration: $status"

step "systemd-analyze verify"
systemd-analyze verify /lib/systemd/system/veltor.service

step "systemd-analyze security (offline)"
rating=$(systemd-analyze security --offline=true /lib/systemd/system/veltor.service 2>&1 | grep "Overall exposure level")
echo "$rating"
systemd-analyze security --offline=true --threshold=25 /lib/systemd/system/veltor.service >/dev/null 2>&1 ||
  fail "the unit rates worse than 2.5"

step "dpkg -r keeps the conffile"
dpkg -r veltor
[ ! -e /usr/bin/veltor ] || fail "/usr/bin/veltor left after removal"
[ ! -e /lib/systemd/system/veltor.service ] || fail "the unit left after removal"
[ -f /etc/veltor/veltor.conf ] || fail "the conffile went with dpkg -r"
dpkg-query -W -f='${Status}\n' veltor | grep -q "config-files" || fail "package state after removal"

step "dpkg --purge"
dpkg --purge veltor
[ ! -e /etc/veltor/veltor.conf ] || fail "the conffile stayed after purge"
echo "PASSED: package $(basename "$deb")"
