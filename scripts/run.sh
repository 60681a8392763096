#!/usr/bin/env bash
# Builds the Release configuration of Tessvark and starts the program. Arguments are passed on.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTESSVARK_BUILD_TESTS=OFF -DTESSVARK_BUILD_BENCH=ON
cmake --build build/release -j "$jobs"

program=build/release/app/tessvark
if [ ! -x "$program" ]; then
  echo "run: the libraries are built; the desktop program itself is not part of this build yet" >&2
  exit 0
fi
exec "$program" "$@"
