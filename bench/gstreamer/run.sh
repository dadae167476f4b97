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
cd "$(dirname "$0")/../.."
project="$(pwd)"
seconds="${1:-20}"
rate="${2:-30}"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCVL_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench >/dev/null

work="$(mktemp -d /tmp/corvalink-gstbench-XXXXXX)"
service_pid=""
cleanup() {
    [ -n "$service_pid" ] && kill -KILL "$service_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export CVL_ROOT="$work/root" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$CVL_ROOT" "$XDG_RUNTIME_DIR"
DESTDIR="$CVL_ROOT" cmake --install build-bench >/dev/null
export GST_PLUGIN_PATH="$CVL_ROOT/usr/lib/gstreamer-1.0" GST_REGISTRY="$work/registry.bin"
log="$CVL_ROOT/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources/log.txt"

json_number() { sed -n "s/.*\"$2\": *\([0-9.]*\).*/\1/p" <<<"$1" | head -n 1; }
row() { # size, host, summary
    echo "| $1 | $2 | $(json_number "$3" fps) | $(json_number "$3" p50) | $(json_number "$3" p95)" \
        "| $(json_number "$3" p99) | ${4:-} |"
}

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "command: bench/gstreamer/run.sh $seconds $rate"
echo
echo "| size | host | unique fps | p50 ms | p95 ms | p99 ms | host CPU s/s |"
echo "|---|---|---|---|---|---|---|"
for size in 960x640 1920x1080 3840x2160; do
    rm -f "$log"
    ZELSIM_CAMERA=standard ZELSIM_SIZE="$size" \
        "$CVL_ROOT/Applications/Corvalink/CVLService" 2>/dev/null &
    service_pid=$!
    until grep -qF "camera controller started" "$log" 2>/dev/null; do sleep 0.05; done
    until "$project/build-bench/bin/zelsim" status >/dev/null 2>&1; do sleep 0.05; done

    view="$("$project/build-bench/bin/cvl-view" --seconds "$seconds" --rate "$rate" --json --quiet |
        tail -n 1)"
    "$project/build-bench/bin/zelsim" calls --clear >/dev/null 2>&1 || true
    element="$("$project/build-bench/bin/cvl-bench-gst" "$seconds" "$rate" | tail -n 1)"
    row "$size" "cvl-view --rate $rate" "$view"
    row "$size" "cvlsrc framerate=$rate/1" "$element" "$(json_number "$element" cpu)"

    kill -TERM "$service_pid"
    wait "$service_pid" || true
    service_pid=""
done
