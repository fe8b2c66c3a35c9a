#!/usr/bin/env bash
# Sets up, builds and runs the reference host on a script (the tour by default).
# usage: scripts/run.sh [-t] [-q] [script.trx]
set -euo pipefail
source "$(dirname "$0")/env.sh"
trakx_prepare "$@"
trap trakx_stop_session EXIT
trakx_start_session
options=()
script="$TRAKX_ROOT/examples/tour.trx"
for arg in "$@"; do
  case "$arg" in -*) options+=("$arg") ;; *) script="$arg" ;; esac
done
# The script's files are made in a working folder of its own.
workdir="$TRAKX_BUILD/run/$(basename "$script" .trx)"
mkdir -p "$workdir"
cd "$workdir"
wine "$TRAKX_BUILD/bin/trakx-host.exe" "${options[@]}" "Z:$(cd "$(dirname "$script")" && pwd)/$(basename "$script")"
