#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole suite. The exit status is
# the suite's.
#
#   ./test.sh         everything, the uninstaller's window tests included
#   ./test.sh --gui   only the window tests (label "gui"; they start their own Xvfb)
#   ./test.sh --tsan  everything but the window tests and OBS, built with
#                     ThreadSanitizer in build-tsan/ (OBS itself would run with
#                     the preloaded runtime and report its own threads; the
#                     plug-in's feed is covered by the support library's tests)
#   ./test.sh --fuzz [SECONDS]  every fuzz target for SECONDS (default 60),
#                     built with clang in build-fuzz/ (fuzz/run.sh)
#
# A quicker run without the headless browsers (label "browser"), once built:
#   ctest --test-dir build -LE browser
set -euo pipefail
cd "$(dirname "$0")"
./tools/ensure-packages.sh
if [[ "${1:-}" == "--fuzz" ]]; then
    exec fuzz/run.sh "${2:-60}"
fi
if [[ "${1:-}" == "--tsan" ]]; then
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCVL_TSAN=ON
    cmake --build build-tsan
    export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 suppressions=$PWD/tools/tsan-suppressions.txt}"
    exec ctest --test-dir build-tsan --output-on-failure --timeout 300 -j "$(nproc)" -LE "gui|obs"
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCVL_SANITIZE=ON
cmake --build build
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
if [[ "${1:-}" == "--gui" ]]; then
    ctest --test-dir build --output-on-failure --timeout 300 -L gui
else
    ctest --test-dir build --output-on-failure --timeout 300 -j "$(nproc)"
fi
