#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite.
# SANITIZE=1 does the same in build-asan with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${SANITIZE:-0}" = "1" ]; then
    export BUILD_DIR=${BUILD_DIR:-build-asan} BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
    # Leak checking is Linux's: Apple's AddressSanitizer stops on detect_leaks=1.
    leaks=0
    [ "$(uname -s)" = "Linux" ] && leaks=1
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=$leaks:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fi
./scripts/setup.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j "$(getconf _NPROCESSORS_ONLN)"
