#!/usr/bin/env bash
# Proves the Windows setup under Wine, in a Wine prefix of its own made for
# the test (a machine that never saw the program): a silent install puts the
# staged files, the Start menu entry and the registry keys where they belong;
# the installed command line patches a demo voice to the Linux build's bytes;
# the command registered for voices starts the installed window with one;
# while it runs, a second install and the uninstaller stop and change
# nothing; a silent uninstall leaves nothing of it but the user's journals.
# Usage: test-setup.sh SETUP_EXE STAGED_FOLDER LINUX_BUILD_FOLDER VERSION
# Wine's exit codes say little (a program that cannot start still gives 0):
# every step is judged by what it left behind.
set -euo pipefail
setup=$(realpath "$1")
stage=$(realpath "$2")
host=$(realpath "$3")
version=$4
cd "$(dirname "$0")/../.."
out=$PWD/build-windows/setup-test
rm -rf "$out"
mkdir -p "$out"

source tools/windows/wine-checks.sh
export WINEPREFIX=$out/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH
virtual_display_pid=
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -z "$virtual_display_pid" ] || kill "$virtual_display_pid" 2>/dev/null || true
}
trap cleanup EXIT

checks=0
pass() { checks=$((checks + 1)); echo "ok: $*"; }
fail() { echo "FAILED: $*"; exit 1; }

echo "-- a fresh Wine prefix"
# A copy of one made by the build and never used, where there is one.
if [ -f "${TARNWICK_WINE_FRESH:-}/system.reg" ]; then
  cp -a "$TARNWICK_WINE_FRESH" "$WINEPREFIX"
else
  wineboot --init >"$out/wineboot.log" 2>&1 || true
  wineserver -w
fi
windows_dir() { winepath -u "$(wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r')"; }
local_appdata=$(windows_dir LOCALAPPDATA)
start_menu=$(windows_dir APPDATA)/Microsoft/Windows/Start\ Menu/Programs
install=$local_appdata/Programs/TTS_Tarnwick
journals=$local_appdata/TTS_Tarnwick/journals

# A value from the registry, "" when the key or value is missing. NAME empty
# means the key's default value.
reg_value() {  # KEY NAME
  local select=(/v "$2")
  [ -n "$2" ] || select=(/ve)
  wine reg query "$1" "${select[@]}" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *[^ ].*  *REG_[A-Z_]*  *\(.*\)$/\1/p' | head -n 1 | sed 's/^(value not set)$//' || true
}
reg_has_key() { wine reg query "$1" >/dev/null 2>&1; }
expect_value() {  # KEY NAME EXPECTED
  local got
  got=$(reg_value "$1" "$2")
  [ "$got" = "$3" ] || fail "$1 ${2:-(default)} is \"$got\", not \"$3\""
}

echo "-- silent install"
# Another program already owns .rgn, as map updates do: it must keep it.
wine reg add 'HKCU\Software\Classes\.rgn' /ve /d Other.Update /f >/dev/null 2>&1
wine "$setup" /S
wineserver -w
expected=$( (cd "$stage" && find . -type f; echo ./uninstall.exe) | LC_ALL=C sort)
installed=$( (cd "$install" 2>/dev/null && find . -type f) | LC_ALL=C sort)
[ "$installed" = "$expected" ] ||
  fail "installed files differ from the zip's: $(diff <(echo "$expected") <(echo "$installed") | tail -n +2 | tr '\n' ' ')"
for file in $(cd "$stage" && find . -type f); do
  cmp -s "$stage/$file" "$install/$file" || fail "$file differs from the zip's"
done
pass "$(echo "$expected" | wc -l) files under %LOCALAPPDATA%\\Programs\\TTS_Tarnwick, byte for byte the zip's"
[ -f "$start_menu/TTS_Tarnwick.lnk" ] || fail "no Start menu entry"
pass "Start menu entry"

