#!/usr/bin/env bash
# Makes the release package build/trakx-<version>-win32.zip: one folder
# trakx-<version>-win32/ holding TRAKX.dll, the reference host, the test library the
# examples call, the docs with their pictures, the examples, README.md, LICENSE,
# CHANGELOG.md and SHA256SUMS (the checksums of all the others).
#
# Packaging one commit twice gives the same bytes: every entry carries the commit's
# time (SOURCE_DATE_EPOCH when set), fixed permissions and no owner, the entries go
# in sorted order, and the build itself writes no link time into the programs.
#
# usage: scripts/package.sh [--tour]
#   --tour  then unpacks the zip into build/unpacked and runs, from there alone, the
#           host's --version and every example script, each in an empty folder under
#           build/run-package (in the emulator where this machine cannot run 32-bit
#           programs). A file missing from the package fails the run.
set -euo pipefail
source "$(dirname "$0")/env.sh"
tour=false
for arg in "$@"; do
  case "$arg" in
    --tour) tour=true ;;
    *) echo "usage: scripts/package.sh [--tour]" >&2; exit 2 ;;
  esac
done

# The version, as CMake made it from project() into the build's header.
trakx_version() {
  sed -n 's/^#define TRAKX_VERSION_TEXT "\(.*\)"$/\1/p' "$TRAKX_BUILD/generated/trakx_version.h"
}

# Stops packaging with a message.
package_fail() {
  echo "package: $*" >&2
  exit 1
}

# The version resource of the built DLL, read back from the file itself, must carry
# the project's version in its numbers and both version texts.
check_resource_version() {
  local dll=$1 version=$2 rc numbers
  rc=$(i686-w64-mingw32-windres -i "$dll" -O rc) || package_fail "cannot read the resources of $dll"
  numbers="${version//./, }, 0"
  grep -q "^ FILEVERSION $numbers\$" <<<"$rc" || package_fail "$dll: FILEVERSION is not $numbers"
  grep -q "^ PRODUCTVERSION $numbers\$" <<<"$rc" || package_fail "$dll: PRODUCTVERSION is not $numbers"
  grep -q "VALUE \"FileVersion\", \"$version\"\$" <<<"$rc" || package_fail "$dll: FileVersion is not $version"
  grep -q "VALUE \"ProductVersion\", \"$version\"\$" <<<"$rc" || package_fail "$dll: ProductVersion is not $version"
}

# Copies the package's files into $1 and gives them fixed permissions and times.
stage() {
  local top=$1 epoch=$2 bin="$TRAKX_BUILD/bin"
  rm -rf "$top"
  mkdir -p "$top/docs" "$top/examples"
  cp "$bin/TRAKX.dll" "$bin/trakx-host.exe" "$bin/trakx-testlib.dll" "$top/"
  cp "$TRAKX_ROOT/README.md" "$TRAKX_ROOT/LICENSE" "$TRAKX_ROOT/CHANGELOG.md" "$top/"
  cp "$TRAKX_ROOT"/docs/*.md "$TRAKX_ROOT"/docs/*.png "$top/docs/"
  cp "$TRAKX_ROOT"/examples/*.trx "$top/examples/"
  (cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum) \
    > "$top/SHA256SUMS"
  find "$top" -type d -exec chmod 755 {} +
  find "$top" -type f -exec chmod 644 {} +
  chmod 755 "$top"/*.exe "$top"/*.dll
  find "$top" -exec touch -h -d "@$epoch" {} +
}

# Every relative link in the packaged Markdown names a file of the package.
check_links() {
  local top=$1 md target missing=0
  while IFS= read -r md; do
    while IFS= read -r target; do
      case "$target" in http://* | https://* | mailto:* | '#'*) continue ;; esac
      target=${target%%#*}
      if [ ! -e "$(dirname "$md")/$target" ]; then
        echo "package: ${md#"$top"/} links to $target, which the package does not hold" >&2
        missing=1
      fi
    done < <(grep -o '](\([^)]*\))' "$md" | sed 's/^](\(.*\))$/\1/')
  done < <(find "$top" -name '*.md')
  [ "$missing" -eq 0 ] || package_fail "links to files outside the package"
}

if [ -z "${TRAKX_IN_GUEST:-}" ]; then
  "$TRAKX_ROOT/scripts/setup.sh"
  trakx_build TRAKX trakx-host trakx-testlib
  version=$(trakx_version)
  [ -n "$version" ] || package_fail "no version in $TRAKX_BUILD/generated/trakx_version.h"
  check_resource_version "$TRAKX_BUILD/bin/TRAKX.dll" "$version"
  grep -q "^## \[$version\]" "$TRAKX_ROOT/CHANGELOG.md" ||
    package_fail "CHANGELOG.md has no section \"## [$version]\" for the version CMakeLists.txt sets"

  # The commit's time, or the earliest a zip can hold when there is no commit.
  epoch=${SOURCE_DATE_EPOCH:-$(git -C "$TRAKX_ROOT" log -1 --format=%ct 2>/dev/null || echo 315532800)}
  if [ -n "$(git -C "$TRAKX_ROOT" status --porcelain 2>/dev/null)" ]; then
    echo "package: note: the work tree has uncommitted changes; they are packaged too" >&2
  fi
  name="trakx-$version-win32"
  zip="$TRAKX_BUILD/$name.zip"
  staging="$TRAKX_BUILD/package"
  stage "$staging/$name" "$epoch"
  check_links "$staging/$name"
  # zip adds to an archive that exists; -X leaves out owners and extra times, -D the
  # folders' own entries; DOS times are local times, so the zone is fixed.
  rm -f "$zip"
  (cd "$staging" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -9 -q "$zip" -@)
  (cd "$TRAKX_BUILD" && TZ=UTC unzip -l "$name.zip")
  echo "sha256: $(sha256sum < "$zip" | cut -d' ' -f1)  $name.zip"

  $tour || exit 0
  rm -rf "$TRAKX_BUILD/unpacked"
  mkdir -p "$TRAKX_BUILD/unpacked"
  unzip -q "$zip" -d "$TRAKX_BUILD/unpacked"
  if ! trakx_native_32bit; then
    trakx_emu_announce
    rc=0
    trakx_emu_run "$TRAKX_ROOT/scripts/package.sh" "$@" || rc=$?
    exit "$rc"
  fi
fi

# From here on only the unpacked package is used: its host, its DLLs, its examples.
version=$(trakx_version)
top="$TRAKX_BUILD/unpacked/trakx-$version-win32"
trap trakx_stop_session EXIT
trakx_start_session
(cd "$top" && sha256sum --quiet -c SHA256SUMS) || package_fail "the unpacked files do not match SHA256SUMS"
versions=$(wine "$top/trakx-host.exe" --version | tr -d '\r')
echo "$versions"
[ "$versions" = "trakx-host $version"$'\n'"TRAKX.dll $version" ] ||
  package_fail "the unpacked host and library do not both say version $version"
for script in "$top"/examples/*.trx; do
  name=$(basename "$script" .trx)
  workdir="$TRAKX_BUILD/run-package/$name"
  rm -rf "$workdir"
  mkdir -p "$workdir"
  echo "--- examples/$name.trx from the package"
  (cd "$workdir" && wine "$top/trakx-host.exe" -q "Z:$script") || package_fail "examples/$name.trx failed from the package"
done
echo "package: every example ran from the unpacked trakx-$version-win32.zip"
