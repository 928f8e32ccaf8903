#!/usr/bin/env bash
# Runs the program's soak test in the test guest for a chosen length (default 600 s): the
# module sends 1000 messages a second (DOKA_SOAK_RATE) and is replugged every 5 s
# (DOKA_SOAK_REPLUG_SECONDS); it prints what was sent and received, the replugs, and the
# program's resident memory and threads after the warm-up and at the end.
#
#   scripts/soak.sh [seconds] [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
build=$(cd "${2:-build}" && pwd -P)
cmake --build "$build" --target app_guest_test
DOKA_SOAK_SECONDS=$seconds exec tools/guest/run-in-guest --timeout $((seconds + 300)) \
    --share "$build" -- tests/gui/with_xvfb.sh "$build/tests/src/e2e/app_guest_test" \
    --gtest_filter='AppSoak.*'
