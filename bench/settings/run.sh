#!/usr/bin/env bash
# Camera settings on the simulator: the service with the simulated camera at
# 960x640 and cvl-bench-settings as its one client (latency of CHANGES white
# balance changes, then a sweep of SWEEP changes beside a 30 fps consumer).
#
# Usage: bench/settings/run.sh [CHANGES] [SWEEP]   (an optimised build in build-bench/)
set -euo pipefail
source "$(dirname "$0")/../stage.sh"
changes="${1:-50}"
sweep="${2:-100}"
stage_install settings
machine_line
echo "command: bench/settings/run.sh $changes $sweep"
stage_service ZELSIM_CAMERA=standard ZELSIM_SIZE=960x640
"$bin/cvl-bench-settings" "$changes" "$sweep" 10
stage_stop_service
