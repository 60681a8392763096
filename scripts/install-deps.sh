#!/usr/bin/env bash
# Installs every Debian package Tessvark needs to build, test and run.
# Safe to run again: when everything is present it changes nothing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates openssl
  clang libclang-rt-14-dev
  libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev
  libopencv-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
  libsodium-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  chromium nodejs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Node.js from another source may bring its own npm; Debian's package is only needed without one.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run this script as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
