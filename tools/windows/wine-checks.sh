# shellcheck shell=bash
# Shared by the Windows tests under Wine (sourced, not run).
set -euo pipefail
# shellcheck source=tools/lib/display.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/display.sh"

# Writes demo.vpm, window.vpm and, from demo.vpm, linux.vpm patched with every
# option by the Linux build's command line: the bytes Windows must give.
make_demo_voices() {  # FOLDER LINUX_BUILD_FOLDER
  "$2/tools/make-demo-voice" "$1/demo.vpm" >/dev/null
  cp "$1/demo.vpm" "$1/linux.vpm"
  cp "$1/demo.vpm" "$1/window.vpm"
  XDG_DATA_HOME=$1/linux-data "$2/cli/tts-tarnwick-cli" apply --all "$1/linux.vpm" >/dev/null
}

# A virtual display of its own, and a fresh Wine server for it: one left from
# earlier steps would keep the program's windows on its own display (or none).
# Sets DISPLAY and virtual_display_pid; the caller kills that process.
# shellcheck disable=SC2034 # used by the scripts that source this one
start_virtual_display() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  start_display 1280x1024
  virtual_display_pid=$display_pid
}

# Waits for the program's main window; once it shows, saves a screenshot of
# the display. Fails (status 1) when no such window appears within two minutes.
screenshot_main_window() {  # VERSION PNG
  local window
  window=$(wait_for_window "^TTS_Tarnwick v${1//./\\.}\$" 120 || true)
  [ -n "$window" ] || return 1
  sleep 1  # its first paint: X tells of the mapping, not of what was drawn
  import -window root "$2"
}
