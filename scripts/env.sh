# Sourced by the scripts: one Wine prefix for the project, quiet Wine, a display.
export WINEPREFIX="${TRAKX_WINEPREFIX:-$HOME/.cache/trakx-wine}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
TRAKX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TRAKX_BUILD="${TRAKX_BUILD:-$TRAKX_ROOT/build}"
TRAKX_DISPLAY_NUM="${TRAKX_DISPLAY_NUM:-87}"
source "$TRAKX_ROOT/scripts/emulate.sh"

# The absolute path of a script named on the command line, resolved in the caller's
# folder; "-" saves standard input to build/run/stdin.trx and answers that file.
trakx_script_path() {
  local path=$1
  if [ "$path" = - ]; then
    mkdir -p "$TRAKX_BUILD/run"
    path="$TRAKX_BUILD/run/stdin.trx"
    cat > "$path"
  fi
  if [ ! -f "$path" ]; then
    echo "trakx: no script $path" >&2
    return 1
  fi
  echo "$(cd "$(dirname "$path")" && pwd)/$(basename "$path")"
}

# Runs the reference host on a script (the tour when none is named) in the script's
# working folder build/run/NAME/, which --fresh empties first; the other options go
# to the host. Output lines end in LF, as Linux tools expect.
trakx_run_host() {
  local fresh=false options=(--lf) script="$TRAKX_ROOT/examples/tour.trx" arg scripts=0
  for arg in "$@"; do
    case "$arg" in --fresh) fresh=true ;; -?*) options+=("$arg") ;; *) script=$arg scripts=$((scripts + 1)) ;; esac
  done
  if [ "$scripts" -gt 1 ]; then
    echo "trakx: one script at a time (run.sh -h says how)" >&2
    return 2
  fi
  local workdir
  workdir="$TRAKX_BUILD/run/$(basename "$script" .trx)"
  ! $fresh || rm -rf "$workdir"
  mkdir -p "$workdir"
  (cd "$workdir" && wine "$TRAKX_BUILD/bin/trakx-host.exe" "${options[@]}" "Z:$script")
}

# Sets up and builds; then, where this machine cannot run 32-bit programs (or
# TRAKX_EMULATE=1), runs the calling script again in the emulator's guest and exits
# with its code. In the guest it does nothing: the build is done already.
trakx_prepare() {
  [ -z "${TRAKX_IN_GUEST:-}" ] || return 0
  # A path the emulator cannot use is refused before the build, not after it.
  trakx_native_32bit || trakx_emu_check_paths || exit 1
  "$TRAKX_ROOT/scripts/setup.sh"
  trakx_build || exit 1
  trakx_native_32bit && return 0
  trakx_emu_announce
  local rc=0
  trakx_emu_run "$(cd "$(dirname "$0")" && pwd)/$(basename "$0")" "$@" || rc=$?
  exit "$rc"
}

# Passes the build's messages on without its progress lines; a first build, which
# takes minutes (more on a busy machine), says when a quarter, half and three quarters
# of it are done, so that a long silence does not look like a hang.
trakx_build_progress() {
  local first=$1 line pct shown=0
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      '-- '*) ;;
      '['*'%]'*)
        pct=${line%%%]*}
        pct=${pct#[}
        pct=${pct// /}
        if $first && [[ "$pct" =~ ^[0-9]+$ ]] && [ "$pct" -lt 100 ] && [ $((pct / 25 * 25)) -gt "$shown" ]; then
          shown=$((pct / 25 * 25))
          trakx_step "building: $shown% done"
        fi ;;
      *) printf '%s\n' "$line" ;;
    esac
  done
}

