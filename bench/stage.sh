# Shared steps of the benchmarks' run.sh scripts; source it, then call
# stage_install. It builds the optimised build-bench/ (Release, no tests;
# CVL_BENCH_BUILD names another build folder for the same configuration),
# stages an installation in a fresh folder under /tmp and ends, at exit,
# every process registered with stage_track (by PID) before removing the
# folder.
#
#   source bench/stage.sh
#   stage_install NAME            # work folder, CVL_ROOT, XDG_RUNTIME_DIR, HOME
#   stage_service [VAR=value...]  # starts the service, waits for its request port
#   stage_ptpip_camera [OPTION...] # the PTP/IP test camera, in CVL_GPHOTO2_PORT
#   stage_stop_service
#
# Variables it sets: project, build, bin, work, log, service_pid.

project="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${CVL_BENCH_BUILD:-$project/build-bench}"
bin="$build/bin"
work=""
log=""
service_pid=""
stage_pids=()

# Builds the bench build (build-bench/): Release, without the test suite, two
# jobs (the machine is shared).
stage_build() {
    cmake -S "$project" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCVL_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 >/dev/null
}

stage_cleanup() {
    local pid
    for pid in "${stage_pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    for pid in "${stage_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    [ -n "$work" ] && rm -rf "$work"
}

# Ends PID at exit unless it ended before.
stage_track() { stage_pids+=("$1"); }

# Builds, then stages the installation in /tmp/corvalink-NAME-XXXXXX with a
# runtime folder and a home of its own.
stage_install() {
    stage_build
    work="$(mktemp -d "/tmp/corvalink-$1-XXXXXX")"
    trap stage_cleanup EXIT
    export CVL_ROOT="$work/root" XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
    mkdir -p "$CVL_ROOT" "$HOME"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
    DESTDIR="$CVL_ROOT" cmake --install "$build" >/dev/null
    log="$CVL_ROOT/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources/log.txt"
}

# The libgphoto2 build of the camera SDK in place of the simulator, with the
# helper program it looks for beside itself.
stage_gphoto2_sdk() {
    local framework="$CVL_ROOT/Library/Frameworks/ZelSDK.framework/Versions/A"
    cp "$build/lib/gphoto2/libZelSDK.so" "$framework/libZelSDK.so"
    cp "$build/lib/gphoto2/zelsdk-gphoto2-helper" "$framework/"
}

# Starts the PTP/IP test camera on a free port with the options given (its
# standard input held open on descriptor 3, so that it runs until the end)
# and names it in CVL_GPHOTO2_PORT for the libgphoto2 camera SDK.
stage_ptpip_camera() {
    mkfifo "$work/camera-in"
    "$bin/cvl-ptpip-camera" --port 0 "$@" <"$work/camera-in" >"$work/camera-out" &
    stage_track $!
    exec 3>"$work/camera-in"
    stage_wait 60 grep -q '^port ' "$work/camera-out"
    local port
    port="$(sed -n 's/^port //p' "$work/camera-out")"
    export CVL_GPHOTO2_PORT="ptpip:127.0.0.1:$port:$port"
}

# Waits until COMMAND succeeds, checking every 50 ms, for at most SECONDS.
stage_wait() {
    local seconds="$1"
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "stage: gave up waiting for: $*" >&2
            return 1
        fi
        sleep 0.05
    done
}

request_port_served() { compgen -G "$XDG_RUNTIME_DIR/CFMessagePort/*.Request" >/dev/null; }

# Starts the service with the given environment settings (a fresh log) and
# waits for its request port.
stage_service() {
    rm -f "$log"
    env "$@" "$CVL_ROOT/Applications/Corvalink/CVLService" 2>/dev/null &
    service_pid=$!
    stage_track "$service_pid"
    stage_wait 30 grep -qF "camera controller started" "$log" 2>/dev/null
    stage_wait 30 request_port_served
}

stage_stop_service() {
    kill -TERM "$service_pid"
    wait "$service_pid" || true
    service_pid=""
}

# A session of its own for PipeWire programs: a session bus that starts
# nothing by itself, pipewire and wireplumber, in this run's runtime folder.
stage_pipewire() {
    export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data"
    mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_DATA_HOME"
    cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$XDG_RUNTIME_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    dbus-daemon --config-file="$work/bus.conf" --nofork 2>"$work/bus.log" &
    stage_track $!
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
    stage_wait 30 test -S "$XDG_RUNTIME_DIR/bus"
    pipewire 2>"$work/pipewire.log" &
    pipewire_pid=$!
    stage_track "$pipewire_pid"
    stage_wait 30 test -S "$XDG_RUNTIME_DIR/pipewire-0"
    wireplumber 2>"$work/wireplumber.log" &
    wireplumber_pid=$!
    stage_track "$wireplumber_pid"
    # WirePlumber has set up its policy once it published its own client.
    stage_wait 30 sh -c 'pw-cli ls Client 2>/dev/null | grep -q "application.name = \"WirePlumber\""'
}

# CPU time of a process in clock ticks (user + system); 0 once it ended.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
# The sum over several processes.
cpu_ticks_of() {
    local pid total=0
    for pid in "$@"; do
        total=$((total + $(cpu_ticks "$pid")))
    done
    echo "$total"
}
now_s() { date +%s.%N; }
# CPU seconds a second between two samples of ticks and times.
cpu_share() {
    awk -v a="$1" -v b="$2" -v s="$3" -v e="$4" -v t="$(getconf CLK_TCK)" \
        'BEGIN { if (e > s) printf "%.3f", (b - a) / t / (e - s); else print "" }'
}
json_number() { sed -n "s/.*\"$2\": *\([0-9.]*\).*/\1/p" <<<"$1" | head -n 1; }
machine_line() {
    echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)," \
        "load average $(cut -d' ' -f1-3 /proc/loadavg)"
}
