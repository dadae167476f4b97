#!/usr/bin/env bash
# The system at work, for a newcomer: builds it, stages an installation in a
# temporary folder, starts the service with the simulated camera and streams
# to cvl-view, a stand-in for a video application. On the way the camera is
# unplugged and plugged in again, so the status frames and the recovery show.
# Then cvl-web serves the stream to a browser, and headless Chromium takes a
# screenshot of its page. A few seconds are also recorded through the
# GStreamer element cvlsrc. The console closes the service at the end.
# Results go to demo-output/.
#
# Exits non-zero when no live frame arrived.
set -euo pipefail
cd "$(dirname "$0")"
project="$(pwd)"

./tools/ensure-packages.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCVL_SANITIZE=ON >/dev/null
cmake --build build

work="$(mktemp -d /tmp/corvalink-demo-XXXXXX)"
service_pid=""
web_pid=""
cleanup() {
    if [ -n "$web_pid" ] && kill -0 "$web_pid" 2>/dev/null; then
        kill -KILL "$web_pid" 2>/dev/null || true
    fi
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        kill -KILL "$service_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Everything of this run lives under the temporary folder: the installation
# (CVL_ROOT) and the message ports (XDG_RUNTIME_DIR).
root="$work/root"
export CVL_ROOT="$root"
export XDG_RUNTIME_DIR="$work/run"
mkdir -p "$root" "$XDG_RUNTIME_DIR"
DESTDIR="$root" cmake --install build >/dev/null
resources="$root/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources"
log="$resources/log.txt"
app="$root/Applications/Corvalink"
zelsim="$root/usr/bin/zelsim"

output="$project/demo-output"
rm -rf "$output"
mkdir -p "$output"

step() { printf '\n== %s\n' "$*"; }

wait_for_log() {
    local line="$1" tries=0
    until grep -qF -- "$line" "$log" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 200 ]; then
            echo "the service did not log \"$line\"" >&2
            return 1
        fi
        sleep 0.1
    done
}

step "installation staged in $root"
(cd "$root" && find . -mindepth 1 -maxdepth 6 | sort | sed 's|^\./|  /|')

step "starting CVLService with a simulated camera (960x640)"
# This machine has no csrutil or sw_vers: the shell's complaints about them
# go to the service's standard error, kept in demo-output/service-stderr.txt.
ZELSIM_CAMERA=standard ZELSIM_SIZE=960x640 "$app/CVLService" 2>"$output/service-stderr.txt" &
service_pid=$!
wait_for_log "camera controller started"
"$zelsim" status | sed 's/^/  /'

step "streaming to cvl-view for 12 seconds (port mode, 30 GetFrame calls a second)"
echo "  the camera is unplugged after 4 s and plugged in again 3 s later"
"$project/build/bin/cvl-view" --seconds 12 --rate 30 --mode port \
    --out "$output/stream.mjpeg" --snapshot "$output/snapshot.jpg" --json \
    >"$output/cvl-view.txt" &
view_pid=$!
sleep 4
echo "  $(date +%T) zelsim unplug"
"$zelsim" unplug >/dev/null
sleep 3
echo "  $(date +%T) zelsim plug standard"
"$zelsim" plug standard >/dev/null
wait "$view_pid" || true
sed '$d' "$output/cvl-view.txt" | sed 's/^/  /'

summary="$(tail -n 1 "$output/cvl-view.txt")"
echo "$summary" >"$output/summary.json"
number() { sed -n "s/.*\"$1\": *\([0-9.]*\).*/\1/p" <<<"$summary" | head -n 1; }

step "what arrived"
echo "  GetFrame calls:              $(number calls)"
echo "  unique live frames:          $(number unique)  ($(number fps) a second over the run)"
echo "  status frames:               error $(number error), busy $(number busy)," \
    "disconnected $(number disconnected)"
if [ -n "$(number p50)" ]; then
    echo "  latency download->GetFrame:  p50 $(number p50) ms, p95 $(number p95) ms," \
        "p99 $(number p99) ms, max $(number max) ms"
fi
echo "  sequence gaps:               $(number seq_gaps)"

step "the same camera in a browser: cvl-web, and a headless Chromium looking at its page"
# The service streams to one client at a time: cvl-web takes the stream now
# that cvl-view is done, and serves it to any number of browsers.
"$project/build/bin/cvl-web" --listen 127.0.0.1:0 >"$work/cvl-web.txt" \
    2>"$output/cvl-web-stderr.txt" &
web_pid=$!
url=""
for _ in $(seq 200); do
    url="$(sed -n 's/^cvl-web: serving \(http:.*\)$/\1/p' "$work/cvl-web.txt")"
    if [ -n "$url" ] && grep -qx "cvl-web: live" "$work/cvl-web.txt"; then break; fi
    sleep 0.1
done
echo "  cvl-web serves $url (the page, /stream.mjpeg, /snapshot.jpg, /stats.json)"
timeout -k 5 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/chromium" --window-size=1100,760 \
    --screenshot="$output/browser.png" "$url" >/dev/null 2>"$work/chromium-stderr.txt" || true
if [ -s "$output/browser.png" ]; then
    echo "  screenshot of the page: demo-output/browser.png"
else
    echo "  Chromium left no screenshot (see its messages in $work/chromium-stderr.txt)"
fi
kill -TERM "$web_pid"
wait "$web_pid" || true
web_pid=""
cp "$work/cvl-web.txt" "$output/cvl-web.txt"
sed 's/^/  /' "$output/cvl-web.txt"

step "recording 4 seconds through the GStreamer element cvlsrc (docs/gstreamer.md)"
# The element of this build carries AddressSanitizer: the GStreamer tools get
# its runtime preloaded and load the element in their own process.
gst_env=(GST_PLUGIN_PATH="$root/usr/lib/gstreamer-1.0" GST_REGISTRY="$work/gst-registry.bin"
    GST_REGISTRY_FORK=no LD_PRELOAD="$(g++ -print-file-name=libasan.so)"
    ASAN_OPTIONS=detect_leaks=0)
echo "  gst-launch-1.0 -e cvlsrc num-buffers=120 ! jpegparse ! matroskamux ! filesink location=demo-output/cvlsrc.mkv"
env "${gst_env[@]}" gst-launch-1.0 -q -e cvlsrc num-buffers=120 ! jpegparse ! matroskamux ! \
    filesink location="$output/cvlsrc.mkv"
recorded="$(env "${gst_env[@]}" gst-launch-1.0 -v filesrc location="$output/cvlsrc.mkv" ! \
    matroskademux ! fakesink silent=false 2>/dev/null | grep -c "last-message = chain" || true)"
echo "  frames in demo-output/cvlsrc.mkv: $recorded"

step "closing the service with the console (keys r, then q)"
printf 'r\nq\n' | "$app/CVLClient" | sed 's/^/  /'
for _ in $(seq 50); do
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
done
status=0
wait "$service_pid" || status=$?
service_pid=""
echo "  CVLService exited with status $status"

step "the service log (a run of equal messages shown once, with its count)"
cp "$log" "$output/service-log.txt"
awk '
    function flush() { if (n > 1) printf "  %s   (x%d)\n", first, n; else if (n) printf "  %s\n", first }
    { message = substr($0, 21) }
    n && message == last { n++; next }
    { flush(); first = $0; last = message; n = 1 }
    END { flush() }
' "$log"

step "results in demo-output/"
ls -l "$output" | sed 's/^/  /'

unique="$(number unique)"
if [ -z "$unique" ] || [ "$unique" = "0" ] || [ ! -s "$output/snapshot.jpg" ]; then
    echo "no live frame arrived" >&2
    exit 1
fi
