#!/usr/bin/env bash
# Soak: the service of an optimised staged installation streams 1920x1080
# live view to one port-mode cvl-view for a long time (default 30 minutes),
# and the camera is unplugged and plugged in again every minute. Every
# sample period it records the service's resident memory, open descriptors
# and threads, and the unique live frames a second that the client saw over
# that period. At the end it prints the figures, the log's lines grouped by
# message, and writes a plot of RSS and fps (gnuplot, if installed).
#
# Usage: bench/soak/run.sh [minutes] [out-dir]   (builds build-bench/)
#
# out-dir (default bench/soak/out) receives samples.csv, view.txt, log.txt,
# summary.md and soak.png.
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
minutes="${1:-30}"
outdir="${2:-$project/bench/soak/out}"
sample_s="${SOAK_SAMPLE:-10}"
unplug_every_s="${SOAK_UNPLUG_EVERY:-60}"
unplugged_s=3
mkdir -p "$outdir"
outdir="$(cd "$outdir" && pwd)"

stage_install soak
zelsim="$bin/zelsim"

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
threads() { awk '/^Threads:/ { print $2 }' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }

stage_service ZELSIM_CAMERA=standard ZELSIM_SIZE=1920x1080

total_s=$((minutes * 60))
# The per-second lines ("N s: C calls, U unique, ...") give the fps series.
"$bin/cvl-view" --seconds "$total_s" --rate 100 --json >"$outdir/view.txt" &
view_pid=$!
stage_track "$view_pid"
until grep -qF "starting streaming.." "$log"; do sleep 0.05; done

echo "elapsed_s,rss_kb,fds,threads,unique_fps" >"$outdir/samples.csv"
start="$(date +%s)"
next_sample=0
next_unplug=$unplug_every_s
replug_at=-1
cycles=0
while kill -0 "$view_pid" 2>/dev/null; do
    now=$(($(date +%s) - start))
    if [ "$replug_at" -ge 0 ] && [ "$now" -ge "$replug_at" ]; then
        "$zelsim" plug standard >/dev/null
        replug_at=-1
        cycles=$((cycles + 1))
    fi
    if [ "$now" -ge "$next_unplug" ] && [ "$now" -lt $((total_s - unplug_every_s / 2)) ]; then
        "$zelsim" unplug >/dev/null
        replug_at=$((now + unplugged_s))
        next_unplug=$((next_unplug + unplug_every_s))
    fi
    if [ "$now" -ge "$next_sample" ]; then
        # The simulator's record of SDK calls lives in the service's process;
        # emptying it keeps it out of the memory figures.
        "$zelsim" calls --clear >/dev/null 2>&1 || true
        # Unique frames over the last sample period, from cvl-view's lines.
        fps="$(awk -v from=$((now - sample_s)) -v to="$now" \
            '/^[0-9]+ s: / { s = $1 + 0; if (s > from && s <= to) { u += $5; n++ } }
             END { if (n) printf "%.1f", u / n; else print "" }' "$outdir/view.txt")"
        echo "$now,$(rss_kb "$service_pid"),$(fds "$service_pid"),$(threads "$service_pid"),$fps" \
            >>"$outdir/samples.csv"
        next_sample=$((next_sample + sample_s))
    fi
    sleep 0.5
done
wait "$view_pid" || true
stage_stop_service
cp "$log" "$outdir/log.txt"

# Figures: the first minute against the last, with unplugged seconds in both.
{
    echo "soak: $minutes min at 1920x1080, unplug/replug every ${unplug_every_s} s" \
        "(${unplugged_s} s unplugged), $cycles replugs, sample every ${sample_s} s"
    machine_line
    echo
    awk -F, 'NR > 1 && $1 >= 10 {
            n++; r[n] = $2; f[n] = $3; t[n] = $4; p[n] = $5
            if (!minr || $2 < minr) minr = $2; if ($2 > maxr) maxr = $2
            if (!minf || $3 < minf) minf = $3; if ($3 > maxf) maxf = $3
            if (!mint || $4 < mint) mint = $4; if ($4 > maxt) maxt = $4
        }
        function avg(a, from, to,   i, s, k) { for (i = from; i <= to; i++) if (a[i] != "") { s += a[i]; k++ }
            return k ? s / k : 0 }
        END {
            w = 6; if (n < 2 * w) w = int(n / 2)
            printf "| figure | first minute | last minute | min | max |\n|---|---|---|---|---|\n"
            printf "| service RSS MB | %.1f | %.1f | %.1f | %.1f |\n", avg(r, 1, w) / 1024, avg(r, n - w + 1, n) / 1024, minr / 1024, maxr / 1024
            printf "| descriptors | %.0f | %.0f | %d | %d |\n", avg(f, 1, w), avg(f, n - w + 1, n), minf, maxf
            printf "| threads | %.0f | %.0f | %d | %d |\n", avg(t, 1, w), avg(t, n - w + 1, n), mint, maxt
            printf "| unique fps | %.1f | %.1f | | |\n", avg(p, 1, w), avg(p, n - w + 1, n)
        }' "$outdir/samples.csv"
    echo
    echo "client summary: $(tail -n 1 "$outdir/view.txt")"
    echo
    echo "log lines by message (timestamp prefix dropped, numbers as N):"
    echo
    sed -E 's/^[0-9-]+ [0-9:]+ //; s/[0-9]+/N/g' "$outdir/log.txt" | sort | uniq -c | sort -rn | sed 's/^/    /'
} | tee "$outdir/summary.md"

if command -v gnuplot >/dev/null; then
    gnuplot <<PLOT
set terminal pngcairo size 900,500
set output "$outdir/soak.png"
set datafile separator ","
set key outside bottom center horizontal
set xlabel "minutes"
set ylabel "service RSS (MB)"
set y2label "unique frames a second"
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:40]
set title "Soak: 1920x1080, unplug/replug every minute"
plot "$outdir/samples.csv" every ::1 using (\$1/60):(\$2/1024) with lines title "RSS", \
     "" every ::1 using (\$1/60):5 axes x1y2 with lines title "unique fps"
PLOT
fi
