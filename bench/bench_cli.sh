#!/usr/bin/env bash
# Whole command-line processes on a large voice of each filler, page cache
# warm: `cat` of the file (the floor a process can reach), `status` and
# `apply --all` (each on a fresh copy, flushed first), the best of a few
# runs, with each one's peak memory and its time over cat's.
# Usage: bench/bench_cli.sh CLI DEMO_TOOL [MIB] (from a Release build).
set -euo pipefail
cli=$1
demo=$2
mib=${3:-256}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/data

# The best elapsed seconds of N runs of a command, and its peak memory in
# MiB; PREPARE, where set, runs before each.
best() {
  local runs=$1 fastest=999 peak=0 figures
  shift
  for _ in $(seq "$runs"); do
    if [[ -n ${PREPARE:-} ]]; then eval "$PREPARE"; fi
    # time(1) gives the peak memory; its clock resolves only 0.01 s.
    local began=$EPOCHREALTIME
    /usr/bin/time -o "$work/time" -f "%M" "$@" >/dev/null 2>&1 || true
    local ended=$EPOCHREALTIME
    read -r -a figures <"$work/time"
    fastest=$(awk -v a="$began" -v z="$ended" -v b="$fastest" 'BEGIN { t = z - a; printf "%.3f", (t < b) ? t : b }')
    peak=$((figures[0] / 1024))
  done
  printf '%s %s' "$fastest" "$peak"
}

printf 'voice of %s MiB, best of 5 (apply: 3)\n' "$mib"
printf '%-12s %8s %8s %6s %8s %6s %9s\n' filler cat status x_cat apply x_cat peak_MiB
for filler in text-like table-like phrase-like; do
  voice=$work/$filler.vpm
  flags=()
  [[ $filler == text-like ]] || flags=("--$filler")
  "$demo" --size "$mib" "${flags[@]}" "$voice" >/dev/null
  cat "$voice" >/dev/null
  read -r cat_s _ <<<"$(best 5 cat "$voice")"
  read -r status_s status_peak <<<"$(best 5 "$cli" status "$voice")"
  read -r apply_s apply_peak <<<"$(PREPARE="cp '$voice' '$work/copy.vpm'; sync" best 3 "$cli" apply --all "$work/copy.vpm")"
  ratio() { awk -v a="$1" -v b="$cat_s" 'BEGIN { printf "%.1f", (b > 0) ? a / b : 0 }'; }
  printf '%-12s %8s %8s %6s %8s %6s %9s\n' "$filler" "$cat_s" "$status_s" "$(ratio "$status_s")" "$apply_s" \
    "$(ratio "$apply_s")" "$((status_peak > apply_peak ? status_peak : apply_peak))"
done
