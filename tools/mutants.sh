#!/usr/bin/env bash
# Plants each fault of a list, one at a time, in a copy of the save, recovery,
# history and undo code, builds the engine's tests, runs the recovery
# simulation for a bounded time and prints whether it caught the fault.
# Usage: tools/mutants.sh [SECONDS_PER_MUTANT] [NAME_FILTER]
# Not part of the test command: it rebuilds once per fault.
set -euo pipefail
cd "$(dirname "$0")/.."
budget=${1:-120}
filter=${2:-}
work=${TARNWICK_MUTANT_DIR:-/tmp/tarnwick-mutants}
mkdir -p "$work"
rm -rf "$work/src"
mkdir -p "$work/src"
git ls-files -z | xargs -0 -I{} cp --parents {} "$work/src"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_BUILD_UI=OFF \
  -DTARNWICK_BUILD_BENCH=OFF >/dev/null
cmake --build "$work/build" --target engine_tests >/dev/null

# name ^ file ^ the code as it is ^ the code with the fault (\n for a new line)
mutants=(
  "the save skips the identity check under the lock^engine/in_place_save.cpp^    if (info.identity != expected) return refused(Problem::of_kind(FileProblem::changed_since_opened));^"
  "the save skips the whole-file comparison under the lock^engine/in_place_save.cpp^    if (const Problem problem = holds_what_was_opened(calls, file, image, changes)) return refused(problem);^"
  "the save skips the read-back of what it wrote^engine/journal_folder.cpp^    return read_back(calls, handle, ranges, side);^    return {};"
  "a journal's removal is not made durable^engine/journal_folder.cpp^    return calls_.flush_folder(folder_);\n}\n\nProblem read_back^    return {};\n}\n\nProblem read_back"
  "the save removes its journal without recording itself^engine/in_place_save.cpp^    } else if (Problem problem = history.add(record)) {^    } else if (Problem problem = Problem{}) {"
  "undo takes back a record that does not fit the file^engine/undo_patch.cpp^        if (!fits(*taken, image.file_buf())) return refusal(messages::undo::record_does_not_fit(shown));^"
  "an undo is saved as a patch, which a later undo takes back^engine/undo_patch.cpp^        intent.kind = SaveRecord::Kind::undo;^        intent.kind = SaveRecord::Kind::patch;"
  "undo takes the oldest recorded patch instead of the newest^engine/undo_patch.cpp^        taken = &saves.chain.front();^        taken = &saves.chain.back();"
  "a journal is removed before its record is durable^engine/save_history.cpp^    if (!ec) ec = calls_.rename_in_folder(folder_, partial, name);\n    if (!ec) ec = calls_.flush_folder(folder_);^    if (!ec) ec = calls_.rename_in_folder(folder_, partial, name);"
  "a running save's journal is made a record^engine/journal_folder.cpp^    return held;^    return false;"
  "an interrupted undo is recorded as a patch^engine/journal_format.cpp^    record.state = state;\n    return record;^    record.state = state;\n    record.kind = SaveRecord::Kind::patch;\n    return record;"
  "a look makes journals records^engine/voice_file_read.cpp^    const bool look_only = mode == RecoveryMode::look_only || untrusted;^    const bool look_only = untrusted;"
  "a look leaves out the journals it could not make records^engine/undo_patch.cpp^    history.consider_too({pending.begin(), pending.end()});\n    return look_up^    return look_up"
  "a half-way save is told where the file differs outside its ranges^engine/recovery_rules.cpp^    if (!r.digest_ok) return {RecordMeaning::unrelated, \"with its old bytes back the file is not what that save began with\"};^"
  "a failed save is reported put back without the whole file compared^engine/in_place_save.cpp^        const bool put_back = !write_verified(calls, file, changes, RangeSide::old_bytes) &&\n                              !holds_what_was_opened(calls, file, image, changes);^        const bool put_back = !write_verified(calls, file, changes, RangeSide::old_bytes);"
)

printf '%-70s %-7s %8s\n' "fault" "result" "seconds"
missed=0
for entry in "${mutants[@]}"; do
  IFS='^' read -r name file old new <<<"$entry"
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  target="$work/src/$file"
  cp "$target" "$target.orig"
  if ! OLD="$old" NEW="$new" python3 - "$target" <<'PY'
import os, sys
path = sys.argv[1]
old = os.environ["OLD"].replace("\\n", "\n")
new = os.environ["NEW"].replace("\\n", "\n")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"the code to change is not once in {path}: {old!r}")
open(path, "w").write(text.replace(old, new))
PY
  then
    mv "$target.orig" "$target"
    printf '%-70s %-7s %8s\n' "$name" "NOT SET" "-"
    missed=$((missed + 1))
    continue
  fi
  started=$SECONDS
  result=missed
  if cmake --build "$work/build" --target engine_tests >"$work/build.log" 2>&1; then
    if ! TARNWICK_SIM_SECONDS=$budget "$work/build/tests/engine_tests" --gtest_filter='RecoverySimulation.*' \
        >"$work/run.log" 2>&1; then
      result=caught
    fi
  else
    result="no build"
  fi
  mv "$target.orig" "$target"
  [ "$result" = caught ] || missed=$((missed + 1))
  printf '%-70s %-7s %8d\n' "$name" "$result" "$((SECONDS - started))"
done
cmake --build "$work/build" --target engine_tests >/dev/null
echo "missed: $missed"
[ "$missed" -eq 0 ]
