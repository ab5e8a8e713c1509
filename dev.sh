#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   ./dev.sh run    install what the build needs, build, start the window program
#   ./dev.sh test   install what the build needs, build, run the whole test suite
#   ./dev.sh build  build only (no package install)
#   ./dev.sh package  build the Debian package, install it, try the installed programs,
#                     remove it again (root or sudo)
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

# package: builds the Debian package and checks it the way a user would meet it.
package() {
    # CPack asks dpkg-shlibdeps for the dependencies.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        dpkg-dev desktop-file-utils
    rm -f "$BUILD_DIR"/tarnwick-webserver_*.deb
    (cd "$BUILD_DIR" && cpack -G DEB)
    local debs=("$BUILD_DIR"/tarnwick-webserver_*.deb)
    local deb
    deb=$(realpath "${debs[0]}")
    dpkg-deb --info "$deb"
    local contents
    contents=$(dpkg-deb --contents "$deb")
    local path
    for path in usr/bin/TarnwickWebServer usr/bin/tarnwick-serve \
        usr/share/applications/TarnwickWebServer.desktop \
        usr/share/dbus-1/services/com.vardle.WebServer.service \
        usr/share/icons/hicolor/48x48/apps/TarnwickWebServer.png \
        usr/share/man/man1/TarnwickWebServer.1.gz usr/share/man/man1/tarnwick-serve.1.gz \
        opt/TarnwickWebServer/lang/C/upload.html opt/TarnwickWebServer/img/favicon.ico; do
        if ! grep -q " \./$path\$" <<<"$contents"; then
            echo "package: $path is missing" >&2
            exit 1
        fi
    done

    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb"
    trap 'as_root dpkg -r tarnwick-webserver' EXIT
    desktop-file-validate /usr/share/applications/TarnwickWebServer.desktop

    local scratch
    scratch=$(mktemp -d)
    mkdir "$scratch/home" "$scratch/shared"
    echo "shared from the package" >"$scratch/shared/note.txt"
    /usr/bin/tarnwick-serve --version

    # The installed server finds its pages and images in the data folder.
    local port=$((20000 + RANDOM % 20000))
    HOME="$scratch/home" /usr/bin/tarnwick-serve --port "$port" folder "$scratch/shared" &
    local server=$!
    sleep 1
    http_get "$port" / >"$scratch/listing" || true
    http_get "$port" /opt/TarnwickWebServer/img/favicon.ico >"$scratch/image" || true
    kill "$server"
    wait "$server"
    grep -q note.txt "$scratch/listing" || { echo "package: no folder listing" >&2; exit 1; }
    head -n 1 "$scratch/image" | grep -q "202 OK" || { echo "package: no image from the data folder" >&2; exit 1; }

    # A call to the bus name starts the installed window program through the service file.
    # shellcheck disable=SC2016 # the script's variables are its own
    HOME="$scratch/home" QT_QPA_PLATFORM=offscreen dbus-run-session -- sh -c '
        call() { dbus-send --session --print-reply --dest=com.vardle.WebServer / \
            com.vardle.WebServer.top_application 2>/dev/null; }
        call >/dev/null
        for i in $(seq 40); do call | grep -q "int32 0" && break; sleep 0.5; done
        pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
            org.freedesktop.DBus.GetConnectionUnixProcessID string:com.vardle.WebServer \
            | awk "/uint32/ { print \$2 }")
        program=$(readlink "/proc/$pid/exe")
        kill "$pid"
        echo "bus activation started $program"
        test "$program" = /usr/bin/TarnwickWebServer'
    rm -rf "$scratch"

    as_root dpkg -r tarnwick-webserver
    trap - EXIT
}

# http_get PORT PATH: the raw answer of a local server, without needing curl.
http_get() {
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n' "$2" >&3
    cat <&3
    exec 3<&-
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
package)
    deps
    build
    package
    ;;
*)
    echo "usage: $0 run|test|build|package" >&2
    exit 2
    ;;
esac
