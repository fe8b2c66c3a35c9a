#!/usr/bin/env bash
# Sets up, builds and runs every test under Wine with Xvfb.
set -euo pipefail
source "$(dirname "$0")/env.sh"
trakx_prepare "$@"
trap trakx_stop_session EXIT
trakx_start_session
trakx_mount_small_disk
cd "$TRAKX_BUILD"
ctest --output-on-failure "$@"
