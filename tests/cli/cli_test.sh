#!/usr/bin/env bash
# tts-tarnwick-cli end to end: what it prints, its exit status, and the bytes
# of the files it touches or must not touch.
# Usage: cli_test.sh CLI MAKE_DEMO_VOICE VERSION
set -euo pipefail
cli=$1
make_demo=$2
version=$3
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/data
cd "$work" || exit 1
failures=0

# expect NAME STATUS COMMAND...: runs the command, keeping its output in out/err.
expect() {
  local name=$1 want=$2
  shift 2
  local got=0
  "$@" >out 2>err || got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL $name: exit $got, expected $want"; sed 's/^/  out: /' out; sed 's/^/  err: /' err
    failures=$((failures + 1))
  fi
}
# has NAME FILE TEXT: FILE holds the line TEXT exactly.
has() {
  if ! grep -qxF -- "$3" "$2"; then
    echo "FAIL $1: $2 lacks the line: $3"; sed 's/^/  /' "$2"
    failures=$((failures + 1))
  fi
}
same() {
  if ! cmp -s "$2" "$3"; then echo "FAIL $1: $2 and $3 differ"; failures=$((failures + 1)); fi
}
differ() {
  if cmp -s "$2" "$3"; then echo "FAIL $1: $2 did not change"; failures=$((failures + 1)); fi
}
count() {  # count NAME WANT PATTERN FILE
  local got
  got=$(grep -cE -- "$3" "$4" || true)
  if [ "$got" -ne "$2" ]; then echo "FAIL $1: $got lines match $3, expected $2"; failures=$((failures + 1)); fi
}

"$make_demo" demo.vpm >/dev/null
"$make_demo" --rgn demo.rgn >/dev/null
cp demo.vpm original.vpm
printf 'not a voice at all, just some text that is long enough' > text.vpm
cp text.vpm text-original.vpm

expect "status" 0 "$cli" status demo.vpm demo.rgn
count "status: every option ready in both" 40 '^ +[0-9]+  .* ready +Change' out
has "status: summary" out "demo.vpm: disk image (.vpm), 35,584 bytes; ready options on English, Jack & Jill & Samantha, Karen & Lee, Julie & Felix, Daniel & Emily & Serena"
has "status: data start" out "  data start: 24,576"
count "status: each file named once" 1 '^demo\.vpm' out
has "status: files apart" out ""
has "status: one row" out '   1  English                    ready              Change "St" to "Street" instead of "Saint"'

expect "dry run" 0 "$cli" apply --options 1,3,19 --dry-run demo.vpm
has "dry run: an option" out '  19  would change       Change "Expwy" to "Expressway" instead of "Expwy"'
has "dry run: report" out "Dry run: 3 options would change 51 bytes in 3 places; the file was not written."
expect "dry run, verbose" 0 "$cli" apply --options 1 --dry-run --verbose demo.vpm
has "verbose: where" out "      at 25,088"
has "verbose: was" out "        was 20 53 74 2E 20 00 00 00 20 53 74 20 00 00"
has "verbose: now" out "        now 20 53 74 72 20 00 00 20 53 74 20 00 00 00"
same "dry run leaves the bytes" demo.vpm original.vpm

expect "apply" 0 "$cli" apply --options 1,3,19 demo.vpm
has "apply: the window's words" out "File patched successfully! Copy the VPM voice file back to your GSP."
has "apply: what changed" out '   1  changed            Change "St" to "Street" instead of "Saint"'
differ "apply changes the file" demo.vpm original.vpm
cp demo.vpm after-apply.vpm

expect "status again" 0 "$cli" status demo.vpm
count "status again: three changed" 3 'already changed +Change' out
has "status again: Street" out '   1  English                    already changed    Change "St" to "Street" instead of "Saint"'

