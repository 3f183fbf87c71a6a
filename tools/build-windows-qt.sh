#!/usr/bin/env bash
# Builds Qt (Core, Gui, Widgets, Test) for Windows with mingw-w64 from
# Debian's own qt6-base source, once: the result is kept in a cache folder
# outside the clone, named by Qt's version, and reused while it is there.
# Prints the install prefix on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
cache=${TARNWICK_CACHE:-$HOME/.cache/tts-tarnwick}
version=$(dpkg-query -W -f='${Version}' qt6-base-dev | sed 's/+.*//; s/-.*//')
prefix=$cache/qt-$version-mingw-w64
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

src=$cache/src
if ! ls -d "$src"/qt6-base-"$version"*/ >/dev/null 2>&1; then
  tools/enable-deb-src.sh
  mkdir -p "$src"
  (cd "$src" && apt-get source -qq "qt6-base=$(dpkg-query -W -f='${Version}' qt6-base-dev)" >/dev/null)
fi
source_dir=$(find "$src" -maxdepth 1 -type d -name "qt6-base-$version*" | sort | head -n 1)
[ -n "$source_dir" ] || { echo "Qt's source for $version was not unpacked in $src" >&2; exit 1; }

# An interrupted build goes on where it stopped.
build=$cache/qt-$version-mingw-w64-build
rm -rf "$prefix"
echo "Building Qt $version for Windows (once; about half an hour on two cores)..." >&2
cmake -S "$source_dir" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DBUILD_WITH_PCH=OFF \
  -DFEATURE_opengl=OFF -DINPUT_opengl=no \
  `# Debian's source leaves out the Wintab header, and tablets are no concern here` \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_libpng=OFF \
  -DFEATURE_system_libjpeg=OFF -DFEATURE_system_doubleconversion=OFF -DFEATURE_icu=OFF \
  -DFEATURE_tabletevent=OFF >"$build.log" 2>&1 ||
  { tail -n 40 "$build.log" >&2; exit 1; }
cmake --build "$build" --parallel "$(nproc)" >>"$build.log" 2>&1 || { tail -n 40 "$build.log" >&2; exit 1; }
cmake --install "$build" >>"$build.log" 2>&1
# Wine drops QT_* variables and has no fonts of Qt's: give the offscreen
# platform, which the tests use, a font of its own.
mkdir -p "$prefix/lib/fonts"
cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "$prefix/lib/fonts/"
touch "$prefix/.complete"
rm -rf "$build"
echo "$prefix"
