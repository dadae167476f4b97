#!/usr/bin/env bash
# Camera settings on the libgphoto2 build of the SDK against the PTP/IP test
# camera (cvl-bench-gphoto2-settings): the time from a set to the first frame
# that shows it, and the frames of a sweep of changes. It needs no service:
# only the camera, the SDK and the bench program are built (Release, in
# build-bench/ or the folder CVL_BENCH_BUILD names).
#
# Usage: bench/gphoto2/settings.sh [changes] [camera-fps]   (defaults 100, 30)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
changes="${1:-100}"
fps="${2:-30}"
cmake -S "$project" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCVL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target cvl-ptpip-camera cvl-bench-gphoto2-settings >/dev/null
work="$(mktemp -d /tmp/corvalink-gphoto2-settings-XXXXXX)"
trap stage_cleanup EXIT
export HOME="$work/home"
mkdir -p "$HOME"
stage_ptpip_camera --fps "$fps"
machine_line
echo "command: bench/gphoto2/settings.sh $changes $fps; test camera at $fps frames a second"
"$bin/cvl-bench-gphoto2-settings" "$changes" "$fps"
