#!/usr/bin/env bash
# Sets up, builds and runs the reference host on a script (the tour by default).
# usage: scripts/run.sh [-t] [-q] [script.trx | -]
#   -t  the library's test mode;  -q  print only answers, events and boxes
#   -   read the script from standard input
# The script runs in a working folder of its own, build/run/<name>/: a relative file
# name in the script is made there. Linux paths reach it as Z:\... (Wine's drive Z:).
set -euo pipefail
source "$(dirname "$0")/env.sh"
# The script's path is resolved here, in the caller's folder, before anything
# changes folder; standard input is saved to a file first, as the emulator's guest
# runs this again with standard input closed.
if [ -z "${TRAKX_IN_GUEST:-}" ]; then
  args=()
  for arg in "$@"; do
    case "$arg" in -?*) args+=("$arg") ;; *) args+=("$(trakx_script_path "$arg")") || exit 2 ;; esac
  done
  set -- "${args[@]+"${args[@]}"}"
fi
trakx_prepare "$@"
trap trakx_stop_session EXIT
trakx_start_session
options=()
script="$TRAKX_ROOT/examples/tour.trx"
for arg in "$@"; do
  case "$arg" in -?*) options+=("$arg") ;; *) script="$arg" ;; esac
done
workdir="$TRAKX_BUILD/run/$(basename "$script" .trx)"
mkdir -p "$workdir"
cd "$workdir"
wine "$TRAKX_BUILD/bin/trakx-host.exe" "${options[@]+"${options[@]}"}" "Z:$script"
