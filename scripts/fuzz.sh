#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTESSVARK_BUILD_TESTS=OFF -DTESSVARK_BUILD_BENCH=OFF -DTESSVARK_BUILD_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target json_fuzz

corpus=build/fuzz/corpus/json
mkdir -p "$corpus"
printf '%s' '{"zones":[{"id":"a","x":0.5,"processing":{"invert":true}}],"n":-1.5e+3}' >"$corpus/seed-object"
printf '%s' '[null,true,false,"\u0041\n",[],{}]' >"$corpus/seed-array"
build/fuzz/fuzz/json_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 "$corpus"
