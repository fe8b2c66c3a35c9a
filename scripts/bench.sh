#!/usr/bin/env bash
# Sets up, builds and runs the benchmark. Sections: host vars draw files consts com (all when
# none is named); "files" also times grep and dd on the same data (bench/files.sh).
set -euo pipefail
source "$(dirname "$0")/env.sh"
trakx_prepare "$@"
if [ -n "${TRAKX_IN_GUEST:-}" ]; then
  echo "(measured in a full-system emulator: these figures are not comparable with native ones)"
fi
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(host vars draw files consts com)
exe_sections=()
files=false
for s in "${sections[@]}"; do
  if [ "$s" = files ]; then files=true; else exe_sections+=("$s"); fi
done
if [ ${#exe_sections[@]} -gt 0 ]; then
  (
    trap trakx_stop_session EXIT
    trakx_start_session
    cd "$TRAKX_BUILD/bin"
    wine ./trakx-bench.exe "${exe_sections[@]}" | tr -d '\r'
  )
fi
if $files; then bash "$TRAKX_ROOT/bench/files.sh"; fi
