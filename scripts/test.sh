#!/usr/bin/env bash
# Sets up, builds and runs every test under Wine with Xvfb.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$TRAKX_ROOT/scripts/setup.sh"
trakx_build
trap trakx_stop_session EXIT
trakx_start_session
trakx_mount_small_disk
cd "$TRAKX_BUILD"
ctest --output-on-failure "$@"
