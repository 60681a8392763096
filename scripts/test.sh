#!/usr/bin/env bash
# Checks that no include runs against the layers, builds Tessvark with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test. clang checks the lock annotations, the programs
# that run threads also run under ThreadSanitizer, every reader of outside text gets a short
# fuzzing run (TESSVARK_FUZZ_SECONDS per target, default 10), and the interface is tested in
# headless Chromium against the real program. The full suite runs last, so its summary closes
# the output.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh test
./scripts/check_layers.sh

jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DTESSVARK_SANITIZE=ON -DTESSVARK_BUILD_BENCH=ON
cmake --build build/test -j "$jobs"

# The lock annotations, checked by clang's thread-safety analysis; only the program's libraries are
# compiled, nothing runs.
cmake -S . -B build/clang -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTESSVARK_THREAD_SAFETY=ON -DTESSVARK_BUILD_TESTS=OFF \
  -DTESSVARK_BUILD_BENCH=OFF
cmake --build build/clang -j "$jobs" --target tessvark

cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DTESSVARK_TSAN=ON -DTESSVARK_BUILD_BENCH=OFF
cmake --build build/tsan -j "$jobs" --target threaded_tests
ctest --test-dir build/tsan -L threaded -j "$jobs" --output-on-failure

if [ -f fuzz/CMakeLists.txt ]; then
  ./scripts/fuzz.sh "${TESSVARK_FUZZ_SECONDS:-10}"
fi

# The interface in headless Chromium against the real program.
tests/ui/run.sh build/test/app/tessvark

ctest --test-dir build/test -j "$jobs" --output-on-failure
