#!/usr/bin/env bash
# Builds Tessvark with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test. The
# programs that run threads also run under ThreadSanitizer, the JSON parser gets a short fuzzing
# run, and the interface is tested in headless Chromium against the real program. The full suite runs last, so its summary closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh test

jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DTESSVARK_SANITIZE=ON -DTESSVARK_BUILD_BENCH=ON
cmake --build build/test -j "$jobs"

cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DTESSVARK_TSAN=ON -DTESSVARK_BUILD_BENCH=OFF
cmake --build build/tsan -j "$jobs" --target threaded_tests
ctest --test-dir build/tsan -L threaded -j "$jobs" --output-on-failure

if [ -f fuzz/CMakeLists.txt ]; then
  ./scripts/fuzz.sh "${TESSVARK_FUZZ_SECONDS:-30}"
fi

# The interface in headless Chromium against the real program.
tests/ui/run.sh build/test/app/tessvark

ctest --test-dir build/test -j "$jobs" --output-on-failure
