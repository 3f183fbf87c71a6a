# shellcheck shell=bash
# A virtual X display of the caller's own. Xvfb picks a free display number
# itself and names it once it takes connections, so runs side by side never
# meet and nothing waits a guessed time.
# start_display [WIDTHxHEIGHT]: sets DISPLAY and display_pid; stop_display ends it.
start_display() {
  local size=${1:-1280x1024} ready
  ready=$(mktemp -u)
  mkfifo "$ready"
  Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$ready" >/dev/null 2>&1 &
  display_pid=$!
  local number
  read -r number <"$ready"
  rm -f "$ready"
  export DISPLAY=":$number"
}

stop_display() {
  kill "${display_pid:-}" 2>/dev/null || true
  wait "${display_pid:-}" 2>/dev/null || true
  display_pid=""
}

# Waits until a window whose title matches REGEX is shown (mapped and
# viewable), and prints its id. Fails after SECONDS (default 60).
wait_for_window() {  # REGEX [SECONDS]
  timeout "${2:-60}" xdotool search --sync --onlyvisible --name "$1" | head -n 1
}
