#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (seconds, default 60) from seeds made by the image builder, one worker per
# processor on a shared corpus. A crash or a broken invariant fails the
# script; the input that caused it is then replayed with full stack traces.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

tools/install-deps.sh build test
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_BUILD_FUZZ=ON -DTARNWICK_SANITIZE=ON -DTARNWICK_BUILD_UI=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)"

work=$PWD/build-fuzz/runs
rm -rf "$work"
mkdir -p "$work"
build-fuzz/fuzz/fuzz_seeds "$work/seeds"
workers=$(nproc)

status=0
# The whole-run fuzzers get inputs as long as a small voice and a little
# more, so that their time goes to many inputs rather than long ones.
declare -A max_len=([fuzz_patch_run]=16384 [fuzz_one_pass]=8192 [fuzz_recovery]=16384)
# A whole run per input costs much; libFuzzer's entropic schedule would take
# a quarter of that again, keeping its statistics.
declare -A schedule=([fuzz_patch_run]=-entropic=0)
for fuzzer in fuzz_patch_run fuzz_one_pass fuzz_recovery fuzz_hex2str fuzz_find_str fuzz_journal; do
  corpus="$work/corpus/$fuzzer"
  logs="$work/$fuzzer"
  mkdir -p "$corpus" "$logs"
  echo "-- $fuzzer for ${seconds}s, $workers workers"
  dictionary=()
  [ -f "$work/seeds/$fuzzer.dict" ] && dictionary=(-dict="$work/seeds/$fuzzer.dict")
  # Allocation stacks are left out of reports while fuzzing (they cost a
  # tenth of the time); the replay below has them.
  # shellcheck disable=SC2086 # a schedule is several flags, split on purpose
  if ! (cd "$logs" && ASAN_OPTIONS=detect_leaks=1:malloc_context_size=0 "$OLDPWD/build-fuzz/fuzz/$fuzzer" \
      "$corpus" "$work/seeds/$fuzzer" "${dictionary[@]}" ${schedule[$fuzzer]:-} -jobs="$workers" -workers="$workers" \
      -max_total_time="$seconds" -max_len="${max_len[$fuzzer]:-70000}" -timeout=20 -rss_limit_mb=2048 \
      -artifact_prefix="$work/$fuzzer-" -print_final_stats=1 >"$logs/main.log" 2>&1); then
    echo "$fuzzer FAILED; its log follows:"
    grep -h -B 5 -A 40 -E 'ERROR|invariant broken|deadly signal' "$logs"/fuzz-*.log | head -n 80
    for found in "$work/$fuzzer"-*; do
      [ -f "$found" ] || continue
      echo "-- replaying $found"
      ASAN_OPTIONS=detect_leaks=1 build-fuzz/fuzz/$fuzzer "$found" 2>&1 | tail -n 60 || true
    done
    status=1
    continue
  fi
  executed=$(cat "$logs"/fuzz-*.log | sed -n 's/^stat::number_of_executed_units: *//p' | awk '{n += $1} END {print n + 0}')
  peak=$(cat "$logs"/fuzz-*.log | sed -n 's/^stat::peak_rss_mb: *//p' | sort -n | tail -n 1)
  coverage=$(grep -h -E '^#[0-9]+[[:space:]]+DONE' "$logs"/fuzz-*.log | sed -n 's/.*\(cov: [0-9]*\).*/\1/p' | sort -t' ' -k2 -n | tail -n 1)
  echo "$fuzzer: $executed executions in ${seconds}s, $coverage, peak ${peak:-?} MB"
done
exit "$status"