expect "nothing left to patch" 1 "$cli" apply --options 1,3 demo.vpm
has "nothing: in words" out '   3  already changed    Change "Dr" to "Drive" instead of "Doctor"'
has "nothing: first message" out "The Street/Saint abbreviation is already patched."
has "nothing: last message" out "Could not find any abbreviation to patch."
same "nothing patched leaves the bytes" demo.vpm after-apply.vpm

expect "not a voice file" 2 "$cli" apply --all text.vpm
has "not a voice: reason" err "tts-tarnwick-cli: text.vpm: The specified file is not a valid TTS voice file."
count "not a voice: nothing on standard output" 0 '.' out
same "not a voice: untouched" text.vpm text-original.vpm

# What is not a voice: one reason on standard error, the same from every
# command, nothing else but status's line about the file, and status 2.
mkdir folder.vpm
printf '\211PNG\r\n\032\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\10\2\0\0\0' > picture.vpm
{ printf 'KpGrd'; head -c 4096 /dev/zero; } > empty.rgn
for input in missing.vpm folder.vpm text.vpm picture.vpm empty.rgn text.vpm/inside.vpm; do
  reason=
  for command in status "apply --all" history undo recover; do
    # shellcheck disable=SC2086 # the command's words are split on purpose
    expect "bad input: $command $input" 2 "$cli" $command "$input"
    count "bad input: $command $input: one line on standard error" 1 '.' err
    if [ "$command" != status ]; then count "bad input: $command $input: nothing on standard output" 0 '.' out; fi
    if [ -z "$reason" ]; then reason=$(cat err); fi
    if [ "$(cat err)" != "$reason" ]; then
      echo "FAIL bad input: $command $input said: $(cat err)"; echo "  where status said: $reason"; failures=$((failures + 1))
    fi
  done
done
same "bad input: untouched" text.vpm text-original.vpm

chmod 0444 demo.vpm
expect "read-only file" 2 "$cli" apply --tab "Karen & Lee" demo.vpm
has "read-only: reason" err "tts-tarnwick-cli: demo.vpm: Could not save the file \"demo.vpm\": you may not write to it (it is read-only, or it belongs to someone else). The file was left unchanged."
same "read-only: untouched" demo.vpm after-apply.vpm
chmod 0644 demo.vpm

expect "the worst file decides" 2 "$cli" apply --tab karen demo.rgn missing.vpm
has "worst: the good file saved" out "File patched successfully! Copy the VPM voice file back to your GSP."
has "worst: the missing file" err "tts-tarnwick-cli: missing.vpm: Could not open the file \"missing.vpm\": No such file or directory."
cp after-apply.vpm demo.vpm

# Two saves taken back one by one, to the original bytes.
cp original.vpm undo.vpm
expect "undo: nothing recorded" 1 "$cli" undo undo.vpm
expect "undo: first save" 0 "$cli" apply --options 1-3 undo.vpm
expect "undo: second save" 0 "$cli" apply --options 5 undo.vpm
expect "status names the last save" 0 "$cli" status undo.vpm
count "status: the save undo takes back" 1 '^  patched with this program on .*: 1 option \(undo takes it back\)$' out
expect "history" 0 "$cli" history undo.vpm
count "history: both saves, newest first" 2 'bytes changed' out
count "history: the one undo takes" 1 '^  .*: 1 option, .*\(undo takes this back\)$' out
expect "undo --dry-run" 0 "$cli" undo --dry-run undo.vpm
expect "undo: the second" 0 "$cli" undo undo.vpm
expect "undo: the first" 0 "$cli" undo undo.vpm
same "undo: the original again" undo.vpm original.vpm
expect "undo: nothing left" 1 "$cli" undo undo.vpm
expect "history --forget" 0 "$cli" history --forget undo.vpm

