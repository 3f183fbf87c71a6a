#!/usr/bin/env bash
# Serves the built page (build-web/site, made by tools/build-web.sh) on this
# computer, with the headers a host of it should send, and prints its address.
# Usage: tools/serve-web.sh [PORT]; tools/serve-web.sh --headers prints those headers.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build-web/site/index.html ] || tools/build-web.sh
exec node web/serve.mjs build-web/site "${1:-8080}"
