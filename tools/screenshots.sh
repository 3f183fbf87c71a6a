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

tools/install-deps.sh build screenshots
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF >/dev/null
cmake --build build-release >/dev/null

work=$(mktemp -d)
display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  kill "${app:-}" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

build-release/tools/make-demo-voice "$work/demo.vpm" >/dev/null
(cd "$work" && exec "$OLDPWD/build-release/ui/tts-tarnwick") &
app=$!

version=$(sed -n 's/^#define TARNWICK_VERSION_TEXT "\(.*\)"$/\1/p' build-release/generated/tarnwick_version.h)
title="^TTS_Tarnwick v${version//./\\.}\$"
main=$(xdotool search --sync --name "$title" | head -n 1)
xdotool windowfocus --sync "$main"
sleep 0.5
import -window "$main" "$out/main-at-start.png"

# Open the demo voice through the real dialog: Open1 has the focus.
xdotool key --window "$main" space
dialog=$(xdotool search --sync --name '^Open Garmin TTS Voice File\.\.\.$' | head -n 1)
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
about=$(xdotool search --sync --name '^About TTSTarnwick$' | head -n 1)
sleep 0.5
import -window "$about" "$out/about.png"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
kill "$xvfb" 2>/dev/null || true

# The window on screens smaller than its layout, the voice given as on a double click.
small_screen() {  # NAME SIZE SCALE
  local display=":$((200 + RANDOM % 50))"
  Xvfb "$display" -screen 0 "$2x24" -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=$display
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  (cd "$work" && QT_SCALE_FACTOR=$3 exec "$OLDPWD/build-release/ui/tts-tarnwick" demo.vpm) &
  app=$!
  main=$(xdotool search --sync --name "$title" | head -n 1)
  sleep 1
  import -window root "$out/$1.png"
  # Tab to "Patch & Save": the area scrolls it into view.
  xdotool windowfocus --sync "$main"
  xdotool key Tab Tab Tab Tab Tab Tab
  sleep 0.5
  import -window root "$out/$1-scrolled.png"
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
small_screen laptop-1280x680 1280x680 1
small_screen screen-1400x1000-at-150 1400x1000 1.5
echo "Screenshots in $out:"
ls "$out"
