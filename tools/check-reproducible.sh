#!/usr/bin/env bash
# Builds the release twice, from two fresh clones of the last commit at
# different paths, one after the other, and compares everything users
# download byte for byte: the two SHA256SUMS side by side, then each file
# the same or, where not, what diffoscope finds between them. Both builds
# share the cache (Qt for Windows is built once). Exits 1 if any file differs.
# Usage: tools/check-reproducible.sh
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh release
project=$PWD
work=$(mktemp -d /tmp/tarnwick-reproducible.XXXXXX)
trees=("$work/first/tts-tarnwick" "$work/second/somewhere/else/tarnwick")

for tree in "${trees[@]}"; do
  echo "== Release in $tree"
  git clone -q "$project" "$tree"
  if ! (cd "$tree" && tools/release.sh) >"$tree.log" 2>&1; then
    tail -n 40 "$tree.log"
    echo "the release failed in $tree; its log: $tree.log" >&2
    exit 2
  fi
done

first=${trees[0]}/dist
second=${trees[1]}/dist
echo "== SHA256SUMS, first | second"
paste -d '|' "$first/SHA256SUMS" "$second/SHA256SUMS" | sed 's/|/  |  /'
differ=0
for file in $(cd "$first" && ls); do
  if cmp -s "$first/$file" "$second/$file"; then
    echo "the same: $file"
  else
    echo "DIFFERENT: $file"
    diffoscope --text - --max-report-size 200000 "$first/$file" "$second/$file" || true
    differ=1
  fi
done
[ "$differ" -eq 0 ] && rm -rf "$work" && echo "Every file of the release is the same, built twice."
exit "$differ"
