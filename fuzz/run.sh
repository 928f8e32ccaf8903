#!/usr/bin/env bash
# Builds the fuzzers with clang under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for N seconds (default 10) on its seed corpus in fuzz/corpus/<name>/: the MIDI
# input parser, the display protocol, the settings reader and the alias section loader.
# New inputs that widen the coverage go to a scratch corpus per fuzzer in the build
# directory (build-fuzz/, or DOKA_FUZZ_BUILD); crashes are written to its fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=${DOKA_FUZZ_BUILD:-build-fuzz}
# name and longest input: the parser's must pass one System Exclusive chunk, the settings
# reader's one examined line.
fuzzers=("parser 8192" "display 4096" "inifile 16384" "alias 16384")

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DDOKA_BUILD_FUZZERS=ON -DDOKA_SANITIZE=address,undefined \
  -DDOKA_BUILD_TESTS=OFF -DDOKA_BUILD_BENCHMARKS=OFF >/dev/null
targets=()
for entry in "${fuzzers[@]}"; do
  targets+=("doka_${entry%% *}_fuzzer")
done
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"

mkdir -p "$build/fuzz/crashes"
for entry in "${fuzzers[@]}"; do
  name=${entry%% *}
  echo "--- fuzzing ${name} for ${seconds} s"
  work="$build/fuzz/corpus-$name"
  mkdir -p "$work"
  "$build/fuzz/doka_${name}_fuzzer" "$work" "fuzz/corpus/$name" \
    -max_total_time="$seconds" -max_len="${entry##* }" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz/crashes/"
done
