#!/usr/bin/env bash
# Sets up, builds and runs the reference host on a script (the tour by default).
# usage: scripts/run.sh [-h] [--fresh] [-t] [-q] [script.trx | -]
# The script runs in a working folder of its own, build/run/<name>/: a relative file
# name in the script is made there. Linux paths reach it as Z:\... (Wine's drive Z:).
set -euo pipefail
usage() {
  cat <<'TEXT'
usage: scripts/run.sh [-h] [--fresh] [-t] [-q] [script.trx | -]
Sets up what is missing, builds, and runs the reference host on the script
(examples/tour.trx when none is named); its exit code is the host's.
  -h       this help (nothing is set up or built)
  --fresh  empty the script's working folder build/run/NAME/ first; it is kept
           between runs otherwise, with the files earlier runs wrote there
  -t       the library's test mode
  -q       quiet: print only answers, events and boxes
  -        read the script from standard input (its folder is build/run/stdin/)
The script's path is taken from the folder you call this in. Output lines end
in LF. The first run installs packages, builds and makes a Wine prefix (minutes;
each step is announced with the time so far).
TEXT
}
for arg in "$@"; do
  case "$arg" in -h|--help) usage; exit 0 ;; esac
done
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
trakx_run_host "$@"
