#!/usr/bin/env bash
# Long fuzzing runs: builds the fuzzers with clang, libFuzzer and UndefinedBehaviorSanitizer
# in build-fuzz-long/ (or DOKA_FUZZ_LONG_BUILD) and runs every fuzzer for N executions
# (default 10000000) on a fresh scratch copy of its seed corpus, two at a time
# (DOKA_FUZZ_JOBS). Prints per fuzzer the executions, their rate, wall and CPU time,
# coverage, peak memory and findings; each run's log and crashes stay in
# <build>/fuzz/long-<name>/.
#   fuzz/long-run.sh [runs] [name...]     e.g. fuzz/long-run.sh 1000000 parser display
# Built for speed, as a long run is for the logic checks the fuzzers make: without
# AddressSanitizer (run.sh and the test suite cover memory errors) and without tracing the
# comparisons (tracing them takes more than half of the parser fuzzer's time; the seeds carry
# the keywords, and string comparisons still feed libFuzzer's dictionary). run.sh keeps both.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10000000}
shift || true
build=${DOKA_FUZZ_LONG_BUILD:-build-fuzz-long}
jobs=${DOKA_FUZZ_JOBS:-2}
# name and longest input. Shorter than run.sh's: at a few hundred bytes the mutations
# change a larger part of each input and every execution is cheaper, so a long run tries
# far more distinct structures. The parser's System Exclusive chunks of 2048 bytes and a
# settings line past the 8000 examined bytes are left to run.sh and the unit tests.
declare -A maxLen=([parser]=512 [display]=256 [inifile]=1024 [alias]=1024)
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(parser display inifile alias)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DDOKA_BUILD_FUZZERS=ON -DDOKA_SANITIZE=undefined \
  -DCMAKE_CXX_FLAGS=-fno-sanitize-coverage=trace-cmp -DDOKA_BUILD_TESTS=OFF \
  -DDOKA_BUILD_BENCHMARKS=OFF >/dev/null
targets=()
for name in "${names[@]}"; do
  [ -n "${maxLen[$name]:-}" ] || { echo "unknown fuzzer: $name" >&2; exit 2; }
  targets+=("doka_${name}_fuzzer")
done
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"

# One run; its log gets bash's times (real, user, sys) as the last line.
runOne() {
  local name=$1 dir="$build/fuzz/long-$1"
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/crashes"
  cp "fuzz/corpus/$name/"* "$dir/corpus/"
  local TIMEFORMAT='times: %R %U %S'
  {
    time "$build/fuzz/doka_${name}_fuzzer" "$dir/corpus" -runs="$runs" \
      -max_len="${maxLen[$name]}" -print_final_stats=1 -timeout=60 \
      -artifact_prefix="$dir/crashes/" && echo "exit: 0" || echo "exit: $?"
  } >"$dir/log" 2>&1
}

stat() { sed -n "s/^stat::$1: *//p" "$2"; }

report() {
  local name=$1 log="$build/fuzz/long-$1/log"
  local execs wall user sys cpu coverage findings
  execs=$(stat number_of_executed_units "$log")
  read -r wall user sys < <(sed -n 's/^times: //p' "$log")
  cpu=$(awk "BEGIN { print $user + $sys }")
  coverage=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
  findings=$(find "$build/fuzz/long-$name/crashes" -type f | wc -l)
  printf '%-8s %s executions, %s exec/s (%s per CPU-s), wall %s s, CPU %s s, %s, ' \
    "$name" "${execs:-?}" "$(stat average_exec_per_sec "$log")" \
    "$(awk "BEGIN { printf \"%d\", ${execs:-0} / ($cpu + 0.001) }")" "$wall" "$cpu" \
    "${coverage:-no DONE line}"
  printf 'peak RSS %s MB, corpus +%s, findings %s (%s)\n' "$(stat peak_rss_mb "$log")" \
    "$(stat new_units_added "$log")" "$findings" "$(sed -n 's/^exit: //p' "$log")"
  [ "$findings" -eq 0 ] && grep -q '^exit: 0$' "$log"
}

for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    wait -n || true
  done
  echo "--- fuzzing $name for $runs executions (max_len ${maxLen[$name]})"
  runOne "$name" &
done
wait

status=0
for name in "${names[@]}"; do
  report "$name" || status=1
done
exit $status
