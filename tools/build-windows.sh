#!/usr/bin/env bash
# Builds TTS_Tarnwick for Windows here: Qt for Windows once from Debian's
# source (tools/build-windows-qt.sh), then the engine, the program, the
# command line and the test suites with mingw-w64; runs the engine and window
# suites under Wine on a virtual display; packs the portable zip and the
# setup (NSIS) from the same files, smoke-tests the zip and proves the setup
# under Wine. Both land in build-windows/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/version.sh
project=$PWD

tools/install-deps.sh build windows
cache=${TARNWICK_CACHE:-$HOME/.cache/tts-tarnwick}
qt=$(tools/build-windows-qt.sh | tail -n 1)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
build="build-windows"

# CLI11 and xxHash are header-only: copies of their headers, away from the
# host's others.
mkdir -p "$build/cli11/include" "$build/xxhash/include" "$build/json/include"
cp -r /usr/include/CLI "$build/cli11/include/"
cp /usr/include/xxhash.h "$build/xxhash/include/"
cp -r /usr/include/nlohmann "$build/json/include/"

echo "== Windows build"
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$qt" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$multiarch/cmake" \
  -DTARNWICK_GTEST_SOURCE=/usr/src/googletest \
  -DTARNWICK_CLI11_INCLUDE_DIR="$project/$build/cli11/include" \
  -DTARNWICK_XXHASH_INCLUDE_DIR="$project/$build/xxhash/include" \
  -DTARNWICK_JSON_INCLUDE_DIR="$project/$build/json/include" \
  -DTARNWICK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
# The version as the build wrote it into its header, for the zip's name.
version=$(project_version)

# The mingw runtime the executables and Qt need, found where Debian puts it.
runtime=()
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  found=$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")
  [ -f "$found" ] || found=$(find /usr/lib/gcc/x86_64-w64-mingw32 /usr/x86_64-w64-mingw32 -name "$dll" -path '*posix*' 2>/dev/null | head -n 1)
  [ -f "$found" ] || found=$(find /usr/lib/gcc/x86_64-w64-mingw32 /usr/x86_64-w64-mingw32 -name "$dll" 2>/dev/null | head -n 1)
  [ -f "$found" ] || { echo "cannot find $dll" >&2; exit 1; }
  runtime+=("$found")
done

# Wine: a prefix of the project's own, without the prompts to install Mono and Gecko.
export WINEPREFIX=$cache/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPATH=$(winepath -w "$qt/bin" 2>/dev/null || printf 'Z:%s\\bin' "${qt//\//\\}")
export WINEPATH
# Made once, and kept as it is before anything runs in it: the setup's test
# starts from a copy, a machine that never saw the program.
export TARNWICK_WINE_FRESH=$cache/wine-fresh
if [ ! -f "$TARNWICK_WINE_FRESH/system.reg" ]; then
  echo "Preparing a Wine prefix (once)..."
  rm -rf "$TARNWICK_WINE_FRESH"
  WINEPREFIX=$TARNWICK_WINE_FRESH wineboot --init >/dev/null 2>&1 || true
  WINEPREFIX=$TARNWICK_WINE_FRESH wineserver --wait || true
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  rm -rf "$WINEPREFIX"
  cp -a "$TARNWICK_WINE_FRESH" "$WINEPREFIX"
fi
for dll in "${runtime[@]}"; do
  cp "$dll" "$build/tests/"
  cp "$dll" "$build/tests/ui/"
done

