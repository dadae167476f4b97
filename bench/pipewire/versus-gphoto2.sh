#!/usr/bin/env bash
# Corvalink's camera node against the pipeline people feed v4l2loopback with,
# one after the other on the same PTP/IP test camera (libgphoto2 on both
# sides), with the same measuring point: the camera's send time of a frame to
# a consumer holding it decoded as raw pixels. The camera draws each frame's
# number into its pixels and logs its send times; the consumer reads the
# number and looks the time up.
#   1. gphoto2 --capture-movie --stdout | ffmpeg -i - -vcodec rawvideo
#      -pix_fmt yuv420p -threads 0 -f rawvideo - | consumer (the usual recipe
#      with "-f rawvideo -" in place of "-f v4l2 /dev/videoN");
#   2. the service with the gphoto2 build of libZelSDK, cvl-camera in a
#      PipeWire session of its own (pipewire, wireplumber) and a consumer that
#      takes raw I420 from the node.
# Per chain: distinct frames a second at the consumer, latency p50/p95/p99,
# and the CPU of the whole chain (every process of it, the consumer too).
#
# Usage: bench/pipewire/versus-gphoto2.sh [seconds] [camera-fps] [size]
#        (defaults 20, 30, 960x640; an optimised build in build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
seconds="${1:-20}"
fps="${2:-30}"
size="${3:-960x640}"
skip=3
stage_install camera-versus
stage_gphoto2_sdk
stage_pipewire
camera_program="$CVL_ROOT/usr/bin/cvl-camera"

stage_ptpip_camera --fps "$fps" --size "$size" --numbered "$work/sent.txt"

consumer_options=(--seconds "$seconds" --skip "$skip" --wait 60 --numbers "$work/sent.txt")
row() { # chain, summary
    local chain_cpu
    chain_cpu="$(awk -v a="$(json_number "$2" cpu)" -v b="$(json_number "$2" self_cpu)" \
        'BEGIN { printf "%.3f", a + b }')"
    echo "| $1 | $(json_number "$2" fps) | $(json_number "$2" p50) | $(json_number "$2" p95)" \
        "| $(json_number "$2" p99) | $chain_cpu |"
}

machine_line
echo "command: bench/pipewire/versus-gphoto2.sh $seconds $fps $size; test camera at $fps frames" \
    "a second, $size; ${skip} s from the first frame uncounted, then $seconds s counted"
echo

# 1. gphoto2 and ffmpeg, joined by pipes of their own so that each has a PID.
mkfifo "$work/jpeg" "$work/raw"
gphoto2 --port "$CVL_GPHOTO2_PORT" --camera "PTP/IP Camera" \
    --capture-movie="$((seconds + skip + 30))s" --stdout >"$work/jpeg" 2>"$work/gphoto2.log" &
gphoto2_pid=$!
stage_track "$gphoto2_pid"
ffmpeg -i - -vcodec rawvideo -pix_fmt yuv420p -threads 0 -f rawvideo - \
    <"$work/jpeg" >"$work/raw" 2>"$work/ffmpeg.log" &
ffmpeg_pid=$!
stage_track "$ffmpeg_pid"
pipeline="$("$bin/cvl-bench-consumer" stdin "$size" "${consumer_options[@]}" \
    --cpu-of "$gphoto2_pid,$ffmpeg_pid" <"$work/raw" | tail -n 1)"
kill -TERM "$gphoto2_pid" "$ffmpeg_pid" 2>/dev/null || true
wait "$gphoto2_pid" "$ffmpeg_pid" 2>/dev/null || true
# The camera serves one session at a time: the next chain opens its own.
stage_wait 30 sh -c "echo session >&3; tail -n 1 '$work/camera-out' | grep -q free"

# 2. The service, the camera node and a raw consumer.
stage_service
"$camera_program" 2>"$work/cvl-camera.log" &
camera_pid=$!
stage_track "$camera_pid"
stage_wait 30 sh -c 'pw-cli ls Node 2>/dev/null | grep -q "node.name = \"corvalink-camera\""'
node="$("$bin/cvl-bench-consumer" pipewire corvalink-camera i420 "${consumer_options[@]}" \
    --cpu-of "$service_pid,$camera_pid,$pipewire_pid,$wireplumber_pid" | tail -n 1)"
kill -TERM "$camera_pid"
wait "$camera_pid" || true
stage_stop_service

echo "| chain | frames/s | p50 ms | p95 ms | p99 ms | chain CPU s/s |"
echo "|---|---|---|---|---|---|"
row "gphoto2 --capture-movie --stdout \| ffmpeg ... -pix_fmt yuv420p -f rawvideo - \| consumer" \
    "$pipeline"
row "CVLService (gphoto2 backend) + cvl-camera + PipeWire + consumer (I420)" "$node"
echo
echo "gphoto2 chain: $pipeline"
echo "camera node chain: $node"
