#!/usr/bin/env bash
# Checks tools/guest/run-in-guest from outside: the guest has the sequencer with its kernel
# clients, the command's arguments, environment, exit status and two streams pass unchanged,
# the working folder is writable and the host's root is not; without qemu the runner says
# that the guest cannot run here (125, which CTest reports as skipped).
set -u
runner=$1
failures=0
check() { # description, condition...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

GUEST_QEMU=/nonexistent/qemu "$runner" -- true 2>/dev/null
check "without qemu the runner reports 125" [ $? = 125 ]

workdir=$(mktemp -d "$PWD/guest-test.XXXXXX")
cd "$workdir" || exit 1
trap 'rm -rf "$workdir"' EXIT
export GUEST_TEST_VALUE=$'two words\nand a \'quote\''
"$runner" -- sh -c '
    grep -q "\"Midi Through\"" /proc/asound/seq/clients || exit 10
    grep -q "\"Virtual Raw MIDI 0-3\"" /proc/asound/seq/clients || exit 11
    [ "$RUN_IN_GUEST" = 1 ] || exit 12
    touch /usr/run-in-guest-must-not-write 2>/dev/null && exit 13
    printf "%s" "$GUEST_TEST_VALUE" >value.txt
    printf "[%s]" "$@"
    echo "to stderr" >&2
    exit 7' sh "a b" "it's" '$HOME' >stdout.txt 2>stderr.txt
status=$?
[ $status = 125 ] && exit 125 # no guest here: the whole test is skipped
check "exit status comes back" [ $status = 7 ]
check "arguments pass unchanged" [ "$(cat stdout.txt)" = "[a b][it's][\$HOME]" ]
check "stderr comes back apart" [ "$(cat stderr.txt)" = "to stderr" ]
check "environment passes, working folder is writable" \
    [ "$(cat value.txt 2>/dev/null)" = "$GUEST_TEST_VALUE" ]
[ $failures = 0 ]
