# shellcheck shell=bash
# The project's version as CMakeLists.txt states it, the one place it is written.
project_version() {
  sed -n 's/^project(TTS_Tarnwick VERSION \([0-9.]*\).*/\1/p' "$(dirname "${BASH_SOURCE[0]}")/../../CMakeLists.txt"
}
