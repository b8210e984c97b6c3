#!/usr/bin/env bash
# Builds the relay and its fan-out benchmark (RelWithDebInfo), then measures the
# relay side by side with `ncat --broker` for 1, 20 and 100 clients, and under
# a flood from two clients without pass-through, both peers in one run so both
# meet the same machine. Results go to standard output, progress to standard
# error. Admitting clients takes the relay one second each, so a full run lasts
# about nine and a half minutes.
#
# usage: bench/run-bench.sh [BUILD_DIR] [benchmark options...]
#   BUILD_DIR defaults to build/ in the source tree. A directory that does not
#   exist yet is configured without the test suite, so the benchmark needs no
#   test framework (it builds the test kit's library, which needs none either).
#   Options after it go to veltor-fanout-bench (for a short trial: --clients 1,3
#   --latency-seconds 2 --throughput-seconds 3 --idle-seconds 2; --peer veltor
#   or --peer ncat measures one of the two; --scenarios flood runs the flood
#   alone, --flood-seconds 0 skips it; --relay-option=OPTION, repeatable, goes
#   to the relay before its configuration file).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
[ $# -gt 0 ] && shift

args=("$@")
has_clients=0
peer=both
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --clients) has_clients=1 ;;
    --peer) peer="${args[i + 1]:-both}" ;;
  esac
done
[ "$has_clients" -eq 1 ] || args=(--clients 1,20,100 "${args[@]}")

# The peer comes from Debian's package ncat; installed here when it can be.
if [ "$peer" != veltor ] && ! command -v ncat >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing Debian package ncat" >&2
    apt-get install -y ncat >&2 || { apt-get update >&2 && apt-get install -y ncat >&2; }
  else
    echo "run-bench.sh: ncat is missing: install the Debian package ncat (apt-get install ncat)," >&2
    echo "  or measure the relay alone with --peer veltor" >&2
    exit 1
  fi
fi

configure=(cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
[ -f "$build/CMakeCache.txt" ] || configure+=(-DVELTOR_BUILD_TESTS=OFF)
"${configure[@]}" >&2
cmake --build "$build" -j2 --target veltor veltor-fanout-bench >&2

echo "date: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
echo "commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "nproc: $(nproc)"
lscpu | sed -n 's/^Model name:[[:space:]]*/cpu: /p'
awk '/^MemTotal:/ {printf "memory: %.1f GiB\n", $2 / 1048576}' /proc/meminfo
echo "kernel: $(uname -sr)"
echo "compiler: $(g++ --version | head -n 1)"
[ "$peer" = veltor ] || echo "peer: $(ncat --version 2>&1 | head -n 1)"
echo

exec "$build/bench/veltor-fanout-bench" "${args[@]}" "$build/veltor"
