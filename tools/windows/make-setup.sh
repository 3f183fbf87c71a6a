#!/usr/bin/env bash
# Makes the Windows setup with NSIS from the folder the portable zip is made
# of. Usage: make-setup.sh STAGED_FOLDER VERSION SETUP_EXE
set -euo pipefail
stage=$(realpath "$1")
version=$2
out=$(realpath -m "$3")
here=$(realpath "$(dirname "$0")")
lists=$(mktemp -d)
trap 'rm -rf "$lists"' EXIT

# What to install, folder by folder, and what the uninstaller removes: the
# same files, then their folders from the deepest up.
to_windows() { local path=${1#./}; [ "$path" = . ] && path=; path=${path//\//\\}; echo "\$INSTDIR${path:+\\$path}"; }
(
  cd "$stage"
  while IFS= read -r dir; do
    echo "SetOutPath \"$(to_windows "$dir")\""
    find "$dir" -maxdepth 1 -type f | LC_ALL=C sort | while IFS= read -r file; do echo "File \"$stage/${file#./}\""; done
  done < <(find . -type d | LC_ALL=C sort)
  echo "SetOutPath \"\$INSTDIR\""
) >"$lists/files.nsh"
(
  cd "$stage"
  find . -type f | LC_ALL=C sort | while IFS= read -r file; do echo "Delete \"$(to_windows "$file")\""; done
  find . -mindepth 1 -type d | LC_ALL=C sort -r | while IFS= read -r dir; do echo "RMDir \"$(to_windows "$dir")\""; done
) >"$lists/unfiles.nsh"

# Windows wants four numbers in a file's version.
IFS=. read -r -a parts <<<"$version"
while [ "${#parts[@]}" -lt 4 ]; do parts+=(0); done
version4=$(IFS=.; echo "${parts[*]:0:4}")

makensis -V2 -NOCD \
  -DVERSION="$version" -DVERSION4="$version4" \
  -DFILES="$lists/files.nsh" -DUNFILES="$lists/unfiles.nsh" \
  -DICON="$here/../../ui/resources/tts-tarnwick.ico" -DOUTFILE="$out" \
  "$here/installer.nsi"
echo "$out"