results=$(mktemp)
trap 'rm -f "$results"; wineserver -k 2>/dev/null || true' EXIT
failed=0
run_suite() {  # NAME EXE ARGS...
  local name=$1
  shift
  echo "-- $name under Wine"
  rm -f "$build/$name.log" "$build/$name.out"
  local status=0
  xvfb-run -a -s "-screen 0 1280x1024x24" wine "$@" >"$build/$name.out" 2>&1 || status=$?
  wineserver -k 2>/dev/null || true  # its display is gone
  # GoogleTest reports on standard output, Qt Test into its log.
  local report=$build/$name.out
  [ -s "$build/$name.log" ] && report=$build/$name.log
  if [ "$status" -eq 0 ]; then
    echo "$name passed" | tee -a "$results"
    tr -d '\r' <"$report" | grep -E '^(\[  PASSED|\[  SKIPPED|Totals)' || tail -n 3 "$report"
  else
    echo "$name FAILED; its log follows:"
    grep -vE '^(PASS|QWARN)' "$report" | tail -n 60
    failed=$((failed + 1))
  fi
}
run_suite engine_tests "$build/tests/engine_tests.exe" --gtest_color=no
# Qt Test's own output does not reach Wine's standard output: it goes to the log.
for suite in main_window_test several_voices_test about_window_test platform_services_test; do
  run_suite "$suite" "$build/tests/ui/$suite.exe" -platform offscreen -o "$project/$build/$suite.log,txt"
done
# The window's fit on Windows' own platform, where menus and frames are sized
# as on a real desktop.
run_suite window_fit_test "$build/tests/ui/window_fit_test.exe" -o "$project/$build/window_fit_test.log,txt"
[ "$failed" -eq 0 ] || { echo "$failed Windows suites failed"; exit 1; }

echo "== Portable zip"
name=tts-tarnwick-$version-windows-x64
stage=$build/package/$name
rm -rf "$build/package"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/licences"
cp "$build/ui/tts-tarnwick.exe" "$build/cli/tts-tarnwick-cli.exe" "$stage/"
for module in Core Gui Widgets; do cp "$qt/bin/Qt6$module.dll" "$stage/"; done
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
cp "${runtime[@]}" "$stage/"
qt_source=$(find "$cache/src" -maxdepth 1 -type d -name 'qt6-base-*' | sort | head -n 1)
[ -n "$qt_source" ] || { echo "Qt's source is missing from $cache/src" >&2; exit 1; }
cp "$qt_source/LICENSES/LGPL-3.0-only.txt" "$stage/licences/Qt-LGPL-3.0-only.txt"
cp "$qt_source/LICENSES/GPL-3.0-only.txt" "$stage/licences/Qt-GPL-3.0-only.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/mingw-w64-gcc-runtime.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$stage/licences/mingw-w64-winpthreads.txt"
sed 's/$/\r/' tools/windows/README-windows.txt >"$stage/README.txt"
# Every file dated by the sources and stored in name order, without the
# owner's ids: the same sources give the same zip, and the same setup.
epoch=$(source_date_epoch)
find "$stage" -exec touch -h -d "@$epoch" {} +
rm -f "$build/$name.zip"
(cd "$build/package" && find "$name" | LC_ALL=C sort | TZ=UTC zip -qX -@ "../$name.zip")
echo "$build/$name.zip: $(du -h "$build/$name.zip" | cut -f1)"

echo "== Smoke test of the zip under Wine"
# The Linux command line is the reference, and makes the demo voice.
host=build
if [ ! -f "$host/CMakeCache.txt" ]; then
  host="build-host"
  cmake -S . -B "$host" -G Ninja -DTARNWICK_BUILD_UI=OFF -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$host" --target tts-tarnwick-cli make-demo-voice >/dev/null
tools/windows/smoke-test.sh "$build/$name.zip" "$name" "$host" "$version"

echo "== Setup"
setup=$(tools/windows/make-setup.sh "$stage" "$version" "$build/$name-setup.exe" | tail -n 1)
echo "$setup: $(du -h "$setup" | cut -f1)"
tools/windows/test-setup.sh "$setup" "$stage" "$host" "$version" | tee "$build/setup-test.out"
echo "Windows: $(wc -l <"$results") suites passed, the zip built and smoke-tested, the setup built and proven ($(sed -n 's/^Windows setup: \([0-9]*\) checks passed$/\1/p' "$build/setup-test.out") checks)"
