#!/usr/bin/env bash
# tts-tarnwick-cli end to end: what it prints, its exit status, and the bytes
# of the files it touches or must not touch.
# Usage: cli_test.sh CLI MAKE_DEMO_VOICE
set -u
cli=$1
make_demo=$2
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/data
cd "$work"
failures=0

# expect NAME STATUS COMMAND...: runs the command, keeping its output in out/err.
expect() {
  local name=$1 want=$2
  shift 2
  "$@" >out 2>err
  local got=$?
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
  got=$(grep -cE -- "$3" "$4")
  if [ "$got" -ne "$2" ]; then echo "FAIL $1: $got lines match $3, expected $2"; failures=$((failures + 1)); fi
}

"$make_demo" demo.vpm >/dev/null
"$make_demo" --rgn demo.rgn >/dev/null
cp demo.vpm original.vpm
printf 'not a voice at all, just some text that is long enough' > text.vpm
cp text.vpm text-original.vpm

expect "status" 0 "$cli" status demo.vpm demo.rgn
count "status: every option ready in both" 40 '^ +[0-9]+  .* ready +Change' out
has "status: summary" out "  demo.vpm: disk image (.vpm), 35,584 bytes; ready options on English, Jack & Jill & Samantha, Karen & Lee, Julie & Felix, Daniel & Emily & Serena"
has "status: one row" out '   1  English                    ready              Change "St" to "Street" instead of "Saint"'

expect "dry run" 0 "$cli" apply --options 1,3,19 --dry-run demo.vpm
has "dry run: report" out "Dry run: 51 bytes in 3 places would change; the file was not written."
same "dry run leaves the bytes" demo.vpm original.vpm

expect "apply" 0 "$cli" apply --options 1,3,19 demo.vpm
has "apply: the window's words" out "File patched successfully! Copy the VPM voice file back to your GSP."
differ "apply changes the file" demo.vpm original.vpm
cp demo.vpm after-apply.vpm

expect "status again" 0 "$cli" status demo.vpm
count "status again: three changed" 3 'already changed +Change' out
has "status again: Street" out '   1  English                    already changed    Change "St" to "Street" instead of "Saint"'

expect "nothing left to patch" 1 "$cli" apply --options 1,3 demo.vpm
has "nothing: first message" out "The Street/Saint abbreviation is already patched."
has "nothing: last message" out "Could not find any abbreviation to patch."
same "nothing patched leaves the bytes" demo.vpm after-apply.vpm

expect "not a voice file" 2 "$cli" apply --all text.vpm
has "not a voice: reason" err "The specified file is not a valid TTS voice file."
same "not a voice: untouched" text.vpm text-original.vpm

chmod 0444 demo.vpm
expect "read-only file" 2 "$cli" apply --tab "Karen & Lee" demo.vpm
has "read-only: reason" err "Could not save the file \"demo.vpm\": you may not write to it (it is read-only, or it belongs to someone else). The file was left unchanged."
same "read-only: untouched" demo.vpm after-apply.vpm
chmod 0644 demo.vpm

expect "the worst file decides" 2 "$cli" apply --tab karen demo.rgn missing.vpm
has "worst: the good file saved" out "File patched successfully! Copy the VPM voice file back to your GSP."
has "worst: the missing file" err "Could not open the file \"missing.vpm\": No such file or directory."

expect "unknown tab" 2 "$cli" apply --tab Klingon demo.vpm
expect "nothing chosen" 2 "$cli" apply demo.vpm
expect "no command" 2 "$cli"
expect "option out of range" 2 "$cli" apply --options 21 demo.vpm
same "refusals before the run touch nothing" demo.vpm after-apply.vpm
expect "help" 0 "$cli" --help
has "help: usage" out "Usage: tts-tarnwick-cli [OPTIONS] SUBCOMMAND"
expect "version" 0 "$cli" --version
has "version" out "tts-tarnwick-cli 0.49"

if [ -d "$XDG_DATA_HOME/tts-tarnwick/journals" ] && [ -n "$(ls -A "$XDG_DATA_HOME/tts-tarnwick/journals")" ]; then
  echo "FAIL a journal was left behind"; failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "every command line case passed"
exit $((failures > 0))
