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
cd "$(dirname "$0")/../.."
project="$(pwd)"
seconds="${1:-20}"
fps="${2:-30}"
rate="${3:-100}"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCVL_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench >/dev/null
bin="$project/build-bench/bin"

work="$(mktemp -d /tmp/corvalink-gphoto2-bench-XXXXXX)"
service_pid=""
camera_pid=""
cleanup() {
    [ -n "$service_pid" ] && kill -KILL "$service_pid" 2>/dev/null || true
    [ -n "$camera_pid" ] && kill -KILL "$camera_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export CVL_ROOT="$work/root" XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
mkdir -p "$CVL_ROOT" "$XDG_RUNTIME_DIR" "$HOME"
DESTDIR="$CVL_ROOT" cmake --install build-bench >/dev/null
framework="$CVL_ROOT/Library/Frameworks/ZelSDK.framework/Versions/A"
# The gphoto2 library and its helper, which runs libgphoto2 beside it.
cp "$project/build-bench/lib/gphoto2/libZelSDK.so" "$framework/libZelSDK.so"
cp "$project/build-bench/lib/gphoto2/zelsdk-gphoto2-helper" "$framework/zelsdk-gphoto2-helper"
log="$CVL_ROOT/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources/log.txt"

# The camera on a free port; its first line names the port.
mkfifo "$work/camera-in"
"$bin/cvl-ptpip-camera" --port 0 --fps "$fps" <"$work/camera-in" >"$work/camera-out" &
camera_pid=$!
disown "$camera_pid"
exec 3>"$work/camera-in"
until grep -q '^port ' "$work/camera-out" 2>/dev/null; do sleep 0.05; done
port="$(sed -n 's/^port //p' "$work/camera-out")"
export CVL_GPHOTO2_PORT="ptpip:127.0.0.1:$port:$port"
json_number() { sed -n "s/.*\"$2\": *\([0-9.]*\).*/\1/p" <<<"$1" | head -n 1; }

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "command: bench/gphoto2/run.sh $seconds $fps $rate; test camera at $fps frames a second"
echo

# 1. gphoto2's own capture. The first second (driver loading, session) is
# not counted: the reader only starts counting at the first stamped frame.
gphoto2 --port "$CVL_GPHOTO2_PORT" --camera "PTP/IP Camera" --capture-movie="${seconds}s" \
    --stdout 2>/dev/null | "$bin/cvl-bench-stamps" >"$work/gphoto2.txt"
gp="$(tail -n 1 "$work/gphoto2.txt")"

# 2. The service with the backend, to cvl-view.
"$CVL_ROOT/Applications/Corvalink/CVLService" 2>/dev/null &
service_pid=$!
until grep -qF "camera controller started" "$log" 2>/dev/null; do sleep 0.05; done
sleep 0.5
"$bin/cvl-view" --seconds "$((seconds + 3))" --rate "$rate" --json >"$work/view.txt"
view="$(tail -n 1 "$work/view.txt")"
# Frames a second while streaming: the per-second lines after the first one
# with live frames (the seconds before are the connection).
view_fps="$(awk '/ s: / { n = $5 + 0; if (seen) { sum += n; count++ } else if (n > 0) seen = 1 }
    END { if (count) printf "%.2f", sum / count; else print 0 }' "$work/view.txt")"
kill -TERM "$service_pid"
wait "$service_pid" || true
service_pid=""

echo "| reader | frames/s | p50 ms | p95 ms | p99 ms |"
echo "|---|---|---|---|---|"
echo "| gphoto2 --capture-movie --stdout | $(json_number "$gp" fps) | $(json_number "$gp" p50)" \
    "| $(json_number "$gp" p95) | $(json_number "$gp" p99) |"
echo "| CVLService (gphoto2 backend) to cvl-view, GetFrame ${rate}/s | $view_fps" \
    "| $(json_number "$view" p50) | $(json_number "$view" p95) | $(json_number "$view" p99) |"
