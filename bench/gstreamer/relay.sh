#!/usr/bin/env bash
# The frame relay's cost: cvlsrc at a 30 fps output (cvl-bench-gst) alone,
# then two of them in two processes at once against the same service, the
# first holding the service's stream and relaying it, the second reading
# it from the relay socket. Per run it prints the unique live frames a
# second, the latency from the frame's download stamp to the buffer leaving
# the element (p50, p95, p99) and the process's CPU seconds per second.
#
# Usage: bench/gstreamer/relay.sh [seconds] [rate] [size]   (an optimised build in build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
seconds="${1:-20}"
rate="${2:-30}"
size="${3:-1920x1080}"
stage_install relaybench
export GST_PLUGIN_PATH="$CVL_ROOT/usr/lib/gstreamer-1.0" GST_REGISTRY="$work/registry.bin"

row() { # run, summary
    echo "| $1 | $(json_number "$2" fps) | $(json_number "$2" p50) | $(json_number "$2" p95)" \
        "| $(json_number "$2" p99) | $(json_number "$2" cpu) |"
}

machine_line
echo "command: bench/gstreamer/relay.sh $seconds $rate $size"
echo
echo "| $size | unique fps | p50 ms | p95 ms | p99 ms | CPU s/s |"
echo "|---|---|---|---|---|---|"
stage_service ZELSIM_CAMERA=standard ZELSIM_SIZE="$size"

alone="$("$bin/cvl-bench-gst" "$seconds" "$rate" | tail -n 1)"

# The owner runs a few seconds longer than the reader, so that it holds the
# stream for the whole of the reader's run.
"$bin/cvl-bench-gst" "$((seconds + 10))" "$rate" >"$work/owner.out" &
owner_pid=$!
stage_track "$owner_pid"
stage_wait 30 sh -c 'test -S "$XDG_RUNTIME_DIR"/corvalink-relay-*/socket'
reader="$("$bin/cvl-bench-gst" "$seconds" "$rate" | tail -n 1)"
wait "$owner_pid"
owner="$(tail -n 1 "$work/owner.out")"

row "one process, alone" "$alone"
row "two processes: the owner" "$owner"
row "two processes: the reader" "$reader"
echo
echo "StartStreaming requests: $(grep -c 'received: StartStreaming' "$log")"
stage_stop_service
