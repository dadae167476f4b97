#!/usr/bin/env bash
# The table of docs/reliability.md: every SDK call of the service failed once
# (tests/reliability/SdkFailureTest.cpp, run from the ASan build in build/),
# one row per call: phase, call, code, what the client was handed from the
# fault until live frames flowed again, recovered, and seconds to ten fresh
# live frames (from the fault in the download phase, from the client's
# request otherwise).
#
# Usage: bench/reliability/sdk-failures.sh   (after ./test.sh or a build of build/)
set -euo pipefail
cd "$(dirname "$0")/../.."
rows="$(mktemp)"
trap 'rm -f "$rows"' EXIT
CVL_SDK_FAILURE_TABLE="$rows" ctest --test-dir build -R 'SdkFailure' -j "$(nproc)" >/dev/null || true
echo "| phase | call | code | what the client saw | recovered | seconds |"
echo "|---|---|---|---|---|---|"
awk -F' [|] ' '{ rank = $1 ~ /connect/ ? 1 : $1 ~ /live view/ ? 2 : 3; print rank "\t" $0 }' "$rows" |
    sort -t$'\t' -k1,1n -k2,2 | cut -f2-
