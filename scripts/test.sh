#!/usr/bin/env bash
# Builds Tessvark with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test,
# then gives the JSON parser a short fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DTESSVARK_SANITIZE=ON -DTESSVARK_BUILD_BENCH=ON
cmake --build build/test -j "$jobs"
ctest --test-dir build/test -j "$jobs" --output-on-failure

if [ -f fuzz/CMakeLists.txt ]; then
  ./scripts/fuzz.sh "${TESSVARK_FUZZ_SECONDS:-30}"
fi
