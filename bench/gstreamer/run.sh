#!/usr/bin/env bash
# cvlsrc benchmark: the service with the simulated camera, and at each
# live-view size first cvl-view (GetFrame 30 times a second, the plain
# 30 Hz host) and then the element at a 30 fps output (cvl-bench-gst), one
# after the other against the same service. Per host it prints the unique
# live frames a second, the latency from the frame's download stamp to the
# frame leaving the host (p50, p95, p99) and, for the element, its process's
# CPU seconds per second.
#
# Usage: bench/gstreamer/run.sh [seconds] [rate]   (an optimised build in build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
seconds="${1:-20}"
rate="${2:-30}"
stage_install gstbench
export GST_PLUGIN_PATH="$CVL_ROOT/usr/lib/gstreamer-1.0" GST_REGISTRY="$work/registry.bin"

row() { # size, host, summary
    echo "| $1 | $2 | $(json_number "$3" fps) | $(json_number "$3" p50) | $(json_number "$3" p95)" \
        "| $(json_number "$3" p99) | ${4:-} |"
}

machine_line
echo "command: bench/gstreamer/run.sh $seconds $rate"
echo
echo "| size | host | unique fps | p50 ms | p95 ms | p99 ms | host CPU s/s |"
echo "|---|---|---|---|---|---|---|"
for size in 960x640 1920x1080 3840x2160; do
    stage_service ZELSIM_CAMERA=standard ZELSIM_SIZE="$size"

    view="$("$bin/cvl-view" --seconds "$seconds" --rate "$rate" --json --quiet |
        tail -n 1)"
    "$bin/zelsim" calls --clear >/dev/null 2>&1 || true
    element="$("$bin/cvl-bench-gst" "$seconds" "$rate" | tail -n 1)"
    row "$size" "cvl-view --rate $rate" "$view"
    row "$size" "cvlsrc framerate=$rate/1" "$element" "$(json_number "$element" cpu)"

    stage_stop_service
done
