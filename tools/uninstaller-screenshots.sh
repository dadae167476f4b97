#!/usr/bin/env bash
# Takes the pictures of the uninstaller's window and alerts in docs/screenshots:
# runs the application's GUI tests, which save the screen at each step when
# CVL_SCREENSHOT_DIR is set. Usage: tools/uninstaller-screenshots.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
out="$PWD/docs/screenshots"
shots="$(mktemp -d)"
trap 'rm -rf "$shots"' EXIT
cmake --build "$build" --target uninstaller_app_test
for test in CancelAtConfirmationRemovesNothing CancelledPromptKeepsTheWindowWorking \
            RefusedPromptShowsTheErrorAlert GrantedPromptRemovesTheInstallation; do
    CVL_SCREENSHOT_DIR="$shots" ASAN_OPTIONS=detect_leaks=0 \
        "$build/tests/uninstaller_app_test" --gtest_filter="UninstallerApp.$test" | grep -E "OK \]|FAILED \]|Failure" >&2 || true
done
# Only the window's part of the screen is kept.
crop() { convert "$shots/$1" -crop 640x240+120+260 +repage "$out/$2"; }
mkdir -p "$out"
crop CancelAtConfirmationRemovesNothing-2.png window.png
crop CancelAtConfirmationRemovesNothing-1.png alert-confirmation.png
crop CancelledPromptKeepsTheWindowWorking-2.png alert-cancelled.png
crop RefusedPromptShowsTheErrorAlert-2.png alert-error.png
crop GrantedPromptRemovesTheInstallation-2.png alert-completion.png
ls -l "$out"
