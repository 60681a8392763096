#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, every library instrumented for coverage and checked
# by AddressSanitizer and UndefinedBehaviorSanitizer, and runs each target for the given number
# of seconds (default 30) from its seeds in fuzz/seeds/<name>/. Each corpus grows in
# build/fuzz/corpus/<name>/ and is kept for the next run; a finding is written to
# build/fuzz/findings/<name>/ and ends the script with a failure.
#   scripts/fuzz.sh [seconds] [name...]    names as in fuzz/seeds/ (default: all of them)
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
for name in "${names[@]}"; do
  corpus=build/fuzz/corpus/$name
  findings=build/fuzz/findings/$name
  mkdir -p "$corpus" "$findings"
  cp fuzz/seeds/"$name"/* "$corpus"/
  # The server's target waits for a real server on loopback, so it gets more time per input.
  timeout=10
  [ "$name" = http ] && timeout=30
  log=build/fuzz/$name.log
  if ! build/fuzz/fuzz/"$name"_fuzz -max_total_time="$seconds" -timeout="$timeout" \
      -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name: finding kept in $findings/ (log: $log)" >&2
    exit 1
  fi
  echo "$name: $(grep -E '^Done [0-9]+ runs' "$log")"
  echo "$name: $(grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" | tr '\n' ' ')"
done
