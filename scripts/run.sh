#!/usr/bin/env bash
# Builds the Release configuration of Tessvark (the program and its tools, no tests or benchmarks)
# and starts the program as the calling user; it prints the address of its interface and opens it
# in the browser when there is a display. Arguments are passed on. Missing Debian packages are
# installed first, which needs root or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh run

jobs=$(nproc)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTESSVARK_BUILD_TESTS=OFF -DTESSVARK_BUILD_BENCH=OFF
cmake --build build/release -j "$jobs"

exec build/release/app/tessvark "$@"
