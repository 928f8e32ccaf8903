#!/usr/bin/env bash
# Builds the Debian package in a configured build directory (default build/), checks it
# with lintian (errors fail, warnings are listed) and hardening-check, unpacks it into a
# scratch root and starts the unpacked program under a private Xvfb with a scratch HOME: its
# window must appear, and SIGTERM must end it with exit status 0 after it saved its settings.
#   scripts/check-package.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."

# Second stage, under Xvfb: start the unpacked program, wait for its window, end it.
if [ "${1:-}" = "--run" ]; then
  program=$2 home=$3
  cd "$home"
  HOME="$home" "$program" >"$home/program.log" 2>&1 &
  pid=$!
  window=""
  for _ in $(seq 300); do
    # The main window by its title (set as _NET_WM_NAME, so not found by xwininfo -name).
    id=$(xwininfo -root -tree 2>/dev/null | awk '/"Fennic DOKA": \(/ { print $1; exit }')
    [ -n "$id" ] && window=$(xwininfo -id "$id" | grep -E "IsViewable|Width|Height" || true)
    [[ "$window" == *IsViewable* ]] && break
    window=""
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$window" ]; then
    echo "the installed program showed no window; its output:" >&2
    cat "$home/program.log" >&2
    kill -KILL "$pid" 2>/dev/null || true
    exit 1
  fi
  echo "its window is shown: ${window//$'\n'/,}"
  kill -TERM "$pid"
  status=0
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "the installed program ended with status $status after SIGTERM; its output:" >&2
    cat "$home/program.log" >&2
    exit 1
  fi
  exit 0
fi

dir=${1:-build}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/before"
cmake --build "$dir" --target package >/dev/null
deb=$(find "$dir" -maxdepth 1 -name 'doka-display_*.deb' -newer "$scratch/before" | head -n1)
[ -n "$deb" ] || {
  echo "no package was built in $dir" >&2
  exit 1
}
echo "package: $deb ($(du -k "$deb" | cut -f1) KiB)"
dpkg-deb -f "$deb" Depends | sed 's/^/Depends: /'

echo "--- lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" || {
  echo "lintian found errors in $deb" >&2
  exit 1
}

root=$scratch/root
mkdir -p "$root" "$scratch/home"
dpkg-deb -x "$deb" "$root"
for file in usr/bin/DOKA usr/share/applications/doka-display.desktop \
  usr/share/doka-display/resources/background.png usr/share/doc/doka-display/copyright \
  usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/doka-display.png; do
  [ -f "$root/$file" ] || {
    echo "missing from the package: /$file" >&2
    exit 1
  }
done
desktop-file-validate "$root/usr/share/applications/doka-display.desktop"
# A package of a debug or sanitizer build would work here and be wrong anywhere else.
if ! file "$root/usr/bin/DOKA" | grep -q ", stripped" || grep -q __asan_init "$root/usr/bin/DOKA"; then
  echo "/usr/bin/DOKA in the package is unstripped or built with a sanitizer" >&2
  exit 1
fi

# The hardening of Debian's packages; Debian 12's flags leave control-flow protection out.
echo "--- hardening-check"
hardening-check --nocfprotection "$root/usr/bin/DOKA" || {
  echo "/usr/bin/DOKA in the package lacks the distribution's hardening" >&2
  exit 1
}

# The toolkit's single-instance lock lives in /var/tmp for the whole machine: a private
# /var/tmp keeps a DOKA running elsewhere from turning this start into a hand-over.
private=(unshare --mount --map-root-user sh -c 'mount -t tmpfs tmpfs /var/tmp && exec "$@"' sh)
if ! "${private[@]}" true 2>/dev/null; then
  echo "no private /var/tmp here (unshare); a DOKA already running would fail this check"
  private=()
fi
echo "--- starting the installed program"
tests/gui/with_xvfb.sh "${private[@]}" "$0" --run "$root/usr/bin/DOKA" "$scratch/home"
[ -f "$scratch/home/.Fennic Labs/DOKA.fnst" ] || {
  echo "the installed program saved no settings in its HOME" >&2
  exit 1
}
echo "=== package checked: $deb"
