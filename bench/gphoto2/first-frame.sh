#!/usr/bin/env bash
# Time from StartStreaming to the first live frame with the libgphoto2 build
# of the SDK and the PTP/IP test camera, for the first start of a freshly
# started service and for the later starts of the same service:
#   1. cvl-bench-gphoto2-steps: libgphoto2's own steps in one process, as the
#      backend's helper takes them (camera-driver list, port list, detection,
#      session, viewfinder, previews), each timed;
#   2. SERVICES times: a fresh service, its first stream asked for as soon as
#      its request port is served (what the tests do), then STARTS-1 more;
#   3. one fresh service whose first stream is asked for 3 s after its
#      request port is served (a service started at login, a client later).
#
# Usage: bench/gphoto2/first-frame.sh [services] [starts] [camera-fps]
#        (defaults 5, 8, 25; an optimised build in build-bench/, or the
#        folder CVL_BENCH_BUILD names)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
services="${1:-5}"
starts="${2:-8}"
fps="${3:-25}"
stage_install gphoto2-first-frame
stage_gphoto2_sdk

stage_ptpip_camera --fps "$fps"

machine_line
echo "command: bench/gphoto2/first-frame.sh $services $starts $fps; test camera at $fps frames a second"
echo
echo "libgphoto2's steps in one process (ms):"
"$bin/cvl-bench-gphoto2-steps" "$CVL_GPHOTO2_PORT" | grep -v '^{' | sed 's/^/    /'
echo

# The starts of one service: the JSON line of cvl-bench-first-frame.
run_service() {
    local delay="$1"
    stage_service
    sleep "$delay"
    "$bin/cvl-bench-first-frame" "$log" "$starts" 500 >"$work/first.txt" || true
    stage_stop_service
    tail -n 1 "$work/first.txt"
}

echo "| service | first start, ms | later starts: median, ms | later starts: max, ms |"
echo "|---|---|---|---|"
for run in $(seq 1 "$services"); do
    result="$(run_service 0)"
    echo "| $run, first stream at once | $(json_number "$result" first_ms)" \
        "| $(json_number "$result" later_median_ms) | $(json_number "$result" later_max_ms) |"
done
result="$(run_service 3)"
echo "| first stream 3 s after the start | $(json_number "$result" first_ms)" \
    "| $(json_number "$result" later_median_ms) | $(json_number "$result" later_max_ms) |"
echo
echo "machine at the end: load average $(cut -d' ' -f1-3 /proc/loadavg)"
