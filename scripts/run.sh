#!/usr/bin/env bash
# Builds the Release configuration of Tessvark and starts the program; it prints the address of its
# interface and opens it in the browser when there is a display. Arguments are passed on.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTESSVARK_BUILD_TESTS=OFF -DTESSVARK_BUILD_BENCH=ON
cmake --build build/release -j "$jobs"

exec build/release/app/tessvark "$@"
