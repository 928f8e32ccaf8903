#!/usr/bin/env bash
# Runs a command with a private Xvfb server of its own (free display number chosen by
# the server), so GUI tests can run in parallel and without a desktop; with --wm, under the
# openbox window manager, as on a desktop.
# Usage: with_xvfb.sh [--screen WIDTHxHEIGHTxDEPTH] [--wm] command [arguments...]
set -u
screen=1280x1024x24
if [ "${1:-}" = "--screen" ]; then
  screen=$2
  shift 2
fi
wm=""
if [ "${1:-}" = "--wm" ]; then
  wm=openbox
  shift
  command -v openbox >/dev/null || {
    echo "openbox is not installed (scripts/setup.sh installs it)" >&2
    exit 1
  }
fi
displayFile=$(mktemp)
Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
server=$!
manager=""
trap 'kill $manager "$server" 2>/dev/null; wait $manager "$server" 2>/dev/null; rm -f "$displayFile"' EXIT
# Up to a minute: in the test guest under load the server takes seconds to start.
for _ in $(seq 1200); do
  [ -s "$displayFile" ] && break
  sleep 0.05
done
if [ ! -s "$displayFile" ]; then
  echo "Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$displayFile")"
if [ -n "$wm" ]; then
  openbox --sm-disable >/dev/null 2>&1 &
  manager=$!
  # Ready once it has announced itself on the root window.
  for _ in $(seq 1200); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
    sleep 0.05
  done
fi
"$@"
