#!/usr/bin/env bash
# Builds the browser page into build-web/site/: the engine and its binding
# compiled to WebAssembly with Debian's Emscripten, and the page's own files.
# The folder is a static site: serve it as it is (tools/serve-web.sh here).
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD

tools/install-deps.sh build web
# Emscripten's own tools find their node modules here with this machine's node.
export NODE_PATH=/usr/share/nodejs
build="build-web"

# The page's zip writer and the browser tests' tools, at the versions the
# lock file pins.
(cd web && npm ci --no-audit --no-fund --loglevel=error)

# xxHash is header-only: a copy of its header, away from the host's others.
mkdir -p "$build/xxhash"
cp /usr/include/xxhash.h "$build/xxhash/"

emcmake cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARNWICK_BUILD_WEB=ON -DTARNWICK_BUILD_UI=OFF -DTARNWICK_BUILD_CLI=OFF -DBUILD_TESTING=OFF \
  -DTARNWICK_XXHASH_INCLUDE_DIR="$project/$build/xxhash" -DTARNWICK_WEB_SITE="$project/$build/site" \
  -DTARNWICK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"


size=$(cd "$build/site" && find . -type f -exec gzip -9c {} \; | wc -c)
echo "Site in $build/site: $(du -sk "$build/site" | cut -f1) KiB, $((size / 1024)) KiB compressed"
