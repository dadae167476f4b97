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
# With "ptpip" the camera is the PTP/IP test camera (30 frames a second,
# libgphoto2 build of the SDK) playing numbered pictures: every consumer,
# cvl-view included, measures from the camera's send time (the MJPG and raw
# consumers by the number in the pixels, cvl-view by the stamp, which holds
# the same time).
#
# Usage: bench/pipewire/run.sh [seconds] [simulator|ptpip]
#        (defaults 20, simulator; builds build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
seconds="${1:-20}"
camera="${2:-simulator}"
skip=3
stage_install camera-bench
stage_pipewire
numbers=()
[ "$camera" = ptpip ] && stage_gphoto2_sdk
camera_program="$CVL_ROOT/usr/bin/cvl-camera"

row() { # size, consumer, summary, cpu, fps (default: the summary's)
    local p50 p95 p99
    p50="$(json_number "$3" p50)" p95="$(json_number "$3" p95)" p99="$(json_number "$3" p99)"
    # No frame with a latency: empty columns rather than zeros.
    if [ "$(json_number "$3" timed)" = 0 ]; then
        p50="" p95="" p99=""
    fi
    echo "| $1 | $2 | ${5:-$(json_number "$3" fps)} | $p50 | $p95 | $p99 | ${4:-} |"
}

machine_line
echo "command: bench/pipewire/run.sh $seconds $camera (cvl-view --rate 100; consumers: ${skip} s" \
    "uncounted from the first frame, then $seconds s)"
echo
echo "| size | consumer | distinct fps | p50 ms | p95 ms | p99 ms | cvl-camera CPU s/s |"
echo "|---|---|---|---|---|---|---|"
for size in 960x640 1920x1080 3840x2160; do
    if [ "$camera" = ptpip ]; then
        # A numbered camera of this size; the service finds it at the port.
        rm -f "$work/camera-in" "$work/camera-out"
        mkfifo "$work/camera-in"
        "$bin/cvl-ptpip-camera" --port 0 --fps 30 --size "$size" --numbered "$work/sent-$size.txt" \
            <"$work/camera-in" >"$work/camera-out" &
        ptpip_pid=$!
        stage_track "$ptpip_pid"
        exec 3>"$work/camera-in"
        stage_wait 120 grep -q '^port ' "$work/camera-out"
        port="$(sed -n 's/^port //p' "$work/camera-out")"
        export CVL_GPHOTO2_PORT="ptpip:127.0.0.1:$port:$port"
        numbers=(--numbers "$work/sent-$size.txt")
    fi
    stage_service ZELSIM_CAMERA=standard ZELSIM_SIZE="$size"
    "$bin/cvl-view" --seconds "$((seconds + skip))" --rate 100 --json >"$work/view.txt"
    view="$(tail -n 1 "$work/view.txt")"
    # Its frames a second while streaming: the per-second lines after the
    # first one with live frames (the seconds before are the connection).
    view_fps="$(awk '/ s: / { n = $5 + 0; if (seen) { sum += n; count++ } else if (n > 0) seen = 1 }
        END { if (count) printf "%.2f", sum / count; else print 0 }' "$work/view.txt")"
    "$bin/zelsim" calls --clear >/dev/null 2>&1 || true

    "$camera_program" 2>>"$work/cvl-camera.log" &
    camera_pid=$!
    stage_track "$camera_pid"
    stage_wait 30 sh -c 'pw-cli ls Node 2>/dev/null | grep -q "node.name = \"corvalink-camera\""'
    mjpg="$("$bin/cvl-bench-consumer" pipewire corvalink-camera mjpg --seconds "$seconds" \
        --skip "$skip" --cpu-of "$camera_pid" "${numbers[@]}" | tail -n 1)"
    "$bin/zelsim" calls --clear >/dev/null 2>&1 || true
    raw="$("$bin/cvl-bench-consumer" pipewire corvalink-camera i420 --seconds "$seconds" \
        --skip "$skip" --cpu-of "$camera_pid" "${numbers[@]}" | tail -n 1)"
    kill -TERM "$camera_pid"
    wait "$camera_pid" || true
    stage_stop_service
    if [ "$camera" = ptpip ]; then
        exec 3>&-
        wait "$ptpip_pid" || true
    fi

    row "$size" "cvl-view --rate 100" "$view" "" "$view_fps"
    row "$size" "MJPG consumer (decodes)" "$mjpg" "$(json_number "$mjpg" cpu)"
    row "$size" "I420 consumer" "$raw" "$(json_number "$raw" cpu)"
done
