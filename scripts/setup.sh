#!/usr/bin/env bash
# Installs what the build, the tests and the program need (Debian 12), then
# builds. Installs nothing when every package is already there. Without apt
# (macOS) it installs nothing: it names the packages to install and stops
# while something is missing, otherwise it builds with what is there.
#   BUILD_DIR   build directory (default: build)
#   BUILD_TYPE  CMake build type (default: Release)
#   SANITIZE    1 builds with AddressSanitizer and UndefinedBehaviorSanitizer
#   CC, CXX     the compilers, as CMake takes them; a clang one brings Debian's clang
# Written for bash 3.2 too (macOS): no array is ever expanded while it is empty.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake pkg-config
    juce-modules-source
    libflac-dev libvorbis-dev libogg-dev zlib1g-dev
    libgtest-dev
    ffmpeg
)

case "${CXX:-}" in
    *clang*) packages+=(clang) ;;
esac

# What CMake looks for through pkg-config, the same on every system.
codec_modules="flac vorbisenc vorbisfile vorbis ogg zlib"

homebrew_packages="cmake pkg-config ffmpeg googletest flac libvorbis libogg"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

has_command() {
    command -v "$1" > /dev/null 2>&1
}

install_missing_debian_packages() {
    local missing="" p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done

    if [ -n "$missing" ]; then
        echo "setup: installing$missing"
        as_root apt-get update -qq
        # Package names hold no blanks, so the list splits into words as it should.
        # shellcheck disable=SC2086
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
    fi
}

# Nothing can be installed from here: say what is needed and stop while a tool or
# a codec library is missing. JUCE 7 and GoogleTest are left to CMake to find.
check_without_apt() {
    local missing="" tool
    for tool in c++ cmake pkg-config ffmpeg; do
        has_command "$tool" || missing="$missing $tool"
    done

    # shellcheck disable=SC2086
    if has_command pkg-config && ! pkg-config --exists $codec_modules; then
        missing="$missing flac/vorbis/ogg/zlib"
    fi

    if [ -n "$missing" ]; then
        echo "setup: no apt-get on this system, so nothing is installed; missing:$missing" >&2
        echo "setup: install with Homebrew: brew install $homebrew_packages" >&2
        echo "setup: plus a C++ compiler (xcode-select --install) and JUCE 7, built from its source release" >&2
        echo "setup: and found through CMAKE_PREFIX_PATH or JUCE_DIR; see \"macOS\" in README.md" >&2
        exit 1
    fi

    echo "setup: no apt-get on this system, so nothing is installed; building with what is there"
}

if has_command apt-get && has_command dpkg-query; then
    install_missing_debian_packages
else
    check_without_apt
fi

build_dir=${BUILD_DIR:-build}
build_type=${BUILD_TYPE:-Release}
sanitize=OFF
[ "${SANITIZE:-0}" = "1" ] && sanitize=ON

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DVOXMENDER_SANITIZE="$sanitize" > /dev/null
cmake --build "$build_dir" -j "$(getconf _NPROCESSORS_ONLN)"
