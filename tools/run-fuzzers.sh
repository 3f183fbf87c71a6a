#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (seconds, default 60) from seeds made by the image builder. A crash or a
# broken invariant fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

tools/install-deps.sh build test
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_BUILD_FUZZ=ON -DTARNWICK_SANITIZE=ON -DTARNWICK_BUILD_UI=OFF -DTARNWICK_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)"

work=build-fuzz/runs
rm -rf "$work"
mkdir -p "$work"
build-fuzz/fuzz/fuzz_seeds "$work/seeds"

status=0
for fuzzer in fuzz_patch_run fuzz_hex2str fuzz_find_str fuzz_journal fuzz_one_pass; do
  corpus="$work/corpus/$fuzzer"
  mkdir -p "$corpus"
  log="$work/$fuzzer.log"
  echo "-- $fuzzer for ${seconds}s"
  dictionary=()
  [ -f "$work/seeds/$fuzzer.dict" ] && dictionary=(-dict="$work/seeds/$fuzzer.dict")
  if ! ASAN_OPTIONS=detect_leaks=1 build-fuzz/fuzz/$fuzzer "$corpus" "$work/seeds/$fuzzer" "${dictionary[@]}" \
      -max_total_time="$seconds" -max_len=70000 -timeout=20 -rss_limit_mb=4096 \
      -artifact_prefix="$work/$fuzzer-" -print_final_stats=1 >"$log" 2>&1; then
    echo "$fuzzer FAILED; its log follows:"
    tail -n 60 "$log"
    status=1
    continue
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || tail -n 3 "$log"
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
done
exit "$status"
