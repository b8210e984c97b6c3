#!/usr/bin/env bash
# Builds everything with a sanitizer and runs the test suite under it. The
# relay processes that the end-to-end tests start are the sanitized binary
# too; their reports go to files, so a report from a process that a test
# later killed still fails the run.
#
# Usage: tools/sanitizer-tests.sh address|thread [ctest arguments...]
#   Without ctest arguments, every test but the soak test runs.
#   address: AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer)
#   thread:  ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:?usage: tools/sanitizer-tests.sh address|thread [ctest args...]}
shift
case "$mode" in
  address) sanitizers="address;undefined"; dir=build-asan ;;
  thread) sanitizers="thread"; dir=build-tsan ;;
  *) echo "unknown mode: $mode" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTOR_WERROR=ON -DVELTOR_SANITIZE="$sanitizers" >/dev/null
cmake --build "$dir" -j2

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="log_path=$reports/lsan"
# second_deadlock_stack gives both stacks of a lock-order report. No sleep at
# exit: a log writer held by a reader that never reads is still running then,
# and the tests bound how long shutdown takes.
export TSAN_OPTIONS="log_path=$reports/tsan:second_deadlock_stack=1:halt_on_error=0:atexit_sleep_ms=0"

status=0
[ $# -gt 0 ] || set -- -LE soak
ctest --test-dir "$dir" --output-on-failure -j2 "$@" || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "Sanitizer reports ($mode):" >&2
  for report in "$reports"/*; do
    echo "=== $(basename "$report")" >&2
    cat "$report" >&2
  done
  status=1
fi
exit $status
