#!/usr/bin/env bash
# Lets apt fetch Debian source packages: adds deb-src entries made from the
# machine's own deb entries (same mirrors, suites and keys), once.
set -euo pipefail
target=/etc/apt/sources.list.d/tts-tarnwick-deb-src.sources
[ -f "$target" ] && exit 0
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)

stanzas=""
# deb822 files: every stanza of Types: deb again as deb-src.
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  stanzas+=$(awk '
      function flush() { if (is_deb && body != "") printf "%s\n", body; body = ""; is_deb = 0 }
      /^[[:space:]]*$/ { flush(); next }
      /^#/ { next }
      /^Types:/ { if ($0 ~ /[[:space:]]deb([[:space:]]|$)/) is_deb = 1; body = body "Types: deb-src\n"; next }
      { body = body $0 "\n" }
      END { flush() }' "$file")
  stanzas+=$'\n\n'
done
# One-line files: "deb ..." lines again as "deb-src ...".
lines=""
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  lines+=$(sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file")
  lines+=$'\n'
done
if [ -z "${stanzas//[[:space:]]/}${lines//[[:space:]]/}" ]; then
  echo "No deb entries found to derive deb-src entries from." >&2
  exit 1
fi
printf '%s' "$stanzas" | "${sudo[@]}" tee "$target" >/dev/null
if [ -n "${lines//[[:space:]]/}" ]; then
  printf '%s' "$lines" | "${sudo[@]}" tee /etc/apt/sources.list.d/tts-tarnwick-deb-src.list >/dev/null
fi
"${sudo[@]}" apt-get update -qq
