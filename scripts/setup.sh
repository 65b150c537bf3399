#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, then builds braidmill.
# Usage: scripts/setup.sh [--no-build] [preset ...]
#   presets: default asan tsan (default when none); --no-build installs only.
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
if [ "${1:-}" = "--no-build" ]; then
    build=0
    shift
fi

packages=(g++ cmake make pkg-config libdvbpsi-dev libsrt-openssl-dev srt-tools libgtest-dev ffmpeg clang
          libclang-rt-14-dev time)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
[ "$build" -eq 1 ] || exit 0

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default)
for preset in "${presets[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" 2>&1 | grep -v '^\[' || true
    # grep hides progress lines; the build's own status decides.
    cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
