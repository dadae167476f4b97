#!/usr/bin/env bash
# Camera settings through the service on the libgphoto2 build of the SDK and
# the PTP/IP test camera: cvl-bench-settings as the service's one client
# (latency of CHANGES live-view size changes, which the frame's size shows,
# then a sweep of SWEEP changes beside a 30 fps consumer).
#
# Usage: bench/settings/ptpip.sh [CHANGES] [SWEEP] [CAMERA-FPS]
#        (defaults 50, 100, 30; an optimised build in build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
changes="${1:-50}"
sweep="${2:-100}"
fps="${3:-30}"
stage_install settings-ptpip
stage_gphoto2_sdk
stage_ptpip_camera --fps "$fps"
machine_line
echo "command: bench/settings/ptpip.sh $changes $sweep $fps; test camera at $fps frames a second"
stage_service
"$bin/cvl-bench-settings" "$changes" "$sweep" 10 size
stage_stop_service