# Builds the project (configure once): the targets named, or all of it. A failed
# configure or build fails here, with the compiler's messages shown: the binaries an
# earlier build left must not be tested, or packaged, as if they were this one's.
trakx_build() {
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  local first=false
  if [ ! -f "$TRAKX_BUILD/CMakeCache.txt" ]; then
    first=true
    trakx_step "configuring and building everything in $TRAKX_BUILD, the test programs too (the first build takes minutes)"
    if ! cmake -S "$TRAKX_ROOT" -B "$TRAKX_BUILD" -DCMAKE_TOOLCHAIN_FILE="$TRAKX_ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null; then
      rm -f "$TRAKX_BUILD/CMakeCache.txt"  # so that the next run configures again
      echo "trakx: configuring the build in $TRAKX_BUILD failed" >&2
      return 1
    fi
  fi
  # The status is the build's, whatever the filter did.
  if ! (set -o pipefail
        cmake --build "$TRAKX_BUILD" -j"$(nproc)" "${targets[@]}" 2>&1 | trakx_build_progress "$first"); then
    echo "trakx: the build failed (messages above); nothing was run" >&2
    return 1
  fi
  if [ ! -f "$TRAKX_BUILD/bin/TRAKX.dll" ]; then
    echo "trakx: the build made no $TRAKX_BUILD/bin/TRAKX.dll" >&2
    return 1
  fi
  ! $first || trakx_step "built"
}

# Starts Xvfb and a persistent wineserver; trakx_stop_session ends both.
trakx_start_session() {
  export DISPLAY=":$TRAKX_DISPLAY_NUM"
  local lock="/tmp/.X$TRAKX_DISPLAY_NUM-lock" socket="/tmp/.X11-unix/X$TRAKX_DISPLAY_NUM"
  # A server killed without cleaning up leaves its lock and socket behind.
  if [ -f "$lock" ] && ! kill -0 "$(tr -d ' ' < "$lock")" 2>/dev/null; then
    rm -f "$lock" "$socket"
  fi
  if ! [ -S "$socket" ]; then
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    TRAKX_XVFB_PID=$!
    # A busy or emulated machine can take seconds to start it; going on without it
    # would leave the host without a window and every test without a display.
    local limit=${TRAKX_XVFB_WAIT:-60} tenths=0
    while ! [ -S "$socket" ]; do
      if ! kill -0 "$TRAKX_XVFB_PID" 2>/dev/null || [ "$tenths" -ge $((limit * 10)) ]; then
        echo "trakx: the virtual display $DISPLAY (Xvfb) did not start within $limit s; nothing was run" >&2
        exit 1
      fi
      sleep 0.1
      tenths=$((tenths + 1))
    done
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    trakx_step "making the Wine prefix $WINEPREFIX (once; under a minute natively, longer emulated)"
    wineboot -i >/dev/null 2>&1 || true
    # A persistent server refuses a prefix folder that does not exist yet, so the
    # prefix is made under a server of its own. Once that has ended, the session's
    # server starts on the finished prefix as on any later run; without it every
    # test program would boot Wine's services anew, and a COM call needing the RPC
    # service could fail while they start or shut down.
    wineserver -w 2>/dev/null || true
  fi
  wineserver -p 2>/dev/null || true
  # Without a window manager, Wine waits two seconds for every managed window to be
  # withdrawn; unmanaged windows are shown and hidden at once.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
  # Start Wine's background services now, detached from our output: a service
  # started by the first test would hold ctest's output pipe open after it ends.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# A small disk (tmpfs of a few hundred KB) for the disk-full tests, where mounting is
# allowed; the tests skip those cases when TRAKX_SMALL_DISK is not set.
trakx_mount_small_disk() {
  local dir="$TRAKX_BUILD/smalldisk"
  mkdir -p "$dir"
  if mountpoint -q "$dir" || mount -t tmpfs -o size=320k tmpfs "$dir" 2>/dev/null; then
    export TRAKX_SMALL_DISK="Z:$dir"
    TRAKX_SMALL_DISK_DIR="$dir"
  fi
}

trakx_stop_session() {
  if [ -n "${TRAKX_SMALL_DISK_DIR:-}" ]; then umount "$TRAKX_SMALL_DISK_DIR" 2>/dev/null || true; fi
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${TRAKX_XVFB_PID:-}" ]; then kill "$TRAKX_XVFB_PID" 2>/dev/null || true; fi
}
