#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# the engine and window suites, the engine again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh build test
jobs=$(nproc)

echo "== build and test (warnings are errors)"
cmake -S . -B build -G Ninja -DTARNWICK_WERROR=ON -DTARNWICK_BUILD_BENCH=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== engine under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -G Ninja -DTARNWICK_SANITIZE=ON -DTARNWICK_BUILD_UI=OFF -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

if [ -x tools/run-fuzzers.sh ]; then
  echo "== fuzzers"
  tools/run-fuzzers.sh "${TARNWICK_FUZZ_SECONDS:-60}"
fi
