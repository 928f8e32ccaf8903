#!/usr/bin/env bash
# Runs a command with a private Xvfb server of its own (free display number chosen by
# the server), so GUI tests can run in parallel and without a desktop.
# Usage: with_xvfb.sh [--screen WIDTHxHEIGHTxDEPTH] command [arguments...]
set -u
screen=1280x1024x24
if [ "${1:-}" = "--screen" ]; then
  screen=$2
  shift 2
fi
displayFile=$(mktemp)
Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$displayFile"' EXIT
# Up to a minute: in the test guest under load the server takes seconds to start.
for _ in $(seq 1200); do
  [ -s "$displayFile" ] && break
  sleep 0.05
done
if [ ! -s "$displayFile" ]; then
  echo "Xvfb did not start" >&2
  exit 1
fi
DISPLAY=":$(head -n1 "$displayFile")" "$@"
