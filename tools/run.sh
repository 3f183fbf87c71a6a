#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh build
cmake --preset release
cmake --build --preset release

program=build-release/ui/tts-tarnwick
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$program"
fi
echo "No display found: starting the program on a virtual X display (Xvfb)."
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$program"
