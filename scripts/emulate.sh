# Sourced by env.sh and setup.sh. Wine runs 32-bit programs, which a kernel built
# without IA-32 support cannot start ("Exec format error"). On such a machine the
# scripts build here as usual (the cross-compiler is a 64-bit program) and run their
# 32-bit part in a qemu-system-x86_64 guest in software emulation (TCG, so no KVM is
# needed), booting Debian's stock 64-bit kernel, which has IA-32 support on. The
# guest uses this machine's own root file system, read-only over virtio-9p under a
# RAM overlay, so nothing is installed in it; the build directory is shared writable
# at its own path, and the Wine prefix lives on an ext4 disk image kept in the cache
# (creating a prefix on 9p takes minutes). The guest's first process is
# emulate-init.sh. TRAKX_EMULATE=1 forces this path on any machine.

TRAKX_EMU_CACHE="${TRAKX_EMU_CACHE:-$HOME/.cache/trakx-emu}"
# When the command began: set-up steps say how long it has been going (the guest
# gets this with the rest of the environment).
export TRAKX_STARTED_AT="${TRAKX_STARTED_AT:-$(date +%s)}"

# One line of set-up progress on standard error, with the time since the start.
trakx_step() {
  local s=$(( $(date +%s) - TRAKX_STARTED_AT ))
  printf 'setup %d:%02d: %s\n' $((s / 60)) $((s % 60)) "$*" >&2
}
# Seconds the guest may take to boot, and to do the whole work.
TRAKX_EMU_BOOT_LIMIT=120
TRAKX_EMULATE_TIMEOUT="${TRAKX_EMULATE_TIMEOUT:-3600}"
# What the guest loads before it can mount its file systems (with their dependencies).
TRAKX_EMU_MODULES=(virtio_pci virtio_blk 9pnet_virtio 9p overlay crc32c_generic ext4)

