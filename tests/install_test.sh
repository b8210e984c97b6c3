#!/usr/bin/env bash
# `cmake --install` lays the relay out like a Linux daemon: the programs in
# bin/, compressed manual pages in sections 8, 5 and 1, the copyright file and
# changelog, the configuration and a systemd unit where systemd looks, with
# the paths of the configured prefix. Installed under DESTDIR, so nothing
# outside the scratch directory is touched even for the /usr prefix.
#
# Usage: install_test.sh BUILD_DIR
set -eu
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
fail() { echo "FAILED: $*"; exit 1; }
DESTDIR=$root cmake --install "$build" >/dev/null

if [ "$prefix" = /usr ]; then etc=/etc unitdir=/lib/systemd/system; else etc=$prefix/etc unitdir=$prefix/lib/systemd/system; fi
conf=$etc/veltor/veltor.conf
for file in "$prefix/bin/veltor" "$prefix/bin/veltor-check" "$prefix/bin/veltor-watch" "$prefix/bin/veltor-ctl" \
    "$prefix/share/man/man8/veltor.8.gz" "$prefix/share/man/man5/veltor.conf.5.gz" \
    "$prefix/share/man/man1/veltor-check.1.gz" "$prefix/share/man/man1/veltor-watch.1.gz" \
    "$prefix/share/man/man1/veltor-ctl.1.gz" \
    "$prefix/share/doc/veltor/copyright" "$prefix/share/doc/veltor/changelog.gz" \
    "$conf" "$unitdir/veltor.service" "$unitdir/veltor@.service" "$etc/default/veltor" "$etc/logrotate.d/veltor"; do
  [ -f "$root$file" ] || fail "$file not installed"
done
for program in veltor veltor-check veltor-watch veltor-ctl; do
  [ -x "$root$prefix/bin/$program" ] || fail "bin/$program is not executable"
done
[ ! -e "$root$prefix/bin/veltor-demo-feed" ] || fail "the demo feed was installed"
[ "$(stat -c %a "$root$conf")" = 644 ] || fail "the configuration is not readable by all"

# The installed relay runs: no argument gives its usage line and status 254.
status=0
"$root$prefix/bin/veltor" >/dev/null 2>"$root/usage.txt" </dev/null || status=$?
[ "$status" -eq 254 ] || fail "status $status without arguments"
grep -qx "Usage: Veltor <configFile>" "$root/usage.txt" || fail "no usage line"

# The installed configuration is the example, and the installed checker finds it clean.
cmp -s "$root$conf" "$(dirname "$0")/../examples/veltor.conf" || fail "the configuration is not the example"
status=0
"$root$prefix/bin/veltor-check" "$root$conf" >"$root/check.txt" 2>/dev/null || status=$?
[ "$status" -eq 0 ] && [ ! -s "$root/check.txt" ] || fail "veltor-check on the installed configuration: $status"

# The unit runs this prefix's programs on this prefix's configuration with the
# options of its defaults file, checks it first, has no keyboard, says when it
# is ready, stops with SIGTERM and never restarts a refused file.
unit=$root$unitdir/veltor.service
for line in "EnvironmentFile=-$etc/default/veltor" \
    "ExecStartPre=-$prefix/bin/veltor-check \$VELTOR_OPTIONS --control=/run/veltor/control $conf" \
    "ExecStart=$prefix/bin/veltor \$VELTOR_OPTIONS --control=/run/veltor/control $conf" \
    "Type=notify" "StandardInput=null" "KillSignal=SIGTERM" "RestartPreventExitStatus=252 253 254"; do
  grep -qxF "$line" "$unit" || fail "unit has no line $line"
done
# An instance per console: its own configuration, options, control socket,
# logs directory and name in the journal.
unit=$root$unitdir/veltor@.service
for line in "EnvironmentFile=-$etc/default/veltor-%i" \
    "ExecStart=$prefix/bin/veltor \$VELTOR_OPTIONS --control=/run/veltor-%i/control $etc/veltor/%i.conf" \
    "SyslogIdentifier=veltor-%i" "RuntimeDirectory=veltor-%i" "LogsDirectory=veltor-%i" "Type=notify"; do
  grep -qxF "$line" "$unit" || fail "template unit has no line $line"
done

# A second install keeps a configuration edited since the first.
echo "# edited" >>"$root$conf"
DESTDIR=$root cmake --install "$build" >/dev/null
tail -n 1 "$root$conf" | grep -qx "# edited" || fail "a second install replaced the edited configuration"
echo "PASSED: installed layout"
