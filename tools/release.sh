#!/usr/bin/env bash
# Builds everything users download into dist/, each piece proven by its own
# script before it is kept: the Debian package (installed, used and purged in
# a clean Debian 12), the Windows zip and setup (tested, installed and
# uninstalled under Wine), the browser site as a tarball; then SHA256SUMS.
# Usage: tools/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/version.sh
project=$PWD
dist=$project/dist

[ -z "$(git status --porcelain 2>/dev/null)" ] ||
  echo "warning: the work tree has changes that are not committed; they go into this release" >&2
version=$(project_version)
[ -n "$version" ] || { echo "cannot read the version from CMakeLists.txt" >&2; exit 1; }
rm -rf "$dist"
mkdir -p "$dist"
# Every archive is dated by the sources, not by the day it is built.
SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH

deb=$(tools/test-deb.sh | tail -n 1)
cp "$deb" "$dist/"

tools/build-windows.sh
cp "build-windows/tts-tarnwick-$version-windows-x64.zip" "build-windows/tts-tarnwick-$version-windows-x64-setup.exe" "$dist/"

echo "== Browser site"
tools/build-web.sh
# Sorted, owned by nobody in particular and dated by the sources, so that
# the same sources give the same tarball.
site=tts-tarnwick-$version-web
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
    --transform "s|^site|$site|" -C build-web -cf - site | gzip -9n >"$dist/$site.tar.gz"

echo "== Checksums"
(cd "$dist" && sha256sum -- * >SHA256SUMS && sha256sum --quiet -c SHA256SUMS)
files=("$dist"/*)
du -h "${files[@]}"
echo "Release $version in dist/: $((${#files[@]} - 1)) files and SHA256SUMS, checked"
