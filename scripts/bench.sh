#!/usr/bin/env bash
# Sets up, builds and runs the benchmark; section names (host vars draw files) may follow.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$TRAKX_ROOT/scripts/setup.sh"
trakx_build
trap trakx_stop_session EXIT
trakx_start_session
cd "$TRAKX_BUILD/bin"
wine ./trakx-bench.exe "$@"
