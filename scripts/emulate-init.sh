#!/bin/busybox sh
# The first process of the emulator's guest (see emulate.sh), run by busybox from the
# initramfs. It mounts the host's root read-only under a RAM overlay (where all
# writes but those below are kept, then dropped at power-off), the build
# directory (share "out") writable at its own path, and the Wine prefix disk; runs
# build/emulator/job.sh there with its output and error on the second and third
# serial ports; writes its exit code to build/emulator/status and powers off.
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

stop() {
  echo "trakx-guest: $*"
  sync
  poweroff -f
}

# The initramfs holds only the modules needed here (see TRAKX_EMU_MODULES).
modprobe -a $(sed 's/:.*//; s|.*/||; s/\.ko$//' /lib/modules/*/modules.dep) || stop "cannot load the modules"
nine="trans=virtio,version=9p2000.L,msize=262144,cache=loose"
R=/newroot
mkdir -p /lower /ram $R
mount -t 9p -o "ro,$nine" root /lower || stop "cannot mount the host's root"
mount -t tmpfs -o mode=0755 ram /ram
mkdir /ram/upper /ram/work
mount -t overlay -o lowerdir=/lower,upperdir=/ram/upper,workdir=/ram/work overlay $R || stop "cannot mount the overlay"
mount -t proc proc $R/proc
mount -t sysfs sysfs $R/sys
mount -t devtmpfs devtmpfs $R/dev
mkdir -p $R/dev/pts $R/dev/shm
# The links a booted system's /dev has: bash's process substitution reads /dev/fd/N.
ln -sf /proc/self/fd $R/dev/fd
ln -sf /proc/self/fd/0 $R/dev/stdin
ln -sf /proc/self/fd/1 $R/dev/stdout
ln -sf /proc/self/fd/2 $R/dev/stderr
mount -t devpts devpts $R/dev/pts
mount -t tmpfs -o mode=1777 shm $R/dev/shm
# /tmp stays the overlay's, so that files the user keeps there are seen, less this
# machine's X server and Wine server sockets and locks, which would clash.
rm -rf $R/tmp/.X11-unix $R/tmp/.X*-lock $R/tmp/.wine-*
mount -t tmpfs -o mode=0755 run $R/run
mount -t 9p -o "$nine" out "$R$TRAKX_OUT" || stop "cannot mount the build directory $TRAKX_OUT"
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -b /dev/vda ] && break; sleep 0.2; done
mkdir -p $R/run/trakx-prefix
mount -t ext4 /dev/vda $R/run/trakx-prefix || stop "cannot mount the Wine prefix disk"
ip link set lo up

# The work's output goes through pipes, as on a native run, and then to the serial
# ports untranslated (no CR before each LF).
stty -F /dev/ttyS1 raw -echo
stty -F /dev/ttyS2 raw -echo
mkfifo /stdout /stderr
cat /stdout > /dev/ttyS1 &
out=$!
cat /stderr > /dev/ttyS2 &
err=$!
echo "trakx-guest: up after $(cut -d" " -f1 /proc/uptime) s"
chroot $R /bin/bash "$TRAKX_OUT/emulator/job.sh" < /dev/null > /stdout 2> /stderr &
wait $!
rc=$?
# Whatever the work left running (a server, a service) would keep the pipes open.
for p in /proc/[0-9]*; do
  p=${p#/proc/}
  case " 1 $out $err " in *" $p "*) continue ;; esac
  kill -9 "$p" 2>/dev/null
done
wait $out $err
echo "$rc" > "$R$TRAKX_OUT/emulator/status"
sync
umount $R/run/trakx-prefix
umount "$R$TRAKX_OUT"
echo "trakx-guest: work ended with exit code $rc"
poweroff -f
