#!/usr/bin/env bash
# Checks, from the #include lines, that no library folder reaches above its layer:
#   ground:  core, platform (platform may use core, core uses nothing of ours)
#   middle:  ocr, settings, sources, outputs/vmix (the ground only, never one another)
#   top:     session (everything below), server (the ground and the session's runtime
#            interface only), app (everything)
#   tools:   the ground and the middle (tests and benchmarks draw scenes with them)
# With --graph it prints which folder includes which instead, and checks nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(core platform ocr settings sources outputs/vmix session server app tools)

# The headers that make up the session's runtime interface: what the server may include of it.
runtime_interface="session/ocr_runtime.h session/runtime_response.h session/zone_preview_options.h session/session_server.h"

allowed() {
  case "$1" in
    core) echo "core" ;;
    platform) echo "platform core" ;;
    ocr|settings|sources|outputs/vmix) echo "$1 core platform" ;;
    tools) echo "tools core platform ocr settings sources outputs/vmix" ;;
    session) echo "session core platform ocr settings sources outputs/vmix" ;;
    server) echo "server core platform" ;;
    app) echo "app core platform ocr settings sources outputs/vmix session server" ;;
  esac
}

# The folder an included path belongs to ("outputs/vmix/x.h" -> "outputs/vmix"), or nothing for
# a path outside our folders.
owner_of() {
  local path="$1" folder
  for folder in "${folders[@]}"; do
    if [[ "$path" == "$folder/"* ]]; then
      echo "$folder"
      return
    fi
  done
}

# Every "folder included-path" pair of the folder's sources.
includes_of() {
  local folder="$1"
  grep -rhoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' "$folder" \
      --include='*.h' --include='*.cpp' 2>/dev/null |
    sed -E 's/.*"([^"]+)"/\1/' | sort -u
}

if [ "${1:-}" = "--graph" ]; then
  for folder in "${folders[@]}"; do
    [ -d "$folder" ] || continue
    printf '%-13s ->' "$folder"
    includes_of "$folder" | while read -r path; do owner_of "$path"; done |
      { grep -vx "$folder" || true; } | sort | uniq -c | awk '{printf " %s(%s)", $2, $1}'
    echo
  done
  exit 0
fi

failures=0
for folder in "${folders[@]}"; do
  [ -d "$folder" ] || continue
  ok=" $(allowed "$folder") "
  while read -r path; do
    [ -n "$path" ] || continue
    target=$(owner_of "$path")
    [ -n "$target" ] || continue
    if [[ "$ok" == *" $target "* ]]; then continue; fi
    if [ "$folder" = "server" ] && [[ " $runtime_interface " == *" $path "* ]]; then continue; fi
    # Name the file that holds the include, so the message leads straight to it.
    files=$(grep -rlE "#[[:space:]]*include[[:space:]]+\"$path\"" "$folder" \
              --include='*.h' --include='*.cpp' | tr '\n' ' ')
    echo "layer check: $folder includes $path (in $files)" >&2
    failures=$((failures + 1))
  done < <(includes_of "$folder")
done

if [ "$failures" -ne 0 ]; then
  echo "layer check: $failures include(s) run against the layers" >&2
  exit 1
fi
echo "layer check: every include keeps to its layer"
