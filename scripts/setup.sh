#!/usr/bin/env bash
# Installs what the build and the tests need, only when something is missing.
set -euo pipefail

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

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
