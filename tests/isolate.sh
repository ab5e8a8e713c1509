#!/bin/sh
# Runs one test program in a scratch home: its own HOME, TMPDIR and runtime folder,
# the C locale and the offscreen platform, so no test reads or writes the user's files.
# With --dbus CONFIG first, the test also gets a private session bus of that configuration.
set -u
bus_config=
if [ "${1:-}" = "--dbus" ]; then
    bus_config=$2
    shift 2
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-test.XXXXXX") || exit 1
mkdir -m 700 "$scratch/home" "$scratch/tmp" "$scratch/run"

export HOME="$scratch/home"
export TMPDIR="$scratch/tmp"
export XDG_RUNTIME_DIR="$scratch/run"
export LANG=C LC_ALL=C LANGUAGE=
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY

if [ -n "$bus_config" ]; then
    dbus-run-session --config-file="$bus_config" -- "$@"
else
    # No bus at all: a test that needs one must ask for it.
    DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/run/no-bus" "$@"
fi
status=$?
rm -rf "$scratch"
exit $status