# Mistakes in the command: the first line of standard error, exactly, and status 2.
while IFS='|' read -r arguments first_line; do
  # shellcheck disable=SC2086 # the arguments are split on purpose
  eval "set -- $arguments"
  expect "mistake: $arguments" 2 "$cli" "$@"
  if [ "$(head -n 1 err)" != "$first_line" ]; then
    echo "FAIL mistake: $arguments: standard error began"; sed 's/^/  /' err; echo "  instead of"; echo "  $first_line"
    failures=$((failures + 1))
  fi
done <<'TABLE'
|tts-tarnwick-cli: no command given; use "status", "apply", "recover", "history" or "undo" (see tts-tarnwick-cli --help)
stat demo.vpm|tts-tarnwick-cli: unknown command "stat"; did you mean "status"?
--frobnicate|tts-tarnwick-cli: unknown option "--frobnicate" (see tts-tarnwick-cli --help)
apply --dryrun --all demo.vpm|tts-tarnwick-cli: unknown option "--dryrun"; did you mean "--dry-run"?
apply --all|tts-tarnwick-cli: apply: name at least one voice file
apply demo.vpm|tts-tarnwick-cli: choose what to apply with --options, --tab or --all
apply --tab Klingon demo.vpm|tts-tarnwick-cli: there is no tab "Klingon"; the tabs are "English", "Jack & Jill & Samantha", "Karen & Lee", "Julie & Felix", "Daniel & Emily & Serena"
apply --options 21 demo.vpm|tts-tarnwick-cli: --options: 21 is not an option; options are numbered 1 to 20
apply --options abc demo.vpm|tts-tarnwick-cli: --options: "abc" is not an option number from 1 to 20 or a range such as 1-3
apply --options 0x1 demo.vpm|tts-tarnwick-cli: --options: "0x1" is not an option number from 1 to 20 or a range such as 1-3
apply --options 01 demo.vpm|tts-tarnwick-cli: --options: "01" is not an option number from 1 to 20 or a range such as 1-3
apply --options ' 1' demo.vpm|tts-tarnwick-cli: --options: " 1" is not an option number from 1 to 20 or a range such as 1-3
apply --options 1,,3 demo.vpm|tts-tarnwick-cli: --options: an empty item in "1,,3"
apply --options 3-1 demo.vpm|tts-tarnwick-cli: --options: the range "3-1" runs backwards
apply --options 1-x demo.vpm|tts-tarnwick-cli: --options: "1-x" is not an option number from 1 to 20 or a range such as 1-3
TABLE
same "mistakes touch nothing" demo.vpm after-apply.vpm

expect "a range" 0 "$cli" apply --options 1-3 --dry-run demo.vpm original.vpm
has "a range: each file headed" out "original.vpm"
has "a range: files apart" out ""
count "a range: three options in each file" 6 'would change' out
expect "help" 0 "$cli" --help
has "help: usage" out "Usage: tts-tarnwick-cli [OPTIONS] [SUBCOMMAND]"
expect "apply's help" 0 "$cli" apply --help
count "apply's help: a list" 1 '^  --options LIST' out
expect "version" 0 "$cli" --version
has "version" out "tts-tarnwick-cli $version"

expect "demo tool: help" 0 "$make_demo" --help
has "demo tool: help" out "Usage: make-demo-voice [--rgn] [--size MIB] [--table-like | --phrase-like] FILE"
expect "demo tool: a name like an option" 2 "$make_demo" -rgn
has "demo tool: refused" err 'make-demo-voice: unknown option "-rgn"'
if [ -e ./--help ] || [ -e ./-rgn ]; then echo "FAIL the demo tool wrote a file named like an option"; failures=$((failures + 1)); fi

if [ -d "$XDG_DATA_HOME/tts-tarnwick/journals" ] && [ -n "$(ls -A "$XDG_DATA_HOME/tts-tarnwick/journals")" ]; then
  echo "FAIL a journal was left behind"; failures=$((failures + 1))
fi
if [ "$failures" -eq 0 ]; then echo "every command line case passed"; fi
exit $((failures > 0))
