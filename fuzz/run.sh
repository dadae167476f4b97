#!/usr/bin/env bash
# Builds the fuzz targets in build-fuzz/ (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for the given seconds (default
# 60), starting from its seed corpus in fuzz/corpus/<name>. New inputs go to
# build-fuzz/corpus/<name>, crashes to build-fuzz/findings/<name>/. Prints one
# table row per target: executions, coverage (libFuzzer's cov and ft counts),
# corpus size and findings. Exit status 1 when any target found something.
#
# Usage: fuzz/run.sh [SECONDS] [TARGET...]   (targets without the fuzz- prefix)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(message-port request-text frame-message sandbox-file evf-frame-file
             zelsim-control frame-stamp)
fi
declare -A dictionary=([message-port]=message-port [request-text]=request-text
                       [zelsim-control]=zelsim-control [frame-stamp]=jpeg
                       [evf-frame-file]=jpeg [frame-message]=jpeg [sandbox-file]=jpeg)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCVL_FUZZ=ON >/dev/null
cmake --build build-fuzz --target cvl-fuzz >/dev/null

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
echo "| target | seconds | executions | exec/s | cov | ft | corpus | findings |"
echo "|---|---|---|---|---|---|---|---|"
for name in "${targets[@]}"; do
    corpus="build-fuzz/corpus/$name"
    findings="build-fuzz/findings/$name"
    mkdir -p "$corpus" "$findings"
    options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=60 -rss_limit_mb=2048
             -artifact_prefix="$findings/")
    [ -n "${dictionary[$name]:-}" ] && options+=(-dict="fuzz/dict/${dictionary[$name]}.dict")
    logfile="build-fuzz/findings/$name.log"
    if "build-fuzz/fuzz/fuzz-$name" "${options[@]}" "$corpus" "fuzz/corpus/$name" \
        >"$logfile" 2>&1; then
        found=0
    else
        found="$(find "$findings" -type f | wc -l)"
        [ "$found" -eq 0 ] && found="exit status, see $logfile"
        status=1
    fi
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$logfile" | tail -n 1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logfile" | tail -n 1)"
    last="$(grep -E '^#[0-9]+' "$logfile" | tail -n 1)"
    cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")"
    ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")"
    corp="$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")"
    echo "| $name | $seconds | ${executions:-?} | ${rate:-?} | ${cov:-?} | ${ft:-?} | ${corp:-?} | $found |"
    [ "$found" != 0 ] && grep -E "ERROR|fuzz: |SUMMARY" "$logfile" | head -n 5 | sed 's/^/    /'
done
exit "$status"
