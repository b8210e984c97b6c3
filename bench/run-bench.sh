#!/usr/bin/env bash
# Builds the relay and its fan-out benchmark (RelWithDebInfo), then measures the
# relay with 1, 20 and 100 clients. Results go to standard output, progress to
# standard error. Admitting clients takes one second each, so a full run lasts
# about five minutes.
#
# usage: bench/run-bench.sh [BUILD_DIR] [benchmark options...]
#   BUILD_DIR defaults to build/ in the source tree. A directory that does not
#   exist yet is configured without the test suite, so the benchmark needs no
#   test framework. Options after it go to veltor-fanout-bench (for a short
#   trial: --clients 1,3 --latency-seconds 2 --throughput-seconds 3 --idle-seconds 2).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
[ $# -gt 0 ] && shift

configure=(cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
[ -f "$build/CMakeCache.txt" ] || configure+=(-DVELTOR_BUILD_TESTS=OFF)
"${configure[@]}" >&2
cmake --build "$build" -j2 --target veltor veltor-fanout-bench >&2

echo "date: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
echo "nproc: $(nproc)"
lscpu | sed -n 's/^Model name:[[:space:]]*/cpu: /p'
awk '/^MemTotal:/ {printf "memory: %.1f GiB\n", $2 / 1048576}' /proc/meminfo
echo "kernel: $(uname -sr)"
echo "compiler: $(g++ --version | head -n 1)"
echo

args=("$@")
has_clients=0
for arg in "${args[@]}"; do [ "$arg" = "--clients" ] && has_clients=1; done
[ "$has_clients" -eq 1 ] || args=(--clients 1,20,100 "${args[@]}")

exec "$build/bench/veltor-fanout-bench" "${args[@]}" "$build/veltor"
