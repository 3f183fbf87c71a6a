#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, and only those missing.
# Usage: tools/install-deps.sh [build|test|screenshots|windows|web|package|release]...
set -euo pipefail

# A command that installed every set up front says so: its stages ask again
# and need not look.
if [ -n "${TARNWICK_DEPS_INSTALLED:-}" ]; then
  covered=1
  for need in "$@"; do
    [[ " $TARNWICK_DEPS_INSTALLED " == *" $need "* ]] || covered=0
  done
  [ "$covered" -eq 1 ] && exit 0
fi

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libcli11-dev nlohmann-json3-dev libxxhash-dev shared-mime-info fonts-dejavu-core xvfb xauth)
for need in "$@"; do
  case "$need" in
    build) ;;
    test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev dosfstools fusefat shellcheck
                     python3-jsonschema) ;;
    screenshots) packages+=(xdotool imagemagick x11-apps) ;;
    package) packages+=(dpkg-dev lintian appstream desktop-file-utils mmdebstrap) ;;
    release) packages+=(diffoscope-minimal) ;;
    web) packages+=(emscripten chromium firefox-esr webkit2gtk-driver xvfb xauth)
         # Node.js and npm may come from elsewhere than Debian (nodesource): take Debian's only if none is here.
         command -v npm >/dev/null || packages+=(nodejs npm) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 googletest dpkg-dev qt6-base-dev-tools zip unzip nsis
                        xdotool imagemagick x11-apps x11-utils) ;;
    *) echo "unknown package set: $need" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
