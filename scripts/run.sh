#!/usr/bin/env bash
# Sets up, builds and runs the reference host on a script (the tour by default).
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$TRAKX_ROOT/scripts/setup.sh"
trakx_build
trap trakx_stop_session EXIT
trakx_start_session
script="${1:-$TRAKX_ROOT/examples/tour.trx}"
shift || true
cd "$TRAKX_BUILD/bin"
wine ./trakx-host.exe "$@" "$(winepath -w "$script" 2>/dev/null)"
