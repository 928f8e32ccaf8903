#!/usr/bin/env bash
# Builds the parser fuzzer with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# and runs it for N seconds (default 20) on the seed corpus. New inputs that widen the
# coverage go to a scratch corpus in the build directory; crashes are written there too.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DDOKA_BUILD_FUZZERS=ON -DDOKA_SANITIZE=address,undefined \
  -DDOKA_BUILD_TESTS=OFF -DDOKA_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target doka_parser_fuzzer

work="$build/fuzz/corpus-parser"
mkdir -p "$work" "$build/fuzz/crashes"
"$build/fuzz/doka_parser_fuzzer" "$work" fuzz/corpus/parser \
  -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$build/fuzz/crashes/"
