#!/usr/bin/env bash
# Builds bench/GuestLatency.cpp and runs it inside the test guest (tools/guest/run-in-guest):
# thru latency of the MIDI library beside the kernel's direct connection and a bare
# libasound forwarder, measured in the same run.
#   bench/guest-latency.sh [BUILD DIR]     (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cmake --build "$build" --target doka_guest_latency
echo "host: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
cd "$build"
exec "$root/tools/guest/run-in-guest" --timeout 600 -- sh -c '
    echo "guest: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2- | sed "s/^ //")"
    exec "$0"' "$build/bench/doka_guest_latency"
