#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole suite. The exit status is
# the suite's.
set -euo pipefail
cd "$(dirname "$0")"
./tools/ensure-packages.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCVL_SANITIZE=ON
cmake --build build
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The uninstaller's window tests (label "gui") start their own Xvfb and run
# with the rest; ./test.sh --gui runs only them.
if [[ "${1:-}" == "--gui" ]]; then
    ctest --test-dir build --output-on-failure --timeout 300 -L gui
else
    ctest --test-dir build --output-on-failure --timeout 300 -j "$(nproc)"
fi
