#!/usr/bin/env bash
# Builds the part of Qt for Windows that the window, the About window and
# their tests use (Core, Gui, Widgets, Test; the Windows and offscreen
# platforms, the Windows styles, PNG) with mingw-w64 from Debian's own
# qt6-base source, once: the result is kept in a cache folder outside the
# clone, named by Qt's version and by what it was configured with, and reused
# while it is there. Prints the install prefix on its last line. With --fetch
# it only fetches the source (which waits on the network, so that the test
# command can do it beside work that waits on the processor).
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
cache=${TARNWICK_CACHE:-$HOME/.cache/tts-tarnwick}
version=$(dpkg-query -W -f='${Version}' qt6-base-dev | sed 's/+.*//; s/-.*//')

options=(
  -DCMAKE_BUILD_TYPE=Release
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF -DBUILD_WITH_PCH=OFF
  # Tools: a cross build runs the host's own (Debian's moc, rcc, uic).
  -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF -DFEATURE_windeployqt=OFF
  # Modules the program does not use.
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF
  # Debian's source leaves out the Wintab header, and tablets are no concern here.
  -DFEATURE_tabletevent=OFF
  # Image formats and graphics the windows never show: PNG (the icons) stays.
  # Direct 2D 1.1 only builds the Direct2D platform plugin, which nothing
  # loads; Direct 2D itself stays, since the Windows platform's DirectWrite
  # fonts are built only beside it.
  -DFEATURE_direct2d1_1=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_movie=OFF -DFEATURE_pdf=OFF
  # Widgets, dialogs and text formats no window uses.
  -DFEATURE_graphicsview=OFF -DFEATURE_mdiarea=OFF -DFEATURE_calendarwidget=OFF -DFEATURE_colordialog=OFF
  -DFEATURE_fontdialog=OFF -DFEATURE_wizard=OFF -DFEATURE_undoview=OFF -DFEATURE_undogroup=OFF -DFEATURE_undostack=OFF
  -DFEATURE_undocommand=OFF -DFEATURE_lcdnumber=OFF -DFEATURE_dial=OFF -DFEATURE_keysequenceedit=OFF
  -DFEATURE_splashscreen=OFF -DFEATURE_fontcombobox=OFF -DFEATURE_columnview=OFF -DFEATURE_datawidgetmapper=OFF
  -DFEATURE_systemtrayicon=OFF -DFEATURE_sessionmanager=OFF -DFEATURE_textodfwriter=OFF
  -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF
  # Bundled, not the host's: a cross build cannot link the host's.
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
  -DFEATURE_system_doubleconversion=OFF -DFEATURE_icu=OFF
  # Optimised for size, as Qt offers: its heaviest files compile 20-40% faster
  # (measured alone), its DLLs are about a tenth smaller, and the windows do
  # nothing that is costly.
  -DFEATURE_optimize_size=ON
  # Paths in the DLLs (the headers' names in Qt's checks) relative to the
  # cache, so that the same sources give the same DLLs in any cache folder.
  "-DCMAKE_C_FLAGS=-ffile-prefix-map=$cache/="
  "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$cache/="
)
# The build is named by what makes it: a change of options, toolchain or unity
# build is a new build (their contents, not the clone's path).
key=$(printf '%s\n' "${options[@]}" "$(cat cmake/mingw-w64-x86_64.cmake cmake/qt-windows-unity.cmake)" | sha256sum | cut -c1-10)
prefix=$cache/qt-$version-mingw-w64-$key
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
[ "${1:-}" = --fetch ] && exit 0
source_dir=$(find "$src" -maxdepth 1 -type d -name "qt6-base-$version*" | sort | head -n 1)
[ -n "$source_dir" ] || { echo "Qt's source for $version was not unpacked in $src" >&2; exit 1; }

# An interrupted build goes on where it stopped.
build=$prefix-build
rm -rf "$prefix"
echo "Building Qt $version for Windows (once; about ten minutes on two cores)..." >&2
cmake -S "$source_dir" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PROJECT_INCLUDE="$project/cmake/qt-windows-unity.cmake" \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
  "${options[@]}" >"$build.log" 2>&1 ||
  { tail -n 40 "$build.log" >&2; exit 1; }
cmake --build "$build" --parallel "$(nproc)" >>"$build.log" 2>&1 || { tail -n 40 "$build.log" >&2; exit 1; }
cmake --install "$build" >>"$build.log" 2>&1
# Wine drops QT_* variables and has no fonts of Qt's: give the offscreen
# platform, which the tests use, a font of its own.
mkdir -p "$prefix/lib/fonts"
cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "$prefix/lib/fonts/"
touch "$prefix/.complete"
# What each part of Qt cost, for whoever trims it further.
cp "$build/.ninja_log" "$prefix/ninja-log.txt"
rm -rf "$build"
echo "$prefix"
