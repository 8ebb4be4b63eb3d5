#!/usr/bin/env bash
# Installs what the build, the tests and the program need (Debian 12), then
# builds. Installs nothing when every package is already there.
#   BUILD_DIR   build directory (default: build)
#   BUILD_TYPE  CMake build type (default: Release)
#   SANITIZE    1 builds with AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake pkg-config
    juce-modules-source
    libflac-dev libvorbis-dev libogg-dev zlib1g-dev
    libgtest-dev
    ffmpeg
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
build_type=${BUILD_TYPE:-Release}
sanitize=OFF
[ "${SANITIZE:-0}" = "1" ] && sanitize=ON

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DVOXMENDER_SANITIZE="$sanitize" > /dev/null
cmake --build "$build_dir" -j "$(nproc)"
