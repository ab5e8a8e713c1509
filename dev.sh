#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   ./dev.sh run    install what the build needs, build, start the window program
#   ./dev.sh test   install what the build needs, build, run the whole test suite
#   ./dev.sh build  build only (no package install)
#   ./dev.sh fuzz [SECONDS]  install clang, build the fuzz targets, run each for SECONDS (30)
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    dbus dbus-x11 xvfb xauth
)
# Only the fuzz step needs these: the compiler, libFuzzer and the sanitizer runtimes,
# and the symbolizer that puts file and line into a crash report.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)
FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
# Each fuzz target with its longest input: the head's line bound fits, and so does a
# part header with some content behind it; the other inputs are short.
FUZZ_TARGETS=(requesthead:9000 multipart:4096 credentials:512 paramfile:1024)
FUZZ_JOBS=${FUZZ_JOBS:-2}

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

# fuzz_one NAME MAX_LEN SECONDS: new inputs go to the build folder's corpus, a crash,
# hang or runaway allocation to its crashes/ folder, and fails the run.
fuzz_one() {
    local name=$1 max_len=$2 seconds=$3
    local out="$FUZZ_BUILD_DIR/fuzz-runs"
    mkdir -p "$out/corpus/$name" "$out/crashes"
    if ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer \
        "$FUZZ_BUILD_DIR/bin/fuzz_$name" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=512 -max_len="$max_len" \
        -dict="tests/fuzz/$name.dict" -artifact_prefix="$out/crashes/$name-" -print_final_stats=1 \
        "$out/corpus/$name" "tests/fuzz/corpus/$name" >"$out/$name.log" 2>&1; then
        echo "fuzz_$name: no crash in $(grep -o -m1 'Done [0-9]* runs' "$out/$name.log" | cut -d' ' -f2) runs, ${seconds} s"
    else
        echo "fuzz_$name FAILED (log: $out/$name.log, input: $out/crashes/):"
        tail -n 80 "$out/$name.log"
        return 1
    fi
}

fuzz() {
    local seconds=$1
    cmake -S . -B "$FUZZ_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_COMPILER=clang++-14 -DTARNWICK_BUILD_FUZZ=ON
    local targets=()
    for entry in "${FUZZ_TARGETS[@]}"; do targets+=(--target "fuzz_${entry%%:*}"); done
    cmake --build "$FUZZ_BUILD_DIR" --parallel "${targets[@]}"

    local failed=0 running=0
    for entry in "${FUZZ_TARGETS[@]}"; do
        if [ "$running" -ge "$FUZZ_JOBS" ]; then
            wait -n || failed=$((failed + 1))
            running=$((running - 1))
        fi
        fuzz_one "${entry%%:*}" "${entry##*:}" "$seconds" &
        running=$((running + 1))
    done
    while [ "$running" -gt 0 ]; do
        wait -n || failed=$((failed + 1))
        running=$((running - 1))
    done
    echo "fuzz: $((${#FUZZ_TARGETS[@]} - failed)) passed, $failed failed"
    [ "$failed" = 0 ]
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
fuzz)
    PACKAGES+=("${FUZZ_PACKAGES[@]}")
    deps
    fuzz "${2:-30}"
    ;;
*)
    echo "usage: $0 run|test|build|fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
