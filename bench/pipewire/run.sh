#!/usr/bin/env bash
# Camera node benchmark: the service with the simulated camera, cvl-camera in
# a PipeWire session of its own (pipewire, wireplumber), and at each live-view
# size, one after the other against the same service:
#   - cvl-view calling GetFrame 100 times a second (the reference: what a
#     host of the client library sees at a fast rate);
#   - a consumer that takes MJPG from the node and decodes every frame;
#   - a consumer that takes raw I420 from the node (decoded by cvl-camera).
# Per consumer: distinct frames a second, latency from the simulator's stamp
# (the download's CLOCK_MONOTONIC time) to the consumer holding the decoded
# frame (p50, p95, p99), and cvl-camera's CPU share over the same time. A raw
# frame's stamp is the buffer header's pts; without one the latency columns
# stay empty.
#
# Usage: bench/pipewire/run.sh [seconds]   (default 20; builds build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
seconds="${1:-20}"
skip=3
stage_install camera-bench
stage_pipewire
camera_program="$CVL_ROOT/usr/bin/cvl-camera"

row() { # size, consumer, summary, cpu
    local p50 p95 p99
    p50="$(json_number "$3" p50)" p95="$(json_number "$3" p95)" p99="$(json_number "$3" p99)"
    # No stamped frame: no latency (rather than the zeros of an empty list).
    if [ "$(json_number "$3" unmarked)" != 0 ] && [ "$p50" = 0.000 ]; then
        p50="" p95="" p99=""
    fi
    echo "| $1 | $2 | $(json_number "$3" fps) | $p50 | $p95 | $p99 | ${4:-} |"
}

machine_line
echo "command: bench/pipewire/run.sh $seconds (cvl-view --rate 100; consumers: ${skip} s" \
    "uncounted from the first frame, then $seconds s)"
echo
echo "| size | consumer | distinct fps | p50 ms | p95 ms | p99 ms | cvl-camera CPU s/s |"
echo "|---|---|---|---|---|---|---|"
for size in 960x640 1920x1080 3840x2160; do
    stage_service ZELSIM_CAMERA=standard ZELSIM_SIZE="$size"
    view="$("$bin/cvl-view" --seconds "$((seconds + skip))" --rate 100 --json --quiet | tail -n 1)"
    "$bin/zelsim" calls --clear >/dev/null 2>&1 || true

    "$camera_program" 2>>"$work/cvl-camera.log" &
    camera_pid=$!
    stage_track "$camera_pid"
    stage_wait 30 sh -c 'pw-cli ls Node 2>/dev/null | grep -q "node.name = \"corvalink-camera\""'
    mjpg="$("$bin/cvl-bench-consumer" pipewire corvalink-camera mjpg --seconds "$seconds" \
        --skip "$skip" --cpu-of "$camera_pid" | tail -n 1)"
    "$bin/zelsim" calls --clear >/dev/null 2>&1 || true
    raw="$("$bin/cvl-bench-consumer" pipewire corvalink-camera i420 --seconds "$seconds" \
        --skip "$skip" --cpu-of "$camera_pid" | tail -n 1)"
    kill -TERM "$camera_pid"
    wait "$camera_pid" || true
    stage_stop_service

    row "$size" "cvl-view --rate 100" "$view"
    row "$size" "MJPG consumer (decodes)" "$mjpg" "$(json_number "$mjpg" cpu)"
    row "$size" "I420 consumer" "$raw" "$(json_number "$raw" cpu)"
done
