#!/usr/bin/env bash
# How far behind the camera OBS Studio shows it, and what it costs OBS: a
# real OBS 29 under Xvfb (Mesa's software OpenGL), driven through
# obs-websocket, with the canvas at the camera's size, against the real
# service of a staged installation whose simulated camera plays a loop of
# pictures with their frame number in the pixels and logs each frame's send
# time. In one run on that camera, one after the other:
#   - the "Corvalink Camera" source (the plug-in);
#   - OBS's Media Source reading cvl-web's stream for players (/stream.mkv),
#     with the settings docs/cvl-web.md gives.
# Per source: screenshots of the source (5 a second at most, scaled to
# 480 pixels wide) for the time given, each read for its frame number; the
# delay from the camera's sending that frame to the screenshot's request
# (p50, p95, max, medians of the first, last and worst 5 s window); then
# OBS's CPU share over the same time without screenshots (and cvl-web's for
# the Media Source). An optimised build with the tests, in build-bench-obs/.
#
# Usage: bench/obs/run.sh [seconds per phase] [WIDTHxHEIGHT]   (defaults 30, 1920x1080)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-30}"
size="${2:-1920x1080}"

cmake -S . -B build-bench-obs -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench-obs -j2 >/dev/null

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "command: bench/obs/run.sh $seconds $size"
echo "OBS: $(obs --version 2>/dev/null | head -n 1)"
CVL_OBS_BENCH_SECONDS="$seconds" CVL_OBS_BENCH_SIZE="$size" \
    build-bench-obs/tests/obs_media_source_tests | grep '^{'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
