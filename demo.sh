#!/usr/bin/env bash
# Builds the system, stages an installation in a temporary folder and shows
# its layout.
set -euo pipefail
cd "$(dirname "$0")"
./tools/ensure-packages.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCVL_SANITIZE=ON >/dev/null
cmake --build build
stage="$(mktemp -d /tmp/corvalink-demo-XXXXXX)"
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install build >/dev/null
echo
echo "staged installation in $stage:"
(cd "$stage" && find . -mindepth 1 | sort | sed 's|^\./|  /|')
