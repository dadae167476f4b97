#!/usr/bin/env bash
# How far behind the camera a media player shows cvl-web's streams: ffmpeg
# given nothing but the URL (as OBS's Media Source, ffplay and other
# ffmpeg-based players open it) reads the players' Matroska stream
# (/stream.mkv), then the browsers' multipart stream (/stream.mjpeg), each
# for the same time, from one cvl-web on the real service of a staged
# installation with the simulated camera. Per stream: the delay from each
# frame's stamp to when a player that paces by the stream's times shows it
# (p50, p95, max, the medians of the first, last and worst 2 s window), the
# spans of the stream's times, of the camera's stamps and of the frames'
# coming out of ffmpeg, and cvl-web's CPU share meanwhile. An optimised build
# with the tests, in build-bench-web/.
#
# Usage: bench/web/run.sh [seconds per stream]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-60}"

cmake -S . -B build-bench-web -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench-web -j2 >/dev/null

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "command: bench/web/run.sh $seconds"
echo "reader: $(ffmpeg -version | head -n 1)"
CVL_PLAYER_BENCH_SECONDS="$seconds" build-bench-web/tests/cvl_web_player_tests | grep '^{'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
