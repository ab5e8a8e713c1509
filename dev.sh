#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   ./dev.sh run    install what the build needs, build, start the window program
#   ./dev.sh test   install what the build needs, build, run the whole test suite
#   ./dev.sh build  build only (no package install)
#   ./dev.sh fuzz [SECONDS]  install clang, build the fuzz targets, run each for SECONDS (30)
#   ./dev.sh package  build the Debian package (in build-package/, without the tests),
#                     install it, try the installed programs, remove it again (root or sudo)
#   ./dev.sh asan   install, build with AddressSanitizer and UndefinedBehaviorSanitizer
#                   into build-asan/, run the whole test suite
#   ./dev.sh tsan   install, build the threaded tests with ThreadSanitizer into
#                   build-tsan/, run them
#   ./dev.sh faults install what the build needs, build tarnwick-serve, run the quick
#                   load and fault tests (bench/load_faults.py --quick)
#   ./dev.sh ratio  print the non-blank lines of the tests (everything under tests/ that is
#                   code, and the scripts CI runs to check behaviour) against those of the
#                   product (.h/.cpp outside tests/, bench/ and docs/); fails above 40 %
#   ./dev.sh mutants [--check] [--with-faults] [ID...]
#                   plant each fault of tests/planted_faults.txt in turn (or the named
#                   ones), build, run the suite and list the tests that catch it; the
#                   table goes to $BUILD_DIR/mutants.tsv. Not run by CI.
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
PACKAGE_BUILD_DIR=${PACKAGE_BUILD_DIR:-build-package}
ASAN_BUILD_DIR=${ASAN_BUILD_DIR:-build-asan}
TSAN_BUILD_DIR=${TSAN_BUILD_DIR:-build-tsan}
# g++ brings the sanitizers' run-time libraries along (libasan, libubsan, libtsan).
PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libqrencode-dev
    dbus dbus-x11 xvfb xauth zbar-tools
)
# Only the fuzz step needs these: the compiler, libFuzzer and the sanitizer runtimes,
# and the symbolizer that puts file and line into a crash report.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)
FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
# Each fuzz target with its longest input: the head's line bound fits, and so does a
# part header with some content behind it; the other inputs are short.
FUZZ_TARGETS=(requesthead:9000 multipart:4096 credentials:512 paramfile:1024 range:512)
FUZZ_JOBS=${FUZZ_JOBS:-2}

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# apt-get as root, waiting for the package manager's lock (another install, the daily
# upgrade) instead of failing.
apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# The browser test's tools: Debian's chromium and node, and playwright-core in the build
# folder, pinned (1.61 is the last to run on Debian's node 18; it drives that chromium and
# never downloads a browser of its own). Only what is missing is installed.
PLAYWRIGHT_CORE_VERSION=1.61.1
browser_deps() {
    local dir="$BUILD_DIR/playwright" packages=()
    [ -x /usr/bin/chromium ] || packages+=(chromium)
    command -v node >/dev/null || packages+=(nodejs)
    command -v npm >/dev/null || packages+=(npm)
    if [ ${#packages[@]} -gt 0 ]; then
        apt_get install -y -qq --no-install-recommends \
            "${packages[@]}" >/dev/null
    fi
    if [ "$(node -p 'require(process.argv[1]).version' "$dir/node_modules/playwright-core/package.json" \
        2>/dev/null)" != "$PLAYWRIGHT_CORE_VERSION" ]; then
        npm install --prefix "$dir" --no-save --no-audit --no-fund --loglevel=error \
            "playwright-core@$PLAYWRIGHT_CORE_VERSION" >/dev/null
    fi
}

deps() {
    apt_get update
    apt_get install -y --no-install-recommends "${PACKAGES[@]}"
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

# package: builds the Debian package and checks it the way a user would meet it.
package() {
    # CPack asks dpkg-shlibdeps for the dependencies.
    apt_get install -y --no-install-recommends dpkg-dev desktop-file-utils
    # Only what goes into the package, in a folder of its own.
    cmake -S . -B "$PACKAGE_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF
    cmake --build "$PACKAGE_BUILD_DIR" --parallel
    rm -f "$PACKAGE_BUILD_DIR"/tarnwick-webserver_*.deb
    (cd "$PACKAGE_BUILD_DIR" && cpack -G DEB)
    local debs=("$PACKAGE_BUILD_DIR"/tarnwick-webserver_*.deb)
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
        usr/share/doc/tarnwick-webserver/README.md usr/share/doc/tarnwick-webserver/changelog.gz \
        opt/TarnwickWebServer/lang/C/upload.html opt/TarnwickWebServer/img/favicon.ico; do
        if ! grep -q " \./$path\$" <<<"$contents"; then
            echo "package: $path is missing" >&2
            exit 1
        fi
    done

    apt_get install -y --no-install-recommends "$deb"
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

    # Removed as a user would, without a warning (a folder left behind, say).
    local removal
    removal=$(apt_get remove -y tarnwick-webserver 2>&1)
    trap - EXIT
    echo "$removal"
    if grep -qi "warning" <<<"$removal"; then
        echo "package: its removal warns" >&2
        exit 1
    fi
}

# http_get PORT PATH: the raw answer of a local server, without needing curl.
http_get() {
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n' "$2" >&3
    cat <&3
    exec 3<&-
}

# sanitized DIR SANITIZERS [TARGET...]: a build of our code with the sanitizers in DIR.
# Qt stays uninstrumented; see TARNWICK_SANITIZE in CMakeLists.txt for what that means.
sanitized() {
    local dir=$1 sanitizers=$2
    shift 2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DTARNWICK_SANITIZE=$sanitizers"
    local targets=()
    for target in "$@"; do targets+=(--target "$target"); done
    cmake --build "$dir" --parallel "${targets[@]}"
}

# ratio: see the head of this file. A bench script counts when .ci/run names it, or runs
# the dev.sh step that does.
ratio() {
    local tests product
    tests=$( { git ls-files tests | grep -E '\.(cpp|h|py|mjs|js|sh)$|CMakeLists\.txt$'
               for f in $(git ls-files bench | grep -E '\.(py|sh)$'); do
                   if grep -q "$(basename "$f")" .ci/run || { grep -q "$(basename "$f")" dev.sh \
                       && grep -qE 'dev\.sh +faults' .ci/run; }; then echo "$f"; fi
               done; } | xargs cat | grep -cv '^\s*$')
    product=$(git ls-files | grep -E '\.(cpp|h)$' | grep -vE '^(tests|bench|docs)/' | xargs cat | grep -cv '^\s*$')
    local percent=$((100 * tests / product))
    echo "tests $tests, product $product: $percent %"
    [ "$percent" -le 40 ]
}

# mutants [--check] [--with-faults] [ID...]: see the head of this file.
mutants() {
    python3 - "$BUILD_DIR" "$@" <<'PY'
import os, re, subprocess, sys
build, args = sys.argv[1], sys.argv[2:]
check = '--check' in args
with_faults = '--with-faults' in args
wanted = [a for a in args if not a.startswith('--')]

faults, cur = [], None
for line in open('tests/planted_faults.txt', encoding='utf-8'):
    line = line.rstrip('\n')
    if line.startswith('== '):
        ident, _, what = line[3:].partition(': ')
        cur = {'id': ident, 'what': what, 'file': None, 'old': [], 'new': []}
        faults.append(cur)
    elif cur and line.startswith('@ '):
        cur['file'] = line[2:]
    elif cur and line.startswith('- '):
        cur['old'].append(line[2:])
    elif cur and line.startswith('+ '):
        cur['new'].append(line[2:])
bad = 0
for f in faults:
    f['old'], f['new'] = '\n'.join(f['old']), '\n'.join(f['new'])
    n = open(f['file'], encoding='utf-8').read().count(f['old'])
    if n != 1:
        print(f"{f['id']}: the text occurs {n} times in {f['file']}")
        bad += 1
if bad or check:
    print(f"{len(faults)} faults, {bad} unusable")
    sys.exit(1 if bad else 0)
if wanted:
    faults = [f for f in faults if f['id'] in wanted]

def run_suite():
    if subprocess.run(['cmake', '--build', build], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0:
        return ['(build failed)']
    log = os.path.join(build, 'Testing/Temporary/LastTestsFailed.log')
    if os.path.exists(log):
        os.remove(log)
    subprocess.run(['ctest', '--parallel', '2', '--timeout', '120'], cwd=build,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    failed = []
    if os.path.exists(log):
        failed = [l.strip().split(':', 1)[1] for l in open(log) if ':' in l]
    if with_faults:
        r = subprocess.run(['python3', 'bench/load_faults.py', '--quick', '--serve',
                            os.path.join(build, 'bin/tarnwick-serve')],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        if r.returncode != 0:
            failed.append('load_faults')
    return failed

base = run_suite()
if base:
    print('the suite fails without a planted fault:', ' '.join(base))
    sys.exit(1)
out = open(os.path.join(build, 'mutants.tsv'), 'w')
caught = 0
for f in faults:
    original = open(f['file'], encoding='utf-8').read()
    try:
        open(f['file'], 'w', encoding='utf-8').write(original.replace(f['old'], f['new']))
        failed = run_suite()
    finally:
        open(f['file'], 'w', encoding='utf-8').write(original)
    caught += bool(failed)
    row = f"{f['id']}\t{f['what']}\t{' '.join(failed) or 'NOT CAUGHT'}"
    print(row, flush=True)
    out.write(row + '\n')
    out.flush()
subprocess.run(['cmake', '--build', build], stdout=subprocess.DEVNULL)
print(f"{caught} of {len(faults)} faults caught")
PY
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
    browser_deps || echo "the browser test's tools could not be installed; it will be skipped"
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
package)
    deps
    package
    ;;
asan)
    deps
    sanitized "$ASAN_BUILD_DIR" "address;undefined"
    cd "$ASAN_BUILD_DIR"
    ctest --output-on-failure --parallel 2
    ;;
tsan)
    deps
    # Only the tests that run our code on several threads; the rest would add build time
    # and find nothing a single thread cannot show.
    sanitized "$TSAN_BUILD_DIR" thread tarnwick_thread_tests
    cd "$TSAN_BUILD_DIR"
    ctest --output-on-failure --parallel 2 -L threads
    ;;
faults)
    deps
    command -v python3 >/dev/null || apt_get install -y --no-install-recommends python3
    build tarnwick-serve
    python3 bench/load_faults.py --quick --serve "$BUILD_DIR/bin/tarnwick-serve"
    ;;
ratio)
    ratio
    ;;
mutants)
    shift
    mutants "$@"
    ;;
*)
    echo "usage: $0 run|test|build|faults|ratio|mutants|package|asan|tsan|fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
