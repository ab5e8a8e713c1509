#!/bin/sh
# Runs one test program in a scratch home: its own HOME, TMPDIR and runtime folder,
# the C locale and the offscreen platform, so no test reads or writes the user's files.
# With --dbus first, the test also gets a private session bus.
set -u
use_bus=0
if [ "${1:-}" = "--dbus" ]; then
    use_bus=1
    shift
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-test.XXXXXX") || exit 1
mkdir -p "$scratch/home" "$scratch/tmp" "$scratch/run"
chmod 700 "$scratch/run"

export HOME="$scratch/home"
export TMPDIR="$scratch/tmp"
export XDG_RUNTIME_DIR="$scratch/run"
export LANG=C LC_ALL=C LANGUAGE=
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY

if [ "$use_bus" = 1 ]; then
    dbus-run-session -- "$@"
else
    # No bus at all: a test that needs one must ask for it.
    DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/run/no-bus" "$@"
fi
status=$?
rm -rf "$scratch"
exit $status
