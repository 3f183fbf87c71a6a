#!/usr/bin/env bash
# Tests the browser page (build-web/site, made by tools/build-web.sh) in
# Chromium, Firefox ESR and WebKitGTK against the native command line of the
# build folder given (default: build). WebKit's MiniBrowser needs a display:
# the tests run on a virtual one. Screenshots go to build-web/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
tools/install-deps.sh web
export TARNWICK_SITE=$PWD/build-web/site
export TARNWICK_CLI=$PWD/$native/cli/tts-tarnwick-cli
export TARNWICK_DEMO=$PWD/$native/tools/make-demo-voice
export TARNWICK_SHOTS=$PWD/build-web/screenshots
node build-web/web/own_pass_check.js
xvfb-run -a -s "-screen 0 1280x1024x24" node --test --test-reporter=spec --test-concurrency=1 tests/web/ 2>&1 |
  tee build-web/tests.log
grep -q '^ℹ fail 0$' build-web/tests.log
