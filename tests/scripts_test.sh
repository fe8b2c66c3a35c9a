#!/usr/bin/env bash
# The scripts' own failure paths, driven through their functions with a small
# project, a fake cache and a stand-in for qemu (nothing is booted):
#   - a build that fails stops with the compiler's message, even where an earlier
#     build left its binaries;
#   - the emulator refuses paths that its kernel command line and options cannot
#     carry, before it starts anything;
#   - a run waiting for the emulator's lock leaves the files of the run in progress;
#   - run.sh's script argument: a relative path is resolved in the caller's folder,
#     "-" saves standard input to a file under the build folder;
#   - a virtual display that does not come up stops the session with a message;
#   - run.sh's host run (with the built host, when the build folder is given): the
#     working folder kept, or emptied with --fresh; output lines ending in LF alone.
# usage: scripts_test.sh [build folder]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
built=${1:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# A stand-in for qemu that only notes that it was started.
mkdir -p "$work/bin"
printf '#!/bin/sh\ntouch "%s/qemu-started"\n' "$work" > "$work/bin/qemu-system-x86_64"
chmod +x "$work/bin/qemu-system-x86_64"
# A cache the emulator accepts as made: the disk image and kernel exist.
cache="$work/cache"
mkdir -p "$cache/kernel"
: > "$cache/prefix.ext4"
: > "$cache/kernel/vmlinuz"
: > "$cache/kernel/modules.cpio.gz"

# Runs a command with the scripts' functions, the fake cache and the stand-in.
with_scripts() {
  (source "$root/scripts/env.sh"
   TRAKX_EMU_CACHE=$cache PATH="$work/bin:$PATH"
   "$@")
}

# ---- a failing build -----------------------------------------------------------
project="$work/project"
mkdir -p "$project/cmake" "$project/build/bin"
cat > "$project/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(stale C)
add_library(TRAKX SHARED broken.c)
EOF
echo 'int broken(void) { return undeclared_name_here; }' > "$project/broken.c"
: > "$project/cmake/mingw-i686.cmake"  # no cross-compiler needed: the machine's own
: > "$project/build/bin/TRAKX.dll"     # what an earlier, good build left
build_in_project() { TRAKX_ROOT=$project TRAKX_BUILD=$project/build; trakx_build; }
output=$(with_scripts build_in_project 2>&1)
status=$?
[ "$status" -ne 0 ] || fail "a compile error passed for a good build (exit 0)"
grep -q 'undeclared_name_here' <<<"$output" || fail "the compiler's message was not shown: $output"

# ---- paths the emulator cannot carry --------------------------------------------
for path in "$work/with blank" "$work/with,comma"; do
  rm -f "$work/qemu-started"
  mkdir -p "$path"
  run_in() { TRAKX_BUILD=$1; trakx_emu_run true; }
  output=$(with_scripts run_in "$path" 2>&1)
  status=$?
  [ "$status" -ne 0 ] || fail "$path: accepted"
  grep -q "cannot use TRAKX_BUILD=$path" <<<"$output" || fail "$path: no message naming the path: $output"
  [ ! -e "$work/qemu-started" ] || fail "$path: qemu was started"
done

# ---- a second run on the same build folder waits before it touches anything ---
build="$work/build"
mkdir -p "$build/emulator"
echo 0 > "$build/emulator/status"
echo "the first run's console" > "$build/emulator/console.log"
exec {held}>"$cache/prefix.lock"
flock "$held"  # the first run, still going
run_second() { TRAKX_BUILD=$build; trakx_emu_run true; }
with_scripts run_second > "$work/second.log" 2>&1 &
second=$!
for _ in $(seq 100); do
  grep -q 'waiting for another emulated run' "$work/second.log" && break
  sleep 0.2
done
grep -q 'waiting for another emulated run' "$work/second.log" || fail "the second run did not wait for the lock"
[ -f "$build/emulator/status" ] || fail "the second run removed the first run's status while it waited"
[ -f "$build/emulator/console.log" ] || fail "the second run removed the first run's console while it waited"
flock -u "$held"
exec {held}>&-
wait "$second"  # the stand-in ends at once: the second run then reports its failure
[ -e "$work/qemu-started" ] || fail "the second run did not go on once the lock was free"
# Every emulated run ends by saying how long it took, a failed one too.
grep -q 'the emulated run took [0-9]* s of its [0-9]* s' "$work/second.log" ||
  fail "the second run did not say how long it took: $(tail -n 3 "$work/second.log")"

# ---- the script argument of run.sh ---------------------------------------------
mkdir -p "$work/caller/mine"
echo '? GETINT 1' > "$work/caller/mine/a.trx"
resolve() { TRAKX_BUILD=$work/build; trakx_script_path "$1"; }
output=$(cd "$work/caller" && with_scripts resolve mine/a.trx 2>&1)
[ "$output" = "$work/caller/mine/a.trx" ] || fail "mine/a.trx resolved to: $output"
output=$(cd "$work/caller" && with_scripts resolve missing.trx 2>&1)
status=$?
[ "$status" -ne 0 ] && grep -q 'no script missing.trx' <<<"$output" || fail "a missing script: $status $output"
output=$(printf 'SETINT 1 5\n? GETINT 1\n' | with_scripts resolve - 2>&1)
[ "$output" = "$work/build/run/stdin.trx" ] || fail "- resolved to: $output"
[ "$(cat "$work/build/run/stdin.trx" 2>/dev/null)" = $'SETINT 1 5\n? GETINT 1' ] || fail "- did not save standard input"

# ---- a display that does not come up ---------------------------------------------
# Stand-ins for Xvfb that never make the display's socket: one ends at once, one
# keeps running. The session stops with a message instead of running the host
# without a window.
mkdir -p "$work/xvfb-ends" "$work/xvfb-hangs"
printf '#!/bin/sh\nexit 1\n' > "$work/xvfb-ends/Xvfb"
printf '#!/bin/sh\nexec sleep 30\n' > "$work/xvfb-hangs/Xvfb"
chmod +x "$work/xvfb-ends/Xvfb" "$work/xvfb-hangs/Xvfb"
for stand_in in ends hangs; do
  start=$(date +%s)
  output=$(with_scripts bash -c "source '$root/scripts/env.sh'; PATH='$work/xvfb-$stand_in':\$PATH
    TRAKX_DISPLAY_NUM=64997 TRAKX_XVFB_WAIT=2; trap 'kill \$TRAKX_XVFB_PID 2>/dev/null' EXIT
    trakx_start_session; echo started" 2>&1)
  status=$?
  [ "$status" -ne 0 ] && grep -q 'the virtual display :64997 (Xvfb) did not start within 2 s' <<<"$output" &&
    ! grep -q started <<<"$output" && [ $(($(date +%s) - start)) -lt 10 ] ||
    fail "Xvfb that $stand_in without its display: exit $status: $output"
done

# ---- the host's run: its working folder and its line ends ------------------------
if [ -n "$built" ]; then
  # A build folder of its own whose bin is the real one: the working folders land here.
  mkdir -p "$work/hostbuild"
  ln -s "$built/bin" "$work/hostbuild/bin"
  printf 'FILEOPEN 1 made.txt WRITE\n.echo a\n? GETINT 1\n' > "$work/fresh.trx"
  folder="$work/hostbuild/run/fresh"
  mkdir -p "$folder"
  echo old > "$folder/left.txt"
  run_host() { TRAKX_BUILD=$work/hostbuild; trakx_run_host "$@"; }
  with_scripts run_host -q "$work/fresh.trx" > "$work/host.out" 2>&1
  status=$?
  [ "$status" -eq 0 ] && [ -f "$folder/left.txt" ] && [ -f "$folder/made.txt" ] ||
    fail "a run without --fresh: exit $status, folder: $(ls "$folder"): $(cat "$work/host.out")"
  [ "$(cat "$work/host.out")" = $'0  [status 0]\na\n"0"  [status 0]' ] ||
    fail "the output's lines do not end in LF alone: $(od -c "$work/host.out" | head -5)"
  with_scripts run_host -q --fresh "$work/fresh.trx" > "$work/host.out" 2>&1
  status=$?
  [ "$status" -eq 0 ] && [ ! -e "$folder/left.txt" ] && [ -f "$folder/made.txt" ] ||
    fail "--fresh: exit $status, folder: $(ls "$folder"): $(cat "$work/host.out")"
  # Two scripts are refused, not the first quietly dropped.
  output=$(with_scripts run_host -q "$work/fresh.trx" "$work/fresh.trx" 2>&1)
  status=$?
  [ "$status" -eq 2 ] && grep -q 'one script at a time' <<<"$output" && ! grep -q status <<<"$output" ||
    fail "two scripts: exit $status: $output"
fi

[ "$failures" -eq 0 ] && echo "scripts: all checks passed"
exit $((failures > 0))
