#!/usr/bin/env bash
# The libgphoto2 backend beside gphoto2's own live-view capture, against the
# same PTP/IP test camera in the same run:
#   1. gphoto2 --capture-movie --stdout, its output read by cvl-bench-stamps:
#      frames a second read, latency from each frame's stamp to the moment
#      it was read from gphoto2's standard output;
#   2. the service with the gphoto2 build of libZelSDK and one port-mode
#      cvl-view: unique frames a second and latency from the stamp to the
#      GetFrame call that returned the frame.
#
# Usage: bench/gphoto2/run.sh [seconds] [camera-fps] [rate]
#        (an optimised build in build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
seconds="${1:-20}"
fps="${2:-30}"
rate="${3:-100}"
stage_install gphoto2-bench
stage_gphoto2_sdk

# The camera on a free port; its first line names the port.
stage_ptpip_camera --fps "$fps"

machine_line
echo "command: bench/gphoto2/run.sh $seconds $fps $rate; test camera at $fps frames a second"
echo

# 1. gphoto2's own capture. The first second (driver loading, session) is
# not counted: the reader only starts counting at the first stamped frame.
gphoto2 --port "$CVL_GPHOTO2_PORT" --camera "PTP/IP Camera" --capture-movie="${seconds}s" \
    --stdout 2>/dev/null | "$bin/cvl-bench-stamps" >"$work/gphoto2.txt"
gp="$(tail -n 1 "$work/gphoto2.txt")"

# 2. The service with the backend, to cvl-view.
stage_service
"$bin/cvl-view" --seconds "$((seconds + 3))" --rate "$rate" --json >"$work/view.txt"
view="$(tail -n 1 "$work/view.txt")"
# Frames a second while streaming: the per-second lines after the first one
# with live frames (the seconds before are the connection).
view_fps="$(awk '/ s: / { n = $5 + 0; if (seen) { sum += n; count++ } else if (n > 0) seen = 1 }
    END { if (count) printf "%.2f", sum / count; else print 0 }' "$work/view.txt")"
stage_stop_service

echo "| reader | frames/s | p50 ms | p95 ms | p99 ms |"
echo "|---|---|---|---|---|"
echo "| gphoto2 --capture-movie --stdout | $(json_number "$gp" fps) | $(json_number "$gp" p50)" \
    "| $(json_number "$gp" p95) | $(json_number "$gp" p99) |"
echo "| CVLService (gphoto2 backend) to cvl-view, GetFrame ${rate}/s | $view_fps" \
    "| $(json_number "$view" p50) | $(json_number "$view" p95) | $(json_number "$view" p99) |"
