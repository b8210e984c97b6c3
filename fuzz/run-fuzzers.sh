#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one for SECONDS (default 60) on a
# copy of its checked-in corpus, then once over every saved regression input.
# Exits non-zero on any crash, leak, sanitizer report, time-out or failed build.
#
#   fuzz/run-fuzzers.sh [SECONDS]
#
# Environment:
#   VELTOR_FUZZ_BUILD_DIR  build folder (default: <repo>/build-fuzz)
#   VELTOR_FUZZ_KEEP       keep the working folder even when all passed
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

fuzz_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$fuzz_dir")"
build="${VELTOR_FUZZ_BUILD_DIR:-$repo/build-fuzz}"

# ---- toolchain: clang and its libFuzzer runtime --------------------------------

fuzzer_toolchain_works() {
  command -v clang >/dev/null && command -v clang++ >/dev/null && command -v cmake >/dev/null || return 1
  local probe
  probe="$(mktemp -d)"
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  local status=0
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 || status=1
  rm -rf "$probe"
  return "$status"
}

if ! fuzzer_toolchain_works; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "clang with the libFuzzer runtime is missing; as root: apt-get install -y clang libclang-rt-14-dev cmake" >&2
    exit 1
  fi
  echo "== installing clang and the libFuzzer runtime"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  packages=(clang libclang-rt-14-dev)
  command -v cmake >/dev/null || packages+=(cmake make)
  apt-get install -y -qq "${packages[@]}" >/dev/null
  fuzzer_toolchain_works || { echo "clang still cannot link a libFuzzer target" >&2; exit 1; }
fi

# ---- build ------------------------------------------------------------------------

# Corpus copies, artifacts and logs live here, never in the repository.
work="$(mktemp -d "${TMPDIR:-/tmp}/veltor-fuzz.XXXXXX")"
failed=0

echo "== building the fuzz targets in $build"
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DVELTOR_FUZZ=ON -DVELTOR_BUILD_TESTS=OFF -DVELTOR_WERROR=ON \
  -DVELTOR_SANITIZE="address;undefined" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target config_loader_fuzz client_stream_fuzz

# ---- runs -------------------------------------------------------------------------

# Sanitizer settings: every report is fatal, leaks included.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# summarize TARGET LOG STATUS: one line from libFuzzer's last status line.
summarize() {
  local target="$1" log="$2" status="$3"
  local last runs
  last="$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)"
  runs="$(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1 | grep -Eo '[0-9]+ runs in [0-9]+' || true)"
  local cov ft corp speed
  cov="$(grep -Eo 'cov: [0-9]+' <<<"$last" | grep -Eo '[0-9]+' || echo '?')"
  ft="$(grep -Eo 'ft: [0-9]+' <<<"$last" | grep -Eo '[0-9]+' || echo '?')"
  corp="$(grep -Eo 'corp: [0-9]+' <<<"$last" | grep -Eo '[0-9]+' || echo '?')"
  speed="$(grep -Eo 'exec/s: [0-9]+' <<<"$last" | grep -Eo '[0-9]+' || echo '?')"
  if [ "$status" -eq 0 ]; then
    printf '%-20s OK      %s s, cov %s, ft %s, corpus %s, exec/s %s\n' "$target" "${runs:-?}" "$cov" "$ft" "$corp" "$speed"
  else
    local what
    what="$(grep -Eom1 'ERROR: [A-Za-z]+: [a-z -]+|==FUZZ CHECK FAILED== .*|runtime error: .*' "$log" || echo "exit $status")"
    printf '%-20s FAILED  %s (log: %s)\n' "$target" "$what" "$log"
  fi
}

# run_target TARGET CORPUS_NAME [EXTRA libFuzzer flags...]
run_target() {
  local target="$1" corpus_name="$2"
  shift 2
  local binary="$build/fuzz/$target"
  local corpus="$work/corpus/$corpus_name" artifacts="$work/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  cp -R "$fuzz_dir/corpus/$corpus_name/." "$corpus/"
  if [ "$corpus_name" = config ]; then
    # One past the longest MOD text a frame can hold; too big to check in twice.
    { printf 'MOD:'; head -c 65526 /dev/zero | tr '\0' 'W'; printf '\n127.0.0.1\n4000\n4001\n1\nY,0.0.0.0,0.0.0.0,N,0,N\n'; } \
      >"$corpus/mod-65526.conf"
  fi

  local status=0
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$@" "$corpus" >"$work/$target.log" 2>&1 || status=$?
  summarize "$target" "$work/$target.log" "$status"
  [ "$status" -eq 0 ] || { failed=1; tail -n 40 "$work/$target.log"; }

  # Saved regression inputs: each runs several times, since the stream target
  # depends on timing and a flaky failure must still show.
  local regressions=("$fuzz_dir/regressions/$target"/*)
  if [ -e "${regressions[0]}" ]; then
    local repeats=1
    [ "$target" = client_stream_fuzz ] && repeats=30
    status=0
    "$binary" -runs="$repeats" -timeout=10 -rss_limit_mb=2048 "${regressions[@]}" \
      >"$work/$target.regressions.log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
      printf '%-20s OK      %d regression input(s), %d run(s) each\n' "$target" "${#regressions[@]}" "$repeats"
    else
      failed=1
      local what
      what="$(grep -Eom1 'ERROR: [A-Za-z]+: [a-z -]+|==FUZZ CHECK FAILED== .*|runtime error: .*' \
        "$work/$target.regressions.log" || echo "exit $status")"
      printf '%-20s FAILED  regression: %s (log: %s)\n' "$target" "$what" "$work/$target.regressions.log"
      grep -E '^Running: ' "$work/$target.regressions.log" | tail -n 1 || true
    fi
  fi
}

echo "== fuzzing each target for $seconds s (work folder $work)"
run_target config_loader_fuzz config -dict="$fuzz_dir/config.dict"
# A script of 64 operations with their data fits well within 1 KB.
run_target client_stream_fuzz stream -max_len=1024

if [ "$failed" -ne 0 ]; then
  echo "== FAILED: crash inputs and logs are in $work (add each new crash input to fuzz/regressions/<target>/)"
  exit 1
fi
if [ -z "${VELTOR_FUZZ_KEEP:-}" ]; then
  rm -rf "$work"
else
  echo "== kept $work"
fi
echo "== all fuzz targets passed"
