#!/usr/bin/env bash
# Smoke test of the portable zip under Wine: unpacked into an empty folder,
# the command line reports and patches a demo voice exactly as the Linux
# build does, and the program starts with the voice open; a screenshot of its
# window is kept. Usage: smoke-test.sh ZIP FOLDER_IN_ZIP LINUX_BUILD_FOLDER VERSION
# (the Linux build makes the demo voice and the reference result)
set -euo pipefail
zip=$(realpath "$1")
name=$2
host=$(realpath "$3")
version=$4
cd "$(dirname "$0")/../.."
project=$PWD
out=$project/build-windows/smoke
rm -rf "$out"
mkdir -p "$out/unpacked"
unzip -q "$zip" -d "$out/unpacked"
app=$out/unpacked/$name

source tools/windows/wine-checks.sh
make_demo_voices "$out" "$host"

# No Qt or runtime from outside the zip may help it.
unset WINEPATH
cd "$out"
wine "$app/tts-tarnwick-cli.exe" status demo.vpm >status.txt
grep -q '^   1  English *ready *Change "St" to "Street" instead of "Saint"' status.txt ||
  { echo "status on Windows printed:"; cat status.txt; exit 1; }
wine "$app/tts-tarnwick-cli.exe" apply --all demo.vpm >apply.txt
grep -qx 'File patched successfully! Copy the VPM voice file back to your GSP.' <(tr -d '\r' <apply.txt) ||
  { echo "apply on Windows printed:"; cat apply.txt; exit 1; }
cmp demo.vpm linux.vpm || { echo "the Windows and Linux results differ"; exit 1; }
echo "command line: status and apply as on Linux, the same bytes"

# The program itself, on a virtual display, with the voice given as on a
# double click.
start_virtual_display
trap 'kill "$virtual_display_pid" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
wine "$app/tts-tarnwick.exe" window.vpm >program.log 2>&1 &
screenshot_main_window "$version" "$out/windows-main-window.png" ||
  { echo "the program's window did not appear"; cat program.log; exit 1; }
echo "program: started with the voice open; screenshot in $out/windows-main-window.png"
