#!/usr/bin/env bash
# Long session: hours on a real body in half an hour. The whole chain (the
# PTP/IP test camera, the service with the libgphoto2 build of the SDK and its
# helper, cvl-camera in a PipeWire session of its own, and an MJPG consumer)
# runs for the given time while the camera misbehaves as bodies do:
#   - live view ends by itself 60 s after each start (the body's time limit);
#   - a 2 s burst of "Device Busy" every 5 minutes;
#   - the camera switched off for 5 s and on again every 10 minutes.
# The consumer logs every frame it gets (a live one with the camera's
# sequence number, or a status picture). Afterwards, per kind of event: the
# longest time without a new live frame (live-view ends), the time from the
# end of the event to the first new live frame (busy bursts, off/on), the
# status pictures seen; and the descriptors and resident memory of every
# process at the start and at the end.
#
# Usage: bench/longsession/run.sh [minutes] [out-dir]   (builds build-bench/)
# For a quick trial, shorter periods: LS_LIMIT=20 LS_BUSY_EVERY=60
# LS_OFFON_EVERY=90 bench/longsession/run.sh 3
# out-dir (default bench/longsession/out) receives frames.txt, events.txt,
# procs.txt, log.txt and summary.md.
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
minutes="${1:-30}"
outdir="${2:-$project/bench/longsession/out}"
limit_s="${LS_LIMIT:-60}"
busy_every_s="${LS_BUSY_EVERY:-300}"
offon_every_s="${LS_OFFON_EVERY:-600}"
busy_s=2
off_s=5
fps=30
mkdir -p "$outdir"
outdir="$(cd "$outdir" && pwd)"

stage_install longsession
stage_gphoto2_sdk
stage_pipewire
stage_ptpip_camera --fps "$fps"

now_ns() { date +%s%N; }
# One command to the camera; its answer line.
camera() {
    local before
    before="$(wc -l <"$work/camera-out")"
    echo "$1" >&3
    stage_wait 30 sh -c "[ \$(wc -l <'$work/camera-out') -gt $before ]"
    tail -n 1 "$work/camera-out"
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo -; }
fds() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }
# name pid descriptors rss-kB, a line per process of the chain.
processes() {
    local helper
    helper="$(pgrep -P "$service_pid" -f zelsdk-gphoto2-helper | head -n 1 || true)"
    for entry in "camera:$camera_pid" "service:$service_pid" "helper:${helper:-0}" \
        "cvl-camera:$node_pid" "consumer:$consumer_pid" "pipewire:$pipewire_pid" \
        "wireplumber:$wireplumber_pid"; do
        local name="${entry%%:*}" pid="${entry#*:}"
        echo "$1 $name $pid $(fds "$pid") $(rss_kb "$pid")"
    done
}

camera_pid="${stage_pids[-1]}"
stage_service
"$CVL_ROOT/usr/bin/cvl-camera" 2>"$work/cvl-camera.log" &
node_pid=$!
stage_track "$node_pid"
stage_wait 60 sh -c 'pw-cli ls Node 2>/dev/null | grep -q "node.name = \"corvalink-camera\""'

total_s=$((minutes * 60))
"$bin/cvl-bench-consumer" pipewire corvalink-camera mjpg --seconds "$total_s" --skip 0 \
    --wait 60 --frames "$outdir/frames.txt" >"$work/consumer.txt" &
consumer_pid=$!
stage_track "$consumer_pid"
stage_wait 60 grep -q " live " "$outdir/frames.txt"
# Memory settles once frames flow.
sleep 5
processes start >"$outdir/procs.txt"

echo "# kind start_ns end_ns" >"$outdir/events.txt"
camera "liveview-limit $limit_s" >/dev/null
start="$(date +%s)"
next_busy=$((busy_every_s / 2))
next_offon=$((offon_every_s - 30))
sampled=""
while kill -0 "$consumer_pid" 2>/dev/null; do
    elapsed=$(($(date +%s) - start))
    # The end's figures while every process still runs.
    if [ -z "$sampled" ] && [ "$elapsed" -ge $((total_s - 20)) ]; then
        processes end >>"$outdir/procs.txt"
        sampled=1
    fi
    # No event in the last half minute: each gets its time to recover.
    if [ "$elapsed" -ge $((total_s - 40)) ]; then
        sleep 1
        continue
    fi
    if [ "$elapsed" -ge "$next_busy" ]; then
        from="$(now_ns)"
        camera "fault busy $busy_s" >/dev/null
        echo "busy $from $((from + busy_s * 1000000000))" >>"$outdir/events.txt"
        next_busy=$((next_busy + busy_every_s))
    fi
    if [ "$elapsed" -ge "$next_offon" ]; then
        from="$(now_ns)"
        camera away >/dev/null
        sleep "$off_s"
        camera back >/dev/null
        echo "offon $from $(now_ns)" >>"$outdir/events.txt"
        next_offon=$((next_offon + offon_every_s))
    fi
    sleep 0.5
