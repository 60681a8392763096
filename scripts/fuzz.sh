#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, every library instrumented for coverage and checked
# by AddressSanitizer and UndefinedBehaviorSanitizer, and runs each target for the given number
# of seconds (default 30) from its seeds in fuzz/seeds/<name>/. Each corpus grows in
# build/fuzz/corpus/<name>/ and is kept for the next run; a finding is written to
# build/fuzz/findings/<name>/ and ends the script with a failure.
#   scripts/fuzz.sh [seconds] [name...]    names as in fuzz/seeds/ (default: all of them)
# With TESSVARK_FUZZ_SIDE_BY_SIDE=1 the targets run all at once at the lowest priority (nice 19),
# for long runs outside CI; every target still runs to its time, and each finding is reported.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
names=("${@:2}")
if [ ${#names[@]} -eq 0 ]; then
  for folder in fuzz/seeds/*/; do names+=("$(basename "$folder")"); done
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTESSVARK_BUILD_TESTS=OFF -DTESSVARK_BUILD_BENCH=OFF -DTESSVARK_BUILD_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target "${names[@]/%/_fuzz}"

export UBSAN_OPTIONS=print_stacktrace=1
# The targets' input folders go into a temporary folder of this run, removed at its end even when
# a target was killed before it could remove its own.
TMPDIR=$(mktemp -d "${TMPDIR:-/tmp}/tessvark-fuzz-run.XXXXXX")
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

# Runs one target; its output goes to build/fuzz/<name>.log.
run_target() {
  local name=$1 corpus=build/fuzz/corpus/$1 findings=build/fuzz/findings/$1
  mkdir -p "$corpus" "$findings"
  cp fuzz/seeds/"$name"/* "$corpus"/
  # The server's target waits for a real server on loopback, so it gets more time per input.
  local timeout=10
  [ "$name" = http ] && timeout=30
  "${runner[@]}" build/fuzz/fuzz/"$name"_fuzz -max_total_time="$seconds" -timeout="$timeout" \
    -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >build/fuzz/"$name".log 2>&1
}

# Reports one finished target from its exit status; false for a finding.
report_target() {
  local name=$1 status=$2 log=build/fuzz/$1.log
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "$name: finding kept in build/fuzz/findings/$name/ (log: $log)" >&2
    return 1
  fi
  echo "$name: $(grep -E '^Done [0-9]+ runs' "$log")"
  echo "$name: $(grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" | tr '\n' ' ')"
}

runner=()
if [ "${TESSVARK_FUZZ_SIDE_BY_SIDE:-0}" = 1 ]; then
  runner=(nice -n 19)
  declare -A pids
  for name in "${names[@]}"; do
    run_target "$name" &
    pids[$name]=$!
  done
  failed=0
  for name in "${names[@]}"; do
    status=0
    wait "${pids[$name]}" || status=$?
    report_target "$name" "$status" || failed=1
  done
  exit "$failed"
fi

for name in "${names[@]}"; do
  status=0
  run_target "$name" || status=$?
  report_target "$name" "$status" || exit 1
done
