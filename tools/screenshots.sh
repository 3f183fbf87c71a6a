#!/usr/bin/env bash
# Runs the real program under Xvfb and saves PNG screenshots: the main window
# at start, each of the five tabs after opening a demo voice, the open dialog
# and the About window; then the window with a voice open on a laptop's free
# area (1280x680) and on a 1400x1000 screen at 150 %, scrolled to its end.
# Usage: tools/screenshots.sh [OUTPUT_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-screenshots}")
mkdir -p "$out"

source tools/lib/display.sh
source tools/lib/version.sh

tools/install-deps.sh build screenshots
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

work=$(mktemp -d)
cleanup() {
  kill "${app:-}" 2>/dev/null || true
  stop_display
  rm -rf "$work"
}
trap cleanup EXIT
start_display 1280x1024

build-release/tools/make-demo-voice "$work/demo.vpm" >/dev/null
(cd "$work" && exec "$OLDPWD/build-release/ui/tts-tarnwick") &
app=$!

version=$(project_version)
title="^TTS_Tarnwick v${version//./\\.}\$"
main=$(wait_for_window "$title")
xdotool windowfocus --sync "$main"
sleep 0.5
import -window "$main" "$out/main-at-start.png"

# Open the demo voice through the real dialog: Open1 has the focus.
xdotool key --window "$main" space
dialog=$(wait_for_window '^Open Garmin TTS Voice File\.\.\.$')
sleep 0.5
import -window "$dialog" "$out/open-dialog.png"
xdotool type --delay 20 "demo.vpm"
xdotool key Return
sleep 0.5

# Tab moves the focus to the tab strip; the arrows then change the tab.
xdotool windowfocus --sync "$main"
xdotool key Tab Left
for tab in 1 2 3 4 5; do
  sleep 0.3
  import -window "$main" "$out/tab-$tab.png"
  xdotool key Right
done

eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 20)) $((Y + 10)) click 1
about=$(wait_for_window '^About TTSTarnwick$')
sleep 0.5
import -window "$about" "$out/about.png"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
stop_display

# The window on screens smaller than its layout, the voice given as on a double click.
small_screen() {  # NAME SIZE SCALE
  start_display "$2"
  (cd "$work" && QT_SCALE_FACTOR=$3 exec "$OLDPWD/build-release/ui/tts-tarnwick" demo.vpm) &
  app=$!
  main=$(wait_for_window "$title")
  sleep 0.5  # its first paint: X tells of the mapping, not of what was drawn
  import -window root "$out/$1.png"
  # Tab to "Patch & Save": the area scrolls it into view.
  xdotool windowfocus --sync "$main"
  xdotool key Tab Tab Tab Tab Tab Tab
  sleep 0.5
  import -window root "$out/$1-scrolled.png"
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
  stop_display
}
small_screen laptop-1280x680 1280x680 1
small_screen screen-1400x1000-at-150 1400x1000 1.5

# Several voices at once, as the file manager's "Open with" passes them:
# opened, option 1 ticked from the keyboard, then patched and saved.
several_voices() {  # NAME SIZE SCALE
  build-release/tools/make-demo-voice "$work/English.vpm" >/dev/null
  build-release/tools/make-demo-voice --rgn "$work/Karen & Lee.rgn" >/dev/null
  build-release/tools/make-demo-voice "$work/Julie & Felix.vpm" >/dev/null
  start_display "$2"
  (cd "$work" && XDG_DATA_HOME="$work/data" QT_SCALE_FACTOR=$3 exec "$OLDPWD/build-release/ui/tts-tarnwick" \
    English.vpm "Karen & Lee.rgn" "Julie & Felix.vpm") &
  app=$!
  several=$(wait_for_window '^TTS_Tarnwick: Several Voices$')
  xdotool windowfocus --sync "$several"
  sleep 0.5
  import -window root "$out/$1.png"
  # The table has the focus on option 1's box: tick it, then Tab to
  # "Patch & Save All".
  xdotool key space Tab space
  sleep 1
  import -window root "$out/$1-saved.png"
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
  stop_display
  rm -rf "$work/data"
}
several_voices several-voices-1280x680 1280x680 1
several_voices several-voices-1400x1000-at-150 1400x1000 1.5
echo "Screenshots in $out:"
ls "$out"
