#!/usr/bin/env bash
# Checks, from the #include lines, that no folder reaches above its layer:
#   ground:  core, platform (platform may use core, core uses nothing of ours)
#   middle:  ocr, settings, sources, outputs/vmix (the ground only, never one another)
#   top:     session (everything below), server (the ground and the session's runtime
#            interface only), app (everything)
#   tools:   the ground and the middle (tests and benchmarks draw scenes with them)
#   tests, bench, fuzz: everything, their own support included; nothing else includes them
# Every folder that holds C or C++ sources must have its place above (a folder inside a listed
# one belongs to it): a new folder fails the check until it is given one, so a library cannot
# escape the layers by being new.
# With --graph it prints which folder includes which instead, and checks nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(core platform ocr settings sources outputs/vmix session server app tools tests bench fuzz)

# The headers that make up the session's runtime interface: what the server may include of it.
runtime_interface="session/ocr_runtime.h session/runtime_response.h session/zone_preview_options.h session/session_server.h"

program="core platform ocr settings sources outputs/vmix session server app"

allowed() {
  case "$1" in
    core) echo "core" ;;
    platform) echo "platform core" ;;
    ocr|settings|sources|outputs/vmix) echo "$1 core platform" ;;
    tools) echo "tools core platform ocr settings sources outputs/vmix" ;;
    session) echo "session core platform ocr settings sources outputs/vmix" ;;
    server) echo "server core platform" ;;
    app) echo "$program" ;;
    tests|bench|fuzz) echo "$program tools tests bench fuzz" ;;
  esac
}

# Every C or C++ source of the tree (tracked, or new and not ignored), as a path from the top.
sources() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -co --exclude-standard -- '*.h' '*.hpp' '*.c' '*.cc' '*.cpp' '*.h.in'
  else
    find . \( -path ./build -o -path './build-*' -o -name node_modules \) -prune -o \
      -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \
      -o -name '*.h.in' \) -print | sed 's#^\./##'
  fi
}

# The listed folder a path belongs to ("outputs/vmix/x.h" -> "outputs/vmix"), or nothing, in
# $owner (no subshell: it runs once per include).
find_owner() {
  local folder
  owner=""
  for folder in "${folders[@]}"; do
    if [[ "$1" == "$folder/"* ]]; then
      owner="$folder"
      return
    fi
  done
}

# Every path a folder's sources include with quotes.
includes_of() {
  local folder="$1"
  grep -rhoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' "$folder" \
      --include='*.h' --include='*.hpp' --include='*.c' --include='*.cc' --include='*.cpp' \
      --include='*.h.in' 2>/dev/null |
    sed -E 's/.*"([^"]+)"/\1/' | sort -u
}

# The top-level names of the tree (folders and files), to tell a path of ours from a system one.
tree_tops=" $(ls -A | tr '\n' ' ') "
is_ours() { [[ "$tree_tops" == *" ${1%%/*} "* ]] && [[ "$1" == */* ]]; }

if [ "${1:-}" = "--graph" ]; then
  for folder in "${folders[@]}"; do
    [ -d "$folder" ] || continue
    printf '%-13s ->' "$folder"
    includes_of "$folder" | while read -r path; do find_owner "$path"; [ -z "$owner" ] || echo "$owner"; done |
      { grep -vx "$folder" || true; } | sort | uniq -c | awk '{printf " %s(%s)", $2, $1}'
    echo
  done
  exit 0
fi

failures=0

# A folder of sources with no place in the order.
while read -r dir; do
  echo "layer check: $dir/ holds sources but has no place in the layer order (scripts/check_layers.sh)" >&2
  failures=$((failures + 1))
done < <(sources | awk -v listed="${folders[*]}" '
           BEGIN { n = split(listed, folder, " ") }
           {
             for (i = 1; i <= n; i++) if (index($0, folder[i] "/") == 1) next
             dir = $0; if (!sub(/\/[^\/]*$/, "", dir)) dir = "."
             print dir
           }' | sort -u)

for folder in "${folders[@]}"; do
  [ -d "$folder" ] || continue
  ok=" $(allowed "$folder") "
  while read -r path; do
    [ -n "$path" ] || continue
    find_owner "$path"
    target="$owner"
    if [ -z "$target" ]; then
      # A path into the tree outside every listed folder is a layer of its own that nobody placed.
      is_ours "$path" || continue
      target="${path%/*}"
    fi
    if [[ "$ok" == *" $target "* ]]; then continue; fi
    if [ "$folder" = "server" ] && [[ " $runtime_interface " == *" $path "* ]]; then continue; fi
    # Name the file that holds the include, so the message leads straight to it.
    files=$(grep -rlE "#[[:space:]]*include[[:space:]]+\"$path\"" "$folder" \
              --include='*.h' --include='*.hpp' --include='*.c' --include='*.cc' \
              --include='*.cpp' --include='*.h.in' | tr '\n' ' ')
    echo "layer check: $folder includes $path (in $files)" >&2
    failures=$((failures + 1))
  done < <(includes_of "$folder")
done

if [ "$failures" -ne 0 ]; then
  echo "layer check: $failures problem(s) with the layers" >&2
  exit 1
fi
echo "layer check: every folder has its layer and every include keeps to it"
