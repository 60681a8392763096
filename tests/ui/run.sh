#!/usr/bin/env bash
# Runs the browser tests of the operator interface against the real program.
# Usage: tests/ui/run.sh <path to app/tessvark>
# Installs the npm packages (tests/ui/node_modules), starts the program on a temporary data
# folder, runs the tests in headless Chromium (they choose the Example video as the source) and
# stops the program with SIGTERM, which must end it normally. The program must be a build with
# the test hooks (the default of a build with tests), so that the update tests can point their
# own instance at their own update server; `openssl` makes that server's certificates.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <path to app/tessvark>" >&2
  exit 2
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -x /usr/bin/chromium ]; then
  echo "ui tests: /usr/bin/chromium is missing (apt-get install chromium)" >&2
  exit 1
fi
if ! command -v openssl >/dev/null 2>&1; then
  echo "ui tests: openssl is missing (apt-get install openssl)" >&2
  exit 1
fi

# The programs these tests start never reach the desktop's session bus: with no address and a
# private runtime folder they find no bus, so no tray icon of theirs shows on a developer's panel.
unset DBUS_SESSION_BUS_ADDRESS

cd "$here"
npm ci --no-audit --no-fund --loglevel=error >/dev/null

work=$(mktemp -d)
mkdir -m 700 "$work/runtime" "$work/data"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    wait "$pid" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

XDG_RUNTIME_DIR="$work/runtime" "$program" --no-browser --config "$work/data" 2>"$work/program.log" &
pid=$!

url_file="$work/data/tessvark-url"
# A failure-only deadline: a slow, busy machine may take long to start the program.
for _ in $(seq 1 600); do
  [ -s "$url_file" ] && break
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "ui tests: the program ended before it wrote its address:" >&2
    cat "$work/program.log" >&2
    exit 1
  fi
  sleep 0.1
done
if [ ! -s "$url_file" ]; then
  echo "ui tests: the program wrote no address within 60 s" >&2
  exit 1
fi

status=0
# The update tests start an instance of their own (TESSVARK_PROGRAM) against their update server.
TESSVARK_URL=$(head -n 1 "$url_file") TESSVARK_PROGRAM="$program" \
  node --test --test-concurrency=1 "$here"/*.test.js || status=$?

# A quit request ends the program normally; anything else is a fault worth seeing.
kill -TERM "$pid"
program_status=0
wait "$pid" || program_status=$?
pid=""
if [ "$program_status" -ne 0 ]; then
  echo "ui tests: the program exited with $program_status after SIGTERM" >&2
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "ui tests: end of the program's output:" >&2
  tail -n 40 "$work/program.log" >&2
fi
exit "$status"
