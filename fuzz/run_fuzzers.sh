#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for FUZZ_SECONDS (default 30) seconds each, one at a
# time, on a scratch copy of its seed corpus (fuzz/<subsystem>/corpus/<target>/), so the
# committed corpus stays as it is. Any crash, leak, time-out or UBSan report fails the run;
# the input that caused it is kept in <build>/fuzz-artifacts/.
#   fuzz/run_fuzzers.sh <fuzz build folder>
#   fuzz/run_fuzzers.sh --list      (the target names, for the build)
set -uo pipefail
cd "$(dirname "$0")/.."

# "subsystem target" per fuzz target, from the folders' CMakeLists.txt.
targets() {
  for cmake_file in fuzz/*/CMakeLists.txt; do
    subsystem=$(basename "$(dirname "$cmake_file")")
    sed -n "s/^veltrane_add_fuzzer(\([A-Za-z0-9_]*\).*/$subsystem \1/p" "$cmake_file"
  done
}

if [ "${1:-}" = "--list" ]; then
  targets | cut -d' ' -f2
  exit 0
fi
build=${1:?usage: $0 <fuzz build folder> | --list}
seconds=${FUZZ_SECONDS:-30}
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failures=0
while read -r subsystem target; do
  binary="$build/bin/$target"
  if [ ! -x "$binary" ]; then
    echo "$target: FAILED (not built)"
    failures=$((failures + 1))
    continue
  fi
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  seeds="fuzz/$subsystem/corpus/$target"
  [ -d "$seeds" ] && cp -r "$seeds/." "$corpus/"
  log="$scratch/$target.log"
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target-" "$corpus" </dev/null >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$status" -eq 0 ] && ! grep -q -e 'runtime error:' -e 'ERROR: ' "$log"; then
    result=ok
  else
    if grep -q 'ERROR: LeakSanitizer' "$log"; then kind=leak
    elif grep -q 'ERROR: libFuzzer: timeout' "$log"; then kind=timeout
    elif grep -q 'runtime error:' "$log"; then kind=ubsan
    else kind=crash; fi
    result="FAILED ($kind)"
    failures=$((failures + 1))
    cp "$log" "$artifacts/$target.log"
    grep -m 20 -e 'ERROR' -e 'runtime error:' -e '^    #[0-9] ' "$log" | sed 's/^/    /'
    echo "    full log: $artifacts/$target.log"
  fi
  echo "$target: runs ${runs:-0}, ${speed:-0} exec/s, cov ${cov:-0}: $result"
done < <(targets)
[ "$failures" -eq 0 ] || { echo "fuzz-run: $failures target(s) failed"; exit 1; }
echo "fuzz-run: every target ran ${seconds} s without a finding"
