#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite plainly and under AddressSanitizer
# with UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, then a short
# fuzzing run of every reader of outside bytes (DOKA_FUZZ_SECONDS per fuzzer, default 10). Each
# variant keeps its own build directory, so repeated runs only rebuild what changed.
# Tests labelled "guest" run inside a qemu guest with a sound-capable kernel
# (tools/guest/run-in-guest); where that cannot run, CTest reports them as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

jobs=$(nproc)
# ccache's own cache (~/.cache/ccache unless CCACHE_DIR says otherwise), shared by every clone
# on the machine: paths are hashed relative to the clone, so another clone's objects hit.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
# JUCE expands __DATE__ and __TIME__; without this its modules never hit the cache.
export CCACHE_SLOPPINESS=time_macros
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# build <build dir> <sanitizers> [cmake options...]
build() {
  local dir=$1 sanitize=$2
  shift 2
  echo "=== ${dir} (${sanitize:-no sanitizer}) ==="
  local benchmarks=ON
  [ -n "$sanitize" ] && benchmarks=OFF
  cmake -S . -B "$dir" -G Ninja -DDOKA_SANITIZE="$sanitize" -DDOKA_BUILD_BENCHMARKS="$benchmarks" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# run_tests <build dir> [ctest arguments...]
run_tests() {
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure --parallel "$((jobs * 2))" --timeout 300 "$@"
}

build build ""
run_tests build
echo "=== the Debian package from build/: lintian, unpacked and started (scripts/check-package.sh) ==="
scripts/check-package.sh build
# The window tests are left out of this one, so it builds without the toolkit.
build build-asan "address,undefined" -DDOKA_BUILD_GUI=OFF
run_tests build-asan -LE gui
build build-tsan "thread"
run_tests build-tsan -L "threads|gui"

echo "=== fuzzing the readers of outside bytes (clang, ASan+UBSan) ==="
JOBS=$jobs fuzz/run.sh "${DOKA_FUZZ_SECONDS:-10}"
echo "=== all tests passed ==="
