#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   ./dev.sh run    install what the build needs, build, start the window program
#   ./dev.sh test   install what the build needs, build, run the whole test suite
#   ./dev.sh build  build only (no package install)
#   ./dev.sh faults install what the build needs, build tarnwick-serve, run the quick
#                   load and fault tests (bench/load_faults.py --quick)
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    dbus dbus-x11 xvfb xauth
)

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

deps() {
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${PACKAGES[@]}"
}

# build [TARGET...]: everything, or only the named targets.
build() {
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    local targets=()
    for target in "$@"; do targets+=(--target "$target"); done
    cmake --build "$BUILD_DIR" --parallel "${targets[@]}"
}

case "${1:-}" in
run)
    deps
    build TarnwickWebServer tarnwick-serve
    shift
    if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
        exec "$BUILD_DIR/bin/TarnwickWebServer" "$@"
    else
        exec dbus-run-session -- "$BUILD_DIR/bin/TarnwickWebServer" "$@"
    fi
    ;;
test)
    deps
    build
    cd "$BUILD_DIR"
    ctest --output-on-failure --parallel 2
    ;;
build)
    build
    ;;
faults)
    deps
    command -v python3 >/dev/null || as_root apt-get install -y --no-install-recommends python3
    build tarnwick-serve
    python3 bench/load_faults.py --quick --serve "$BUILD_DIR/bin/tarnwick-serve"
    ;;
*)
    echo "usage: $0 run|test|build|faults" >&2
    exit 2
    ;;
esac
