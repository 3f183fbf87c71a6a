#!/usr/bin/env bash
# Builds the Debian package (CPack), checks it with lintian, appstreamcli and
# desktop-file-validate, then proves it in a clean Debian 12 system made with
# mmdebstrap from this machine's own apt sources (kept in the cache folder
# outside the clone, as are the packages that system downloads): installed
# with apt-get, used on a demo voice, asked about the voice file type, its
# window started on a virtual display, and purged without a trace.
# Prints the package's path on its last line. With --prepare it only makes
# the clean Debian 12 (which waits on the network, so that the test command
# can do it beside work that waits on the processor).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/version.sh
project=$PWD

tools/install-deps.sh build package
cache=${TARNWICK_CACHE:-$HOME/.cache/tts-tarnwick}
mkdir -p "$cache/debian12-archives/partial"
build="build-release"

# A minimal Debian 12 from the machine's own sources, made once.
base=$cache/debian12-minbase.tar
if [ ! -f "$base" ]; then
  echo "-- making a clean Debian 12 (once)" >&2
  sources=/etc/apt/sources.list
  [ -f /etc/apt/sources.list.d/debian.sources ] && sources=/etc/apt/sources.list.d/debian.sources
  rm -rf "$base.part"
  mmdebstrap --variant=minbase --format=tar --include=ca-certificates bookworm "$base.part" "$sources" >&2
  mv "$base.part" "$base"
fi
[ "${1:-}" = --prepare ] && exit 0

echo "== Debian package" >&2
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
rm -f "$build"/tts-tarnwick_*.deb
(cd "$build" && cpack >/dev/null)
deb=$(ls "$project/$build"/tts-tarnwick_*_amd64.deb)
version=$(project_version)
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)" >&2

# Each validator stops the script when it fails; each that passes is counted.
validated=0
echo "-- lintian" >&2
lintian --fail-on error "$deb" 2>&1 | grep -v "^running with root privileges" >&2 || true
lintian --fail-on error "$deb" >/dev/null 2>&1 && validated=$((validated + 1))
echo "-- appstreamcli validate" >&2
appstreamcli validate --no-net "$build/packaging/com.example.ttstarnwick.metainfo.xml" >&2 && validated=$((validated + 1))
echo "-- desktop-file-validate" >&2
desktop-file-validate ui/resources/tts-tarnwick.desktop >&2 && validated=$((validated + 1))

# The reference: what the build folder's own command line makes of a demo voice.
work=$(mktemp -d)
root=$work/root
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
"$build/tools/make-demo-voice" "$work/demo.vpm" >/dev/null
cp "$work/demo.vpm" "$work/expected.vpm"
XDG_DATA_HOME=$work/data "$build/cli/tts-tarnwick-cli" apply --all "$work/expected.vpm" >/dev/null

mkdir -p "$root"
tar -C "$root" -xf "$base"
cp /etc/resolv.conf "$root/etc/resolv.conf"
for fs in proc sys dev; do
  mount --rbind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
done
mount --bind "$cache/debian12-archives" "$root/var/cache/apt/archives"
mounted+=("$root/var/cache/apt/archives")
cp "$deb" "$work/demo.vpm" "$work/expected.vpm" "$root/tmp/"
inside() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
# apt's chatter goes to a log, shown only when a step fails.
quietly() { "$@" >>"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; return 1; }; }

echo "-- apt-get install ./$(basename "$deb") in the clean system" >&2
quietly inside apt-get update -qq
quietly inside env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/tmp/$(basename "$deb")"
grep -c "^Setting up " "$work/apt.log" | sed "s/^/   packages set up (tts-tarnwick and what it needs): /" >&2
# The tools the checks below use, not the package's own needs; xdg-mime
# asks the shared MIME database through mimetype (libfile-mimeinfo-perl)
# when no desktop is running.
quietly inside env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xdg-utils libfile-mimeinfo-perl xvfb xauth x11-utils
inside dpkg -L tts-tarnwick >"$work/installed"

passes=0
failures=0
check() {  # NAME WANT GOT
  if [ "$2" = "$3" ]; then
    echo "   ok: $1" >&2; passes=$((passes + 1))
  else
    echo "FAIL: $1: got '$3', expected '$2'" >&2; failures=$((failures + 1))
  fi
}
check "tts-tarnwick-cli --version" "tts-tarnwick-cli $version" "$(inside tts-tarnwick-cli --version)"
inside tts-tarnwick-cli status /tmp/demo.vpm >"$work/status" || true
check "status names the voice" "1" "$(grep -c '^demo.vpm: disk image (.vpm), 35,584 bytes' "$work/status")"
inside tts-tarnwick-cli apply --all /tmp/demo.vpm >/dev/null
check "apply --all gives the build's bytes" "same" "$(cmp -s "$root/tmp/demo.vpm" "$work/expected.vpm" && echo same || echo different)"
check "xdg-mime query filetype" "application/x-tts-tarnwick-voice" "$(inside xdg-mime query filetype /tmp/expected.vpm)"
check "xdg-mime query default" "tts-tarnwick.desktop" "$(inside xdg-mime query default application/x-tts-tarnwick-voice)"
# The window, on a virtual display, with the voice as on a double click.
title=$(inside sh -c "cd /tmp && timeout 60 xvfb-run -a sh -c '
  tts-tarnwick /tmp/expected.vpm >/dev/null 2>&1 &
  for i in \$(seq 100); do
    found=\$(xwininfo -root -tree 2>/dev/null | grep -o \"TTS_Tarnwick v[0-9.]*\" | head -n 1)
    [ -n \"\$found\" ] && break
    sleep 0.2
  done
  echo \"\$found\"
  kill %1 2>/dev/null'") || true
check "the window shows its title" "TTS_Tarnwick v$version" "$title"

echo "-- apt-get purge tts-tarnwick" >&2
quietly inside env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tts-tarnwick
left=0
while read -r path; do
  [ -e "$root$path" ] && [ ! -d "$root$path" ] && { echo "   left behind: $path" >&2; left=$((left + 1)); }
done <"$work/installed"
check "nothing of the package left after purge" "0" "$left"
[ "$failures" -eq 0 ] || { echo "$failures clean-system checks failed" >&2; exit 1; }
echo "Debian: $((passes + validated)) checks passed: the package validates, installs, works and purges cleanly in a clean Debian 12" >&2
echo "$deb"
