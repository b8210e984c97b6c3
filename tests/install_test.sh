#!/usr/bin/env bash
# `cmake --install` lays the relay out like a Linux tool: the program in bin/,
# its manual page, and the example configuration and systemd unit.
#
# Usage: install_test.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/veltor share/man/man1/veltor.1 share/doc/veltor/veltor.conf share/doc/veltor/veltor.service; do
  [ -f "$prefix/$file" ] || { echo "FAILED: $file not installed"; exit 1; }
done
[ -x "$prefix/bin/veltor" ] || { echo "FAILED: bin/veltor is not executable"; exit 1; }
[ ! -e "$prefix/bin/veltor-demo-feed" ] || { echo "FAILED: the demo feed was installed"; exit 1; }

# The installed program runs: no argument gives its usage line and status 254.
status=0
"$prefix/bin/veltor" >/dev/null 2>"$prefix/usage.txt" </dev/null || status=$?
[ "$status" -eq 254 ] || { echo "FAILED: status $status without arguments"; exit 1; }
grep -qx "Usage: Veltor <configFile>" "$prefix/usage.txt" || { echo "FAILED: no usage line"; exit 1; }

# The unit runs the installed program on /etc/veltor with no keyboard and stops it with SIGTERM.
unit="$prefix/share/doc/veltor/veltor.service"
grep -qx "ExecStart=/usr/local/bin/veltor /etc/veltor/veltor.conf" "$unit" || { echo "FAILED: ExecStart"; exit 1; }
grep -qx "StandardInput=null" "$unit" || { echo "FAILED: StandardInput"; exit 1; }
grep -qx "KillSignal=SIGTERM" "$unit" || { echo "FAILED: KillSignal"; exit 1; }
echo "PASSED: installed layout"
