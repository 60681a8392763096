#!/usr/bin/env bash
# The layer check against small trees of its own: a tree that keeps the layers passes, and each
# way of breaking them (an include above the layer, a new folder with no place) fails and names it.
set -euo pipefail
checker="$(cd "$(dirname "$0")/.." && pwd)/scripts/check_layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tree with one source per layer, each including only what its layer may.
make_tree() {
  local tree="$1"
  mkdir -p "$tree/scripts"
  cp "$checker" "$tree/scripts/"
  local folder
  for folder in core platform ocr settings sources outputs/vmix session server app tools tests bench fuzz; do
    mkdir -p "$tree/$folder"
    echo '#include "core/a.h"' >"$tree/$folder/a.h"
  done
  echo '#include <vector>' >"$tree/core/a.h"
  echo '#include "session/ocr_runtime.h"' >"$tree/server/b.cpp"
  echo '#include "server/a.h"' >"$tree/app/b.cpp"
  echo '#include "tests/a.h"' >"$tree/bench/b.cpp"
}

failed=0
# name | file to add | its text | expected exit | text the output must hold
while IFS='|' read -r name file text expected needle; do
  tree="$work/$name"
  make_tree "$tree"
  if [ -n "$file" ]; then
    mkdir -p "$(dirname "$tree/$file")"
    printf '%b\n' "$text" >"$tree/$file"
  fi
  set +e
  output=$(bash "$tree/scripts/check_layers.sh" 2>&1)
  status=$?
  set -e
  if [ "$status" -ne "$expected" ] || [[ "$output" != *"$needle"* ]]; then
    echo "FAIL $name: exit $status (wanted $expected), output: $output" >&2
    failed=1
  else
    echo "ok   $name"
  fi
done <<'CASES'
layers kept|||0|every include keeps to it
middle includes top|ocr/b.cpp|#include "session/native_session.h"|1|ocr includes session/native_session.h
middle folders apart|sources/b.cpp|#include "ocr/a.h"|1|sources includes ocr/a.h
server beyond the runtime interface|server/c.cpp|#include "session/native_session.h"|1|server includes session/native_session.h
program includes a test|app/c.cpp|#include "tests/a.h"|1|app includes tests/a.h
new folder reaching up|outputs/udp/udp.cpp|#include "session/native_session.h"\n#include "server/local_http_server.h"|1|outputs/udp/ holds sources but has no place
new folder on its own|extras/x.cpp|int x;|1|extras/ holds sources but has no place
CASES
exit "$failed"
