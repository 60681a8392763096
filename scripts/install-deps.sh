#!/usr/bin/env bash
# Installs the Debian packages Tessvark needs: `run` for building and running the program, `test`
# (the default) for that and everything the tests use. Safe to run again: when everything is
# present it changes nothing. Installing needs root; as another user it asks sudo.
set -euo pipefail

purpose=${1:-test}

# Building and running: compilers, the libraries (libsystemd's sd-bus for the tray icon), and
# xdg-open to show the interface.
run_packages=(
  build-essential cmake pkg-config ca-certificates
  libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev
  libopencv-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libsodium-dev libsystemd-dev
  xdg-utils
)

# Testing adds the sanitizer and fuzzing runtimes, the test and benchmark libraries, the ffmpeg
# command (SRT caller, Example media), the openssl command (certificates of the test update
# server), dbus-daemon and Debian's status-notifier-watcher (a private session bus and a real
# panel's watcher for the tray tests) and the browser tests' Chromium and Node.js.
test_packages=(
  clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg openssl dbus-daemon haskell-status-notifier-item-utils
  chromium nodejs
)

case "$purpose" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Node.js from another source may bring its own npm; Debian's package is only needed without one.
if [ "$purpose" = test ] && ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: installing them needs root: run su -c '$0 $purpose' once, then this command again" >&2
    exit 1
  fi
  as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]}" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
