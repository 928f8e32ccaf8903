#!/usr/bin/env bash
# Builds the application optimised (build-release/) and prints its figures: display
# latency (to the web view's page too, in Chromium when it is installed), start-up time,
# resident memory, and idle wake-ups and CPU per thread beside a bare JUCE window's, also with
# the web view on, on a private Xvfb server.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

# ccache's own cache, shared with the test command and other clones (see scripts/test.sh).
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
export CCACHE_SLOPPINESS=time_macros
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release --target doka_app doka_app_measure doka_bare_window -j "$(nproc)"
tests/gui/with_xvfb.sh build-release/bench/app/doka_app_measure build-release/src/DOKA \
  build-release/bench/app/doka_bare_window
