#!/usr/bin/env bash
# End-to-end benchmark: the service with the simulated camera and one
# port-mode cvl-view, 20 s at each live-view size. Per size it prints the
# unique frames a second at the client, the latency from download to
# GetFrame (p50, p95, p99, from the frames' stamps), the service's CPU
# seconds per second of streaming and its resident memory over the run.
#
# Usage: bench/e2e/run.sh [seconds] [rate]   (an optimised build in build-bench/)
#
# rate is cvl-view's GetFrame calls a second (default 100). The client hands
# out the oldest of up to three queued frames, so a host that calls less often
# than frames arrive (35 a second) keeps that queue full and sees about three
# frame periods of latency; the latency target assumes a faster caller.
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
seconds="${1:-20}"
rate="${2:-100}"
stage_install bench
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

machine_line
echo "command: bench/e2e/run.sh $seconds $rate (cvl-view --rate $rate --seconds $seconds)"
echo
echo "| size | unique fps | p50 ms | p95 ms | p99 ms | service CPU s/s | RSS start MB | RSS end MB | RSS peak MB |"
echo "|---|---|---|---|---|---|---|---|---|"
for size in 960x640 1920x1080 3840x2160; do
    stage_service ZELSIM_CAMERA=standard ZELSIM_SIZE="$size"

    "$bin/cvl-view" --seconds "$seconds" --rate "$rate" --json \
        >"$work/view.txt" &
    view_pid=$!
    # Sample once live frames flow: the first second is the connection.
    until grep -qF "starting streaming.." "$log"; do sleep 0.05; done
    sleep 1
    start_ticks="$(cpu_ticks "$service_pid")"
    start_time="$(now_s)"
    rss_start="$(rss_kb "$service_pid")"
    rss_peak="$rss_start"
    rss_end="$rss_start"
    end_ticks="$start_ticks"
    end_time="$start_time"
    while kill -0 "$view_pid" 2>/dev/null; do
        # The simulator records every SDK call (the last 100000) inside the
        # service's process; emptying that record keeps it out of the
        # service's memory figures.
        "$bin/zelsim" calls --clear >/dev/null 2>&1 || true
        end_ticks="$(cpu_ticks "$service_pid")"
        end_time="$(now_s)"
        rss_end="$(rss_kb "$service_pid")"
        [ "$rss_end" -gt "$rss_peak" ] && rss_peak="$rss_end"
        sleep 0.5
    done
    wait "$view_pid" || true
    summary="$(tail -n 1 "$work/view.txt")"
    stage_stop_service

    cpu="$(cpu_share "$start_ticks" "$end_ticks" "$start_time" "$end_time")"
    echo "| $size | $(json_number "$summary" fps) | $(json_number "$summary" p50)" \
        "| $(json_number "$summary" p95) | $(json_number "$summary" p99) | $cpu" \
        "| $(mb "$rss_start") | $(mb "$rss_end") | $(mb "$rss_peak") |"
done
