# shellcheck shell=bash
# The project's version as CMakeLists.txt states it, the one place it is written.
project_version() {
  sed -n 's/^project(TTS_Tarnwick VERSION \([0-9.]*\).*/\1/p' "$(dirname "${BASH_SOURCE[0]}")/../../CMakeLists.txt"
}

# The time a build of these sources is dated by, in seconds since 1970: the
# caller's SOURCE_DATE_EPOCH, else the last commit's, so that the same sources
# give the same archives whenever they are built.
source_date_epoch() {
  [ -n "${SOURCE_DATE_EPOCH:-}" ] && { echo "$SOURCE_DATE_EPOCH"; return; }
  git -C "$(dirname "${BASH_SOURCE[0]}")" log -1 --format=%ct 2>/dev/null || date +%s
}
