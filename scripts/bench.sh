#!/usr/bin/env bash
# Sets up, builds and runs the benchmark. Sections: host vars draw files (all when
# none is named); "files" also times grep and dd on the same data (bench/files.sh).
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$TRAKX_ROOT/scripts/setup.sh"
command -v bc >/dev/null || { apt-get install -y -qq bc >/dev/null; }
trakx_build
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(host vars draw files)
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
