#!/usr/bin/env bash
# Times the file keywords (trakx-bench files) and, on the same data files in the
# same run, GNU grep -F and dd, then prints the ratios the two give together.
# The data files are made by the benchmark on first use in build/bin/bench-scratch.
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
trakx_prepare "$@"
trap trakx_stop_session EXIT
trakx_start_session
cd "$TRAKX_BUILD/bin"

bench=$(wine ./trakx-bench.exe files 2>&1 | tr -d '\r')
echo "$bench"

random=bench-scratch/random-256m.txt
repeat=bench-scratch/repeat-64m.txt
needle=qzjxkvwpyfbhmtgd

# Median wall time of three runs of a command, in seconds.
median3() {
  local times=()
  for _ in 1 2 3; do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | sed -n 2p
}

export LC_ALL=C
cat "$random" "$repeat" >/dev/null  # the same warm cache the benchmark saw
dd_s=$(median3 dd if="$random" bs=1M of=/dev/null)
grep_s=$(median3 grep -F -c "$needle" "$random")
grepi_s=$(median3 grep -F -i -c "$needle" "$random")
grepw_s=$(median3 grep -F -c "$(printf 'a%.0s' $(seq 4000))b" "$repeat")
matches=$(grep -F -c "$needle" "$random" || true)

figure() { echo "$bench" | awk -F': *' -v name="$1" -v unit="$2" \
  '$1 == name { split($2, v, " "); if (v[2] == unit) print v[1] }'; }
exact_s=$(figure "search 256 MiB random text, EXACT" s)
folded_s=$(figure "search 256 MiB random text, case folded" s)
text_mibs=$(figure "FILEREAD TEXT, 1 MiB buffer, 256 MiB" MiB/s)

report() { printf '%-58s %12.3f %s\n' "$1:" "$2" "$3"; }
echo "== linux tools on the same files (LC_ALL=C, median of 3)"
report "dd bs=1M of=/dev/null, 256 MiB" "$(echo "256 / $dd_s" | bc -l)" MiB/s
report "grep -F -c, 256 MiB random text ($matches line)" "$grep_s" s
report "grep -F -i -c, 256 MiB random text" "$grepi_s" s
report "grep -F -c, 64 MiB of one letter" "$grepw_s" s
echo "== ratios (below 1: faster than the tool)"
report "FILESEARCHTEXT EXACT / grep -F -c" "$(echo "$exact_s / $grep_s" | bc -l)" x
report "FILESEARCHTEXT folded / grep -F -i -c" "$(echo "$folded_s / $grepi_s" | bc -l)" x
report "FILEREAD TEXT speed / dd speed" "$(echo "$text_mibs / (256 / $dd_s)" | bc -l)" x
