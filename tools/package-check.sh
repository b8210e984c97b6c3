#!/usr/bin/env bash
# The Debian package as an operator gets it, checked on this machine as root:
# a Release build of everything, its tests, the .deb, lintian (no errors), the
# package installed, both units (one relay, and one per console) accepted by
# systemd-analyze and rated 2.5 or better by its security check, the template
# naming each console's own files, the logrotate file read by logrotate, the
# package removed with its conffiles kept as Debian does, then purged. Installs
# the Debian tools it needs when missing.
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
command -v logrotate >/dev/null || missing="$missing logrotate"
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
for file in /usr/bin/veltor /usr/bin/veltor-check /usr/bin/veltor-watch /usr/bin/veltor-ctl /etc/veltor/veltor.conf \
    /lib/systemd/system/veltor.service /lib/systemd/system/veltor@.service /etc/default/veltor \
    /etc/logrotate.d/veltor /usr/share/doc/veltor/copyright /usr/share/doc/veltor/changelog.gz \
    /usr/share/man/man1/veltor-ctl.1.gz \
    /usr/share/man/man8/veltor.8.gz /usr/share/man/man5/veltor.conf.5.gz \
    /usr/share/man/man1/veltor-check.1.gz /usr/share/man/man1/veltor-watch.1.gz; do
  [ -f "$file" ] || fail "$file not installed"
done
for conffile in /etc/veltor/veltor.conf /etc/default/veltor /etc/logrotate.d/veltor; do
  dpkg-query -W -f='${Conffiles}\n' veltor | grep -q " $conffile " || fail "$conffile is no conffile"
done
for page in veltor.8 veltor.conf.5 veltor-check.1 veltor-watch.1 veltor-ctl.1; do
  section=${page##*.}
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "/usr/share/man/man$section/$page.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
status=0
veltor-check /etc/veltor/veltor.conf >"$build/check.log" 2>/dev/null || status=$?
[ "$status" -eq 0 ] && [ ! -s "$build/check.log" ] || fail "veltor-check on the installed configuration: $status"

# The template is checked as an instance of it, as systemd loads it.
instance_dir=$(mktemp -d)
cp /lib/systemd/system/veltor@.service "$instance_dir/veltor@console1.service"
units=(/lib/systemd/system/veltor.service "$instance_dir/veltor@console1.service")

step "systemd-analyze verify"
systemd-analyze verify "${units[@]}"

step "systemd-analyze security (offline)"
for unit in "${units[@]}"; do
  systemd-analyze security --offline=true "$unit" 2>&1 | grep "Overall exposure level"
  systemd-analyze security --offline=true --threshold=25 "$unit" >/dev/null 2>&1 || fail "$unit rates worse than 2.5"
done
rm -rf "$instance_dir"

step "the template names each console's own files"
for line in "EnvironmentFile=-/etc/default/veltor-%i" "SyslogIdentifier=veltor-%i" "RuntimeDirectory=veltor-%i" \
    "LogsDirectory=veltor-%i" "ExecStart=/usr/bin/veltor \$VELTOR_OPTIONS --control=/run/veltor-%i/control /etc/veltor/%i.conf"; do
  grep -qxF "$line" /lib/systemd/system/veltor@.service || fail "veltor@.service has no line $line"
done

step "logrotate reads its file"
logrotate --debug /etc/logrotate.d/veltor >"$build/logrotate.log" 2>&1 || { cat "$build/logrotate.log"; fail "logrotate"; }

step "dpkg -r keeps the conffile"
dpkg -r veltor
[ ! -e /usr/bin/veltor ] || fail "/usr/bin/veltor left after removal"
[ ! -e /lib/systemd/system/veltor.service ] || fail "the unit left after removal"
[ -f /etc/veltor/veltor.conf ] || fail "the conffile went with dpkg -r"
[ -f /etc/default/veltor ] || fail "/etc/default/veltor went with dpkg -r"
dpkg-query -W -f='${Status}\n' veltor | grep -q "config-files" || fail "package state after removal"

step "dpkg --purge"
dpkg --purge veltor
[ ! -e /etc/veltor/veltor.conf ] || fail "the conffile stayed after purge"
[ ! -e /etc/default/veltor ] || fail "/etc/default/veltor stayed after purge"
echo "PASSED: package $(basename "$deb")"
