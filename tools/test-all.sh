#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# the engine and window suites, the browser page in Chromium, Firefox ESR and
# WebKitGTK, the
# engine again under AddressSanitizer and UndefinedBehaviorSanitizer, the
# fuzzers for a bounded time, the Windows build with its suites under Wine,
# the portable zip's smoke test and the setup installed, used and uninstalled
# in a fresh Wine prefix, and the Debian package in a clean Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
results=$(mktemp)
phases=$(mktemp)
ahead=$(mktemp -d)
trap 'rm -rf "$results" "$phases" "$ahead"' EXIT

# Each stage's time, printed at the end: what a cold run spends where.
phase_started=$SECONDS
phase_name=""
phase() {
  if [ -n "$phase_name" ]; then
    printf '%6d s  %s\n' "$((SECONDS - phase_started))" "$phase_name" >>"$phases"
  fi
  phase_started=$SECONDS
  phase_name=$1
  echo "== $1"
}

# Every package any stage needs, once; the stages then ask for nothing more.
phase "packages: those missing installed"
tools/install-deps.sh build test web windows package
export TARNWICK_DEPS_INSTALLED="build test web windows package"

# What waits on the network goes on beside what waits on the processor: the
# clean Debian 12 for the package's test, and Qt's source for Windows.
tools/test-deb.sh --prepare >"$ahead/debian.log" 2>&1 &
debian_ahead=$!
tools/build-windows-qt.sh --fetch >"$ahead/qt.log" 2>&1 &
qt_ahead=$!
# Waits for one of them, showing its output only when it failed.
wait_ahead() {  # PID LOG
  wait "$1" || { cat "$2"; echo "$2 failed"; exit 1; }
}

phase "scripts: shellcheck"
mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
shellcheck -x "${scripts[@]}"
echo "shellcheck: ${#scripts[@]} scripts clean"

phase "build and test (warnings are errors)"
cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs" | tee -a "$results"

phase "recovery simulation: saves, looks and recoveries interleaved call by call, with kills and power losses"
# A history runs on one processor at a time, so each processor explores seeds
# of its own (a hundred million apart), sharing the stage's processor-seconds.
sim_seconds=$(( ${TARNWICK_SIM_SECONDS:-120} / jobs ))
sims=()
for ((i = 0; i < jobs; i++)); do
  TARNWICK_SIM_SECONDS=$sim_seconds TARNWICK_SIM_FIRST_SEED=$((1000000 + i * 100000000)) \
    build/tests/engine_tests --gtest_filter='RecoverySimulation.*' > "build/simulation-$i.log" 2>&1 &
  sims+=($!)
done
for ((i = 0; i < jobs; i++)); do
  wait "${sims[$i]}" || { kill "${sims[@]}" 2>/dev/null; grep -E -A3 'Failure|^seed' "build/simulation-$i.log"; exit 1; }
  grep -E '^explored|^\[  PASSED' "build/simulation-$i.log"
done

phase "browser page: the engine as WebAssembly, tested in Chromium, Firefox ESR and WebKitGTK against the command line"
tools/build-web.sh
tools/test-web.sh build | grep -E '^(✔|✖|ℹ (tests|pass|fail))' | tee -a "$results"

phase "engine under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset asan -j "$jobs" | tee -a "$results"

phase "the simulation's runs, and the pass and reads shared among threads, under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DTARNWICK_BUILD_UI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build-tsan -j "$jobs" --target engine_tests
TSAN_OPTIONS=halt_on_error=1 TARNWICK_SIM_SECONDS=30 \
  build-tsan/tests/engine_tests --gtest_filter='RecoverySimulation.*:MultiSearch.*:WorkerThreads.*:LoadImage.AReadInBlocks*:SaveImage.ALargeFile*' > build-tsan/simulation.log 2>&1 ||
  { grep -E -A12 'ThreadSanitizer|Failure|^seed' build-tsan/simulation.log | head -60; exit 1; }
grep -E '^explored|^\[  PASSED' build-tsan/simulation.log

phase "fuzzers"
tools/run-fuzzers.sh "${TARNWICK_FUZZ_SECONDS:-60}"

phase "Windows: cross-built, tested under Wine, packed, smoke-tested, installed and uninstalled"
wait_ahead "$qt_ahead" "$ahead/qt.log"
tools/build-windows.sh | tee -a "$results"

phase "Debian package: validated, installed, used and purged in a clean Debian 12"
wait_ahead "$debian_ahead" "$ahead/debian.log"
tools/test-deb.sh 2>&1 >/dev/null | tee -a "$results"

phase "summary"
sum_of() { awk '{ total += $1 } END { print total + 0 }'; }
echo "time by stage:"
cat "$phases"
printf '%6d s  total\n' "$(sum_of <"$phases")"

# Counted from each runner's own lines: ctest's "N tests failed out of M", node's
# "ℹ pass N" and "ℹ fail N", and the Windows and Debian stages' "N ... passed".
total=$(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\).*/\1/p' "$results" | sum_of)
failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of .*/\1/p; s/^ℹ fail \([0-9]*\)$/\1/p' "$results" | sum_of)
others=$(sed -n 's/^Windows: \([0-9]*\) suites passed.*/\1/p; s/^Windows setup: \([0-9]*\) checks passed$/\1/p;
                s/^ℹ pass \([0-9]*\)$/\1/p; s/^Debian: \([0-9]*\) checks passed.*/\1/p' "$results" | sum_of)
skipped=$(grep -c '(Skipped)$' "$results" || true)
echo "summary: $((total - failed - skipped + others)) passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
