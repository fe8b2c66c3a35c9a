#!/usr/bin/env bash
# Sets up, builds and runs every test under Wine with Xvfb.
set -euo pipefail
source "$(dirname "$0")/env.sh"
trakx_prepare "$@"
trap trakx_stop_session EXIT
trakx_start_session
trakx_mount_small_disk
cd "$TRAKX_BUILD"
status=0
ctest --output-on-failure "$@" || status=$?
# ctest shows only the output of failed programs: name every skipped case with the
# reason its test gave (a missing font, no small disk).
skipped=$(awk '/: Skipped$/ { getline reason; next }
     /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { print "skipped: " $4 ": " reason; reason = "" }' \
  Testing/Temporary/LastTest.log 2>/dev/null | sort -u || true)
if [ -n "$skipped" ]; then echo "$skipped"; else echo "no cases skipped"; fi
exit $status