exe=$(wine cmd /c echo "%LOCALAPPDATA%\\Programs\\TTS_Tarnwick\\tts-tarnwick.exe" 2>/dev/null | tr -d '\r')
classes='HKCU\Software\Classes'
expect_value "$classes\\.vpm" "" "TTS_Tarnwick.Voice"
expect_value "$classes\\.vpm\\OpenWithProgids" "TTS_Tarnwick.Voice" ""
reg_has_key "$classes\\.vpm\\OpenWithProgids" || fail ".vpm has no OpenWithProgids"
expect_value "$classes\\.rgn" "" Other.Update
reg_has_key "$classes\\.rgn\\OpenWithProgids" || fail ".rgn is not offered under Open with"
expect_value "$classes\\TTS_Tarnwick.Voice\\shell\\open\\command" "" "\"$exe\" \"%1\""
expect_value "$classes\\Applications\\tts-tarnwick.exe" "FriendlyAppName" "TTS_Tarnwick"
pass ".vpm opens with the program; .rgn offered under Open with, its own program kept"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TTS_Tarnwick'
expect_value "$uninstall_key" DisplayName TTS_Tarnwick
expect_value "$uninstall_key" DisplayVersion "$version"
expect_value "$uninstall_key" Publisher "The TTS_Tarnwick developers"
size=$(reg_value "$uninstall_key" EstimatedSize)
[ $((size)) -gt 10000 ] || fail "EstimatedSize is \"$size\""
pass "installed apps entry: TTS_Tarnwick $version, The TTS_Tarnwick developers, $((size / 1024)) MB"
wine reg export 'HKCU\Software\Classes' "$out/classes.reg" >/dev/null 2>&1 || true
wine reg export "$uninstall_key" "$out/uninstall.reg" >/dev/null 2>&1 || true

echo "-- the installed command line"
make_demo_voices "$out" "$host"
(cd "$out" && wine "$install/tts-tarnwick-cli.exe" apply --all demo.vpm >apply.txt 2>&1) || true
cmp -s "$out/demo.vpm" "$out/linux.vpm" ||
  fail "the installed command line's result differs from Linux's: $(tr -d '\r' <"$out/apply.txt")"
pass "apply --all: the same bytes as on Linux"

echo "-- a voice opened as on a double click"
start_virtual_display
# A double click runs the command registered for the voice's type, with the
# file in place of %1. Wine's own "start" does not look in the current
# user's classes (it reads only the machine's), so the command is run here as
# Windows' shell would run it.
registered=$(reg_value "$classes\\TTS_Tarnwick.Voice\\shell\\open\\command" "")
[[ $registered =~ ^\"([^\"]+)\"\ \"%1\"$ ]] || fail "cannot run the registered command $registered"
(cd "$out" && wine "$(winepath -u "${BASH_REMATCH[1]}")" "$(winepath -w "$out/window.vpm")" >program.log 2>&1 &)
screenshot_main_window "$version" "$out/windows-installed-window.png" ||
  fail "the window did not appear: $(cat "$out/program.log")"
pass "the registered command opened the voice in the window (screenshot in $out/windows-installed-window.png)"

# While it runs, neither a second install nor the uninstaller may change a
# file: they stop with an error (silent) or ask to close it.
status=0
wine "$setup" /S || status=$?
[ "$status" -eq 2 ] || fail "a second install while the program runs ended with $status, not 2"
wine "$install/uninstall.exe" /S
sleep 5  # the uninstaller works from a copy of itself, which this cannot wait for
for file in $(cd "$stage" && find . -type f); do
  cmp -s "$stage/$file" "$install/$file" || fail "$file changed while the program ran"
done
expect_value "$uninstall_key" DisplayName TTS_Tarnwick
pass "while it runs, install and uninstall stop and change nothing"
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

echo "-- silent uninstall"
mkdir -p "$journals"
echo "a journal the user may still need" >"$journals/kept-by-uninstall.txt"
wine "$install/uninstall.exe" /S
wineserver -w
# The uninstaller runs from a copy in the temporary folder: wait for it too.
for _ in $(seq 100); do [ -e "$install" ] || break; sleep 0.1; done
[ ! -e "$install" ] || fail "left behind: $(cd "$install" && find . | tr '\n' ' ')"
[ ! -e "$start_menu/TTS_Tarnwick.lnk" ] || fail "the Start menu entry is left"
for key in "$classes\\TTS_Tarnwick.Voice" "$classes\\Applications\\tts-tarnwick.exe" "$uninstall_key" \
           "$classes\\.vpm" "$classes\\.rgn\\OpenWithProgids"; do
  ! reg_has_key "$key" || fail "$key is left in the registry"
done
expect_value "$classes\\.rgn" "" Other.Update
[ -f "$journals/kept-by-uninstall.txt" ] || fail "the journals were removed"
pass "uninstalled: no file, shortcut or key left; .rgn still with its own program; journals kept"
echo "Windows setup: $checks checks passed"
