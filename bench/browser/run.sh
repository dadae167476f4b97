#!/usr/bin/env bash
# Frames a second that reach a web page from cvl-camera: headless Chromium in
# a private desktop session (the browser tests' harness) captures the camera
# node at 960x640 through the portal; the page counts the frames the browser
# presents and how many of them are new pictures, over the best of three
# windows. The service runs the simulated camera. An optimised build with
# the tests, in build-bench-browser/.
#
# Usage: bench/browser/run.sh [seconds per window]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-10}"

cmake -S . -B build-bench-browser -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench-browser >/dev/null

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "command: bench/browser/run.sh $seconds"
CVL_BROWSER_BENCH_SECONDS="$seconds" build-bench-browser/tests/cvl_camera_browser_tests \
    --gtest_filter='CameraInBrowser.ChromiumGetsLiveFramesAt960x640' | grep '^{'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