done
[ -n "$sampled" ] || processes end >>"$outdir/procs.txt"
ends="$(camera liveview-ends)"
sessions="$(camera sessions)"
wait "$consumer_pid" || true
cp "$log" "$outdir/log.txt"

# Gaps: between new live frames (a new sequence number). A gap that touches
# a busy burst or an off/on is that event's; the others are the live-view
# ends' and the ordinary ones between frames (those over 0.3 s are counted).
analysis="$(awk -v busy_s="$busy_s" '
    FNR == NR {
        if ($1 == "busy" || $1 == "offon") { n++; kind[n] = $1; from[n] = $2; to[n] = $3 }
        next
    }
    # The waiting pictures before the first live frame are the start.
    $2 == "status" && !prev { next }
    $2 == "status" { status++; for (i = 1; i <= n; i++) if ($1 >= from[i] && $1 <= to[i] + 30e9) { st[kind[i]]++; break }
                     if (i > n) st["other"]++; next }
    $2 != "live" || $3 == last { next }
    {
        t = $1; last = $3
        for (i = 1; i <= n; i++) if (!(i in first) && t >= to[i]) first[i] = t - to[i]
        if (prev) {
            gap = t - prev; owner = ""
            for (i = 1; i <= n; i++) if (prev <= to[i] + 1e9 && t >= from[i] - 1e9) owner = kind[i]
            if (owner == "" && gap > endmax) endmax = gap
            if (owner == "" && gap > 0.3e9) ends++
            if (owner != "" && gap > gapmax[owner]) gapmax[owner] = gap
        }
        prev = t
    }
    END {
        for (i = 1; i <= n; i++) { c[kind[i]]++; if (first[i] > worst[kind[i]]) worst[kind[i]] = first[i] }
        printf "liveview %d %.3f\n", ends, endmax / 1e9
        printf "busy %d %.3f %.3f %d\n", c["busy"], worst["busy"] / 1e9, gapmax["busy"] / 1e9, st["busy"]
        printf "offon %d %.3f %.3f %d\n", c["offon"], worst["offon"] / 1e9, gapmax["offon"] / 1e9, st["offon"]
        printf "status %d %d\n", status, st["other"]
    }' "$outdir/events.txt" "$outdir/frames.txt")"
read -r _ lv_gaps lv_max <<<"$(grep '^liveview' <<<"$analysis")"
read -r _ busy_n busy_after busy_gap busy_status <<<"$(grep '^busy' <<<"$analysis")"
read -r _ offon_n offon_after offon_gap offon_status <<<"$(grep '^offon' <<<"$analysis")"
read -r _ status_all status_other <<<"$(grep '^status' <<<"$analysis")"

{
    echo "long session: $minutes min through camera, service, cvl-camera and an MJPG consumer;" \
        "test camera at $fps fps; live view ends ${limit_s} s after each start, a ${busy_s} s" \
        "busy burst every ${busy_every_s} s, off ${off_s} s every ${offon_every_s} s"
    machine_line
    echo
    echo "| event | count | longest gap without a new live frame s | first live frame after its end s (worst) | status pictures |"
    echo "|---|---|---|---|---|"
    echo "| live view ended by the camera | $ends ($lv_gaps gaps over 0.3 s) | $lv_max | | $status_other |"
    echo "| busy burst (${busy_s} s) | $busy_n | $busy_gap | $busy_after | $busy_status |"
    echo "| off/on (${off_s} s off) | $offon_n | $offon_gap | $offon_after | $offon_status |"
    echo
    echo "status pictures in all: $status_all; camera sessions opened: $sessions;" \
        "service log: $(grep -c "state event: camera disconnected" "$outdir/log.txt" || true) x" \
        "\"state event: camera disconnected\""
    echo
    echo "| process | descriptors start | descriptors end | RSS kB start | RSS kB end |"
    echo "|---|---|---|---|---|"
    awk '$1 == "start" { fs[$2] = $4; rs[$2] = $5; order[++n] = $2 }
         $1 == "end" { fe[$2] = $4; re[$2] = $5 }
         END { for (i = 1; i <= n; i++) { p = order[i]
               printf "| %s | %s | %s | %s | %s |\n", p, fs[p], fe[p], rs[p], re[p] } }' \
        "$outdir/procs.txt"
    echo
    echo "consumer: $(tail -n 1 "$work/consumer.txt")"
} | tee "$outdir/summary.md"
