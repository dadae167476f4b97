#!/usr/bin/env bash
# Where the first start of a freshly started service spends its time, with
# the libgphoto2 build of the SDK and the PTP/IP test camera: the service
# runs under strace, which records only process starts and socket sends
# (seccomp-filtered, so the rest runs untraced), and one client asks for a
# stream as soon as the request port is served. From the trace it prints,
# in milliseconds after the service's start: the helper's start, the
# request's arrival, each request to the helper and its answer (detection,
# open with the PTP/IP connection, viewfinder, first preview) and the first
# frame message to the client.
#
# Usage: bench/gphoto2/first-frame-trace.sh [runs] [camera-fps]
#        (defaults 3, 25; an optimised build in build-bench/, or the folder
#        CVL_BENCH_BUILD names; needs strace)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
runs="${1:-3}"
fps="${2:-25}"
stage_install gphoto2-first-frame-trace
stage_gphoto2_sdk

stage_ptpip_camera --fps "$fps"
# The test camera encodes its pictures ahead at its start.
sleep 2

machine_line
echo "command: bench/gphoto2/first-frame-trace.sh $runs $fps"
echo

# One line from a trace (strings in hex): the times of the steps, in ms after
# the service's start (the trace's first line). The helper is the program
# whose path ends in "helper"; requests to it are the service's sends that
# are not message-port messages ("CFMP"), their fifth byte the operation.
timeline() {
    awk '
    function ms(t) { return sprintf("%.0f", (t - start) * 1000) }
    !start { start = $2; service = $1 }
    / execve\(/ && /\\x68\\x65\\x6c\\x70\\x65\\x72"/ && !helper { helper = $1; helperAt = $2 }
    $1 != helper && / sendto\(/ && /"\\x43\\x46\\x4d\\x50\\x01\\x04/ && !asked { asked = $2 }
    $1 != helper && / sendto\(/ && !/"\\x43\\x46\\x4d\\x50/ {
        split($0, q, "\\\\x"); op = q[6] + 0
        if (op == 1 && !detect) detect = $2
        if (op == 2 && !open) open = $2
        if (op == 4 && !finder) finder = $2
        if (op == 5 && !download) download = $2
    }
    $1 == helper && / sendto\(3,/ {
        if (detect && !detected) detected = $2
        else if (open && !opened) opened = $2
        else if (download && !downloaded) downloaded = $2
    }
    $1 == helper && / connect\(/ && /AF_INET/ && !connected { connected = $2 }
    $1 != helper && / sendmsg\(/ && /"\\x43\\x46\\x4d\\x50\\x01\\x01/ && !sent { sent = $2 }
    END {
        printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", ms(helperAt), ms(asked),
            ms(detect), ms(detected), ms(open), ms(connected), ms(opened), ms(finder),
            ms(download), ms(downloaded), ms(sent)
    }' "$1"
}

echo "| helper started | request in | detect asked | answered | open asked | PTP/IP connect | opened | viewfinder asked | first preview asked | answered | frame to client | client's wait, ms |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
for run in $(seq 1 "$runs"); do
    rm -f "$log"
    strace -f -ttt -xx --seccomp-bpf -e trace=execve,sendto,sendmsg,connect -s 256 \
        -o "$work/trace" "$CVL_ROOT/Applications/Corvalink/CVLService" 2>/dev/null &
    tracer=$!
    stage_track "$tracer"
    stage_wait 30 grep -qF "camera controller started" "$log" 2>/dev/null
    stage_wait 30 request_port_served
    result="$("$bin/cvl-bench-first-frame" "$log" 1 0 | tail -n 1)"
    kill -TERM "$(pgrep -P "$tracer" CVLService)"
    wait "$tracer" || true
    echo "$(timeline "$work/trace" | sed 's/ |$//') | $(json_number "$result" first_ms) |"
done
echo
echo "machine at the end: load average $(cut -d' ' -f1-3 /proc/loadavg)"
