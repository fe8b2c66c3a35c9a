#!/usr/bin/env bash
# Installs what the build and the tests need, only when something is missing; where
# 32-bit programs cannot run here (or TRAKX_EMULATE=1), also the emulator and the
# kernel its guest boots (see emulate.sh).
set -euo pipefail
source "$(dirname "$0")/emulate.sh"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
install_packages() {
  trakx_step "installing packages (once): $*"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686)
command -v wine >/dev/null || need+=(wine)
dpkg -s wine32 >/dev/null 2>&1 || need+=(wine32)
command -v Xvfb >/dev/null || need+=(xvfb xauth)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# The Japanese locale's source, for the search tests under a double-byte code page.
[ -f /usr/share/i18n/locales/ja_JP ] || need+=(locales)
# Fonts the drawing tests and the example scene name.
[ -f /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf ] || need+=(fonts-dejavu-core)
command -v bc >/dev/null || need+=(bc)  # the benchmark's arithmetic
command -v python3 >/dev/null || need+=(python3)  # the generator of the constants table
command -v zip >/dev/null || need+=(zip)  # the release package (package.sh)
command -v unzip >/dev/null || need+=(unzip)
[ ${#need[@]} -eq 0 ] || install_packages "${need[@]}"

if ! trakx_native_32bit; then
  need=()
  command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
  dpkg -s busybox-static >/dev/null 2>&1 || need+=(busybox-static)
  PATH="$PATH:/usr/sbin:/sbin" command -v mkfs.ext4 >/dev/null || need+=(e2fsprogs)
  [ ${#need[@]} -eq 0 ] || install_packages "${need[@]}"
  if ! trakx_emu_kernel; then
    # Package lists too old or missing: refresh them once.
    $SUDO apt-get update -qq >/dev/null
    trakx_emu_kernel
  fi
fi
