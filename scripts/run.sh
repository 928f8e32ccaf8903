#!/usr/bin/env bash
# Sets up (packages, when missing), configures and builds the application in build/, then
# starts it; arguments are passed on (for example /dump).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

# ccache's own cache, shared with the test command and other clones (see scripts/test.sh).
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
export CCACHE_SLOPPINESS=time_macros
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target doka_app -j "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: start this from a desktop session (DISPLAY is not set)." >&2
  exit 1
fi
exec build/src/DOKA "$@"