# True when this machine runs 32-bit programs itself and emulation is not forced.
trakx_native_32bit() {
  [ "${TRAKX_EMULATE:-0}" != 1 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# Fetches the kernel package once (apt-get download, unpacked, not installed) and
# makes the part of the initramfs that does not change: busybox and the modules.
trakx_emu_kernel() {
  local dir="$TRAKX_EMU_CACHE/kernel"
  [ -f "$dir/vmlinuz" ] && [ -f "$dir/modules.cpio.gz" ] && return 0
  trakx_step "fetching the emulator's kernel into $dir (once; about 10 s)"
  local pkg tmp version m line files=()
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  [ -n "$pkg" ] || { echo "setup: no linux-image-amd64 package to fetch the emulator's kernel from" >&2; return 1; }
  tmp=$(mktemp -d)
  # apt-get download warns when its sandbox user cannot write the folder.
  if ! (cd "$tmp" && apt-get download "$pkg" >/dev/null 2>&1); then
    rm -rf "$tmp"; echo "setup: could not download $pkg" >&2; return 1
  fi
  dpkg-deb -x "$tmp"/*.deb "$tmp/pkg"
  version=$(ls "$tmp/pkg/lib/modules")
  # The package has no modules.dep (depmod makes it at install); each of its lines
  # lists a module's dependencies in load order.
  busybox depmod -b "$tmp/pkg" "$version"
  mkdir -p "$tmp/initrd/bin" "$tmp/initrd/lib/modules/$version"
  for m in "${TRAKX_EMU_MODULES[@]}"; do
    line=$(grep -E "(^|/)$m\.ko:" "$tmp/pkg/lib/modules/$version/modules.dep")
    files+=(${line/:/})
  done
  for m in $(printf '%s\n' "${files[@]}" | sort -u); do
    mkdir -p "$tmp/initrd/lib/modules/$version/$(dirname "$m")"
    cp "$tmp/pkg/lib/modules/$version/$m" "$tmp/initrd/lib/modules/$version/$m"
    grep -E "^$m:" "$tmp/pkg/lib/modules/$version/modules.dep" >> "$tmp/initrd/lib/modules/$version/modules.dep"
  done
  cp /bin/busybox "$tmp/initrd/bin/busybox"
  mkdir -p "$dir"
  (cd "$tmp/initrd" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null | gzip -1) > "$dir/modules.cpio.gz.tmp"
  cp "$tmp/pkg/boot/vmlinuz-$version" "$dir/vmlinuz"
  mv "$dir/modules.cpio.gz.tmp" "$dir/modules.cpio.gz"
  rm -rf "$tmp"
}

# The disk image for the guest's Wine prefix: made empty once, the prefix itself is
# created on it by the first run and kept for later ones.
trakx_emu_disk() {
  local image="$TRAKX_EMU_CACHE/prefix.ext4"
  [ -f "$image" ] && return 0
  mkdir -p "$TRAKX_EMU_CACHE"
  rm -f "$image.tmp"
  truncate -s 4G "$image.tmp"
  PATH="$PATH:/usr/sbin:/sbin" mkfs.ext4 -q -F -L trakx-prefix "$image.tmp"
  mv "$image.tmp" "$image"
}

# The emulator's guest gets the build folder's path on its kernel command line and
# qemu gets it, and the cache's, inside its option strings: there a blank ends the
# parameter and a comma the option. Such paths are refused with a message saying
# which to change, before anything runs.
trakx_emu_check_paths() {
  local name path
  for name in TRAKX_BUILD TRAKX_EMU_CACHE; do
    path=${!name}
    case "$path" in
      *[[:space:],\"\'\\]*|*[[:cntrl:]]*)
        echo "trakx: the emulator cannot use $name=$path: its path holds a blank, comma, quote, backslash or control character, which the guest's kernel command line and qemu's options cannot carry; set $name to a folder without them" >&2
        return 1 ;;
    esac
  done
}

# The one line that says why and at what cost the run goes on in the emulator.
trakx_emu_announce() {
  local why="this machine cannot run 32-bit programs (the i386 loader /lib/ld-linux.so.2 does not start)"
  [ "${TRAKX_EMULATE:-0}" != 1 ] || why="TRAKX_EMULATE=1"
  echo "trakx: $why: running the 32-bit part in a full-system emulator (qemu, software emulation), many times slower than native" >&2
}

# Runs a command in the guest, in this folder and this environment, with its standard
# output and error on ours, and answers its exit code. Ends a guest that does not
# boot or does not finish in time, with the tail of its console.
trakx_emu_run() {
  local job="$TRAKX_BUILD/emulator" lock name pid rc start up=false
  trakx_emu_check_paths || return 1
  # One guest at a time makes and writes the prefix disk; the lock also keeps a
  # second run on this build folder from removing the files of the run in progress.
  mkdir -p "$TRAKX_EMU_CACHE" "$job"
  exec {lock}>"$TRAKX_EMU_CACHE/prefix.lock"
  if ! flock -n "$lock"; then
    echo "trakx: waiting for another emulated run to finish with $TRAKX_EMU_CACHE" >&2
    flock "$lock"
  fi
  rm -f "$job/status" "$job/console.log"
  trakx_emu_disk
  # The job carries this environment, so only its owner reads it, and only while it runs.
  rm -f "$job/job.sh"
  (umask 077; : > "$job/job.sh")
  {
    for name in $(compgen -e); do
      case "$name" in
        PWD|OLDPWD|SHLVL|_|DISPLAY|XAUTHORITY|XDG_*|DBUS_*|SSH_*|WINEPREFIX|TMPDIR) continue ;;
      esac
      printf 'export %s=%q\n' "$name" "${!name}"
    done
    echo "export TRAKX_IN_GUEST=1 TRAKX_WINEPREFIX=/run/trakx-prefix/wine"
    printf 'cd %q\n' "$PWD"
    printf '%q ' "$@"; echo
  } > "$job/job.sh"
  # The initramfs: the cached modules, then the init script (the kernel unpacks both).
  local tmp; tmp=$(mktemp -d)
  cp "$TRAKX_ROOT/scripts/emulate-init.sh" "$tmp/init"
  chmod 755 "$tmp/init"
  { cat "$TRAKX_EMU_CACHE/kernel/modules.cpio.gz"
    (cd "$tmp" && echo init | busybox cpio -o -H newc -R 0:0 2>/dev/null | gzip -1); } > "$job/initrd.img"
  rm -rf "$tmp"

  # Serial ports: the guest's console to a file, then the work's output and error
  # through pipes copied onto ours (qemu reopening our own would write at its own
  # offset in a file that we write to afterwards).
  rm -f "$job/stdout" "$job/stderr"
  trakx_step "starting the emulator's guest (it boots in about 20 s, more on a busy machine)"
  mkfifo "$job/stdout" "$job/stderr"
  cat "$job/stdout" &
  local copy_out=$!
  cat "$job/stderr" >&2 &
  local copy_err=$!
  qemu-system-x86_64 -nodefaults -no-user-config -display none -no-reboot \
    -accel tcg -cpu max,-smap -smp "$(nproc)" -m 4096 \
    -kernel "$TRAKX_EMU_CACHE/kernel/vmlinuz" -initrd "$job/initrd.img" \
    -append "console=ttyS0 panic=-1 TRAKX_OUT=$TRAKX_BUILD" \
    -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=root,mount_tag=root \
    -fsdev "local,id=out,path=$TRAKX_BUILD,security_model=none,multidevs=remap" \
    -device virtio-9p-pci,fsdev=out,mount_tag=out \
    -drive "file=$TRAKX_EMU_CACHE/prefix.ext4,format=raw,if=virtio" \
    -chardev "file,id=console,path=$job/console.log" -serial chardev:console \
    -chardev "file,id=stdout,path=$job/stdout" -serial chardev:stdout \
    -chardev "file,id=stderr,path=$job/stderr" -serial chardev:stderr \
    </dev/null &
  pid=$!
  trap 'kill $pid $copy_out $copy_err 2>/dev/null; rm -f "$job/job.sh"; exit 130' INT TERM
  start=$SECONDS
  local failure=""
  while kill -0 "$pid" 2>/dev/null; do
    if ! $up && grep -q '^trakx-guest: up' "$job/console.log" 2>/dev/null; then up=true; fi
    if ! $up && [ $((SECONDS - start)) -ge "$TRAKX_EMU_BOOT_LIMIT" ]; then
      failure="did not boot within $TRAKX_EMU_BOOT_LIMIT s"
    elif [ $((SECONDS - start)) -ge "$TRAKX_EMULATE_TIMEOUT" ]; then
      failure="did not finish within $TRAKX_EMULATE_TIMEOUT s (TRAKX_EMULATE_TIMEOUT)"
    fi
    if [ -n "$failure" ]; then kill "$pid" 2>/dev/null; break; fi
    sleep 1
  done
  wait "$pid" 2>/dev/null || true
  # Opening a pipe both ways never blocks, and ends a copy still waiting for qemu.
  local pipe fd
  for pipe in stdout stderr; do exec {fd}<>"$job/$pipe"; exec {fd}>&-; done
  wait "$copy_out" "$copy_err" 2>/dev/null || true
  trap - INT TERM
  exec {lock}>&-
  rm -f "$job/job.sh"
  # The last line of every run, after the work's own output: how close it came to its limit.
  local took="trakx: the emulated run took $((SECONDS - start)) s of its $TRAKX_EMULATE_TIMEOUT s (TRAKX_EMULATE_TIMEOUT)"
  if [ -z "$failure" ] && [ -f "$job/status" ]; then
    rc=$(cat "$job/status")
    echo "$took" >&2
    return "$rc"
  fi
  [ -n "$failure" ] || failure="stopped before the work finished"
  echo "trakx: the emulator's guest $failure; the end of its console ($job/console.log):" >&2
  tail -n 40 "$job/console.log" >&2 2>/dev/null
  echo "$took" >&2
  return 1
}
