#!/usr/bin/env bash
# Measures tarnwick-serve against nginx, lighttpd and python3's http.server, all on
# loopback, and prints the figures with the ratios of ours to each peer. The same table
# goes to bench/results.md. See bench/README.md.
#
#   bench/run.sh [--quick] [--uploads] [--keep]
#
# Environment: TARNWICK_SERVE (our program; default build/bin/tarnwick-serve),
# TARNWICK_SERVE_ARGS (extra options for it), TARNWICK_RECEIVE_DIR and
# TARNWICK_RECEIVE_ARGS (for uploads to ours, see bench/README.md), BENCH_SERVERS (a
# subset of "tarnwick-serve nginx lighttpd http.server"), XDG_CACHE_HOME (where the 1 GiB
# file is kept).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
export PATH="$PATH:/usr/sbin:/sbin"
export LC_ALL=C

usage() {
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
}

quick=0
keep=0
uploads_only=0
for arg in "$@"; do
    case $arg in
    --quick) quick=1 ;;
    --uploads) uploads_only=1 ;;
    --keep) keep=1 ;;
    -h | --help)
        usage
        exit 0
        ;;
    *)
        usage >&2
        exit 2
        ;;
    esac
done

# How long each figure is measured. A rate is the median of several timed runs; a
# transfer is cut off after DL_MAX_S, and then counts with what arrived and as an error.
if [ "$quick" = 1 ]; then
    REPS=3 RATE_S=2 DL_REPS=1 DL_MAX_S=15
else
    REPS=3 RATE_S=5 DL_REPS=3 DL_MAX_S=30
fi
SAMPLE_INTERVAL_S=0.1
READY_WAIT_S=10
STOP_WAIT_S=10

OURS=tarnwick-serve
SERVE=${TARNWICK_SERVE:-$top/build/bin/tarnwick-serve}
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick-bench
SMALL_FILES=1000
BIG_SIZE=$((1024 * 1024 * 1024))
PART_SIZE=$((64 * 1024 * 1024))
MIB=$((1024 * 1024))

started=$(date +%s)
say() { printf '[%4ss] %s\n' "$(($(date +%s) - started))" "$*" >&2; }
die() {
    say "error: $*"
    exit 1
}

# ---------------------------------------------------------------------------------------
# Tools

# command -> Debian package
declare -A PACKAGE=([wrk]=wrk [ab]=apache2-utils [curl]=curl [python3]=python3
    [nginx]=nginx-light [lighttpd]=lighttpd [/usr/bin/time]=time)

# lighttpd takes uploads with this module, packaged on its own.
LIGHTTPD_WEBDAV=/usr/lib/lighttpd/mod_webdav.so

install_missing() {
    local missing=() cmd
    for cmd in "${!PACKAGE[@]}"; do
        command -v "$cmd" >/dev/null 2>&1 || missing+=("${PACKAGE[$cmd]}")
    done
    [ -e "$LIGHTTPD_WEBDAV" ] || missing+=(lighttpd-mod-webdav)
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        say "missing: ${missing[*]} (as root: apt-get install ${missing[*]})"
        return 0
    fi
    say "installing ${missing[*]}"
    apt-get update -qq
    # nginx-light is the small build; later releases only have nginx itself.
    if [[ " ${missing[*]} " == *" nginx-light "* ]] && ! apt-cache show nginx-light >/dev/null 2>&1; then
        missing=("${missing[@]/nginx-light/nginx}")
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

install_missing
for cmd in wrk ab curl python3 /usr/bin/time; do
    command -v "$cmd" >/dev/null 2>&1 || die "$cmd is needed (package ${PACKAGE[$cmd]})"
done

# ---------------------------------------------------------------------------------------
# Work folder, data and clean-up

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
SHARE=$WORK/share
RESULTS=$WORK/results.tsv
declare -A PID PORT
# Servers that take uploads: how (put: PUT of the bytes; form: POST of a multipart form),
# where to, and the folder in which the files land.
declare -A UPLOAD_KIND UPLOAD_URL UPLOAD_DIR
SAMPLER=

stop_pid() {
    local pid=$1 waited=0
    kill -TERM "$pid" 2>/dev/null || return 0
    while kill -0 "$pid" 2>/dev/null && [ $waited -lt $((STOP_WAIT_S * 10)) ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        say "pid $pid did not stop on SIGTERM; killing it"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    local name
    [ -n "$SAMPLER" ] && stop_pid "$SAMPLER"
    for name in "${!PID[@]}"; do
        stop_pid "${PID[$name]}"
    done
    if [ "$keep" = 1 ]; then
        say "kept $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

make_data() {
    mkdir -p "$CACHE" "$SHARE"
    local big=$CACHE/big-1GiB.bin
    if [ "$(stat -c %s "$big" 2>/dev/null || echo 0)" != "$BIG_SIZE" ]; then
        local free_kib
        free_kib=$(df -Pk "$CACHE" | awk 'NR == 2 { print $4 }')
        [ "$free_kib" -gt $((BIG_SIZE / 1024 + 65536)) ] || die "not enough space in $CACHE for the 1 GiB file"
        say "writing the 1 GiB file of random bytes (once; kept in $CACHE)"
        head -c "$BIG_SIZE" /dev/urandom >"$big.part"
        mv "$big.part" "$big"
    fi
    # Real bytes for every server, read from the page cache alike.
    ln "$big" "$SHARE/big.bin" 2>/dev/null || ln -s "$big" "$SHARE/big.bin"
    cat "$big" >/dev/null
    # The files the uploads send, outside the shared folder.
    mkdir -p "$WORK/upload-source"
    ln -s "$big" "$WORK/upload-source/big.bin"
    head -c "$PART_SIZE" "$big" >"$WORK/upload-source/part.bin"
    head -c 1024 /dev/urandom >"$SHARE/small.bin"
    python3 - "$SHARE" "$SMALL_FILES" <<'EOF'
import os, sys
folder, count = sys.argv[1], int(sys.argv[2])
line = b"0123456789abcdef" * 4 + b"\n"  # 65 bytes
for i in range(count):
    with open(os.path.join(folder, f"file-{i:04d}.txt"), "wb") as f:
        f.write((line * 16)[:1024])
EOF
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# ---------------------------------------------------------------------------------------
# Servers. Each serves $SHARE; "/" is its listing, "/small.bin" and "/big.bin" the files.

start_tarnwick() {
    [ -x "$SERVE" ] || {
        say "skipping $OURS: no program at $SERVE (build it, or set TARNWICK_SERVE)"
        return 1
    }
    # A home and temporary folder of its own: the settings of the user running the
    # benchmark (a password, a data limit) must not shape the figures.
    mkdir -p "$WORK/tarnwick/home" "$WORK/tarnwick/tmp"
    # shellcheck disable=SC2086 # the extra options are words
    HOME=$WORK/tarnwick/home TMPDIR=$WORK/tarnwick/tmp \
        "$SERVE" --port "$1" ${TARNWICK_SERVE_ARGS:-} folder "$SHARE" >"$WORK/tarnwick/out.log" 2>&1 &
    PID[$OURS]=$!
}

# Our uploads go to a second instance in its receive mode, which stores them in
# TARNWICK_RECEIVE_DIR, by default a folder of the run (the script deletes each received
# file after checking its size); TARNWICK_RECEIVE_ARGS may add options.
start_tarnwick_receive() {
    local name=$OURS-receive port dir=${TARNWICK_RECEIVE_DIR:-$WORK/tarnwick/received}
    mkdir -p "$dir"
    port=$(free_port)
    # shellcheck disable=SC2086 # the extra options are words
    HOME=$WORK/tarnwick/home TMPDIR=$WORK/tarnwick/tmp \
        "$SERVE" --port "$port" ${TARNWICK_SERVE_ARGS:-} --download-dir "$dir" ${TARNWICK_RECEIVE_ARGS:-} receive \
        >"$WORK/tarnwick/receive.log" 2>&1 &
    PID[$name]=$!
    PORT[$name]=$port
    if wait_ready "$name" /; then
        UPLOAD_KIND[$OURS]=form UPLOAD_URL[$OURS]=http://127.0.0.1:$port/upload
        UPLOAD_DIR[$OURS]=$dir
        say "$OURS (receive): pid ${PID[$name]}, port $port, storing in $dir"
    else
        say "$OURS (receive) did not answer on port $port; no uploads to it (--keep keeps its log)"
        stop_pid "${PID[$name]}"
        unset "PID[$name]"
    fi
}

start_nginx() {
    command -v nginx >/dev/null 2>&1 || {
        say "skipping nginx: not installed"
        return 1
    }
    local dir=$WORK/nginx user=
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && user="user root;"
    cat >"$dir/nginx.conf" <<EOF
$user
daemon off;
master_process on;
worker_processes auto;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    server {
        listen 127.0.0.1:$1;
        root $SHARE;
        autoindex on;
        location /upload/ {
            alias $dir/upload/;
            dav_methods PUT;
            client_max_body_size 0;
        }
    }
}
EOF
    mkdir -p "$dir/upload"
    nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" >"$dir/out.log" 2>&1 &
    PID[nginx]=$!
    UPLOAD_KIND[nginx]=put UPLOAD_URL[nginx]=http://127.0.0.1:$1/upload/ UPLOAD_DIR[nginx]=$dir/upload
}

start_lighttpd() {
    command -v lighttpd >/dev/null 2>&1 || {
        say "skipping lighttpd: not installed"
        return 1
    }
    local dir=$WORK/lighttpd
    mkdir -p "$dir"
    cat >"$dir/lighttpd.conf" <<EOF
server.document-root = "$SHARE"
server.bind = "127.0.0.1"
server.port = $1
server.errorlog = "$dir/error.log"
server.upload-dirs = ( "$dir" )
server.max-connections = 4096
server.modules += ( "mod_dirlisting" )
dir-listing.activate = "enable"
mimetype.assign = ( ".txt" => "text/plain", "" => "application/octet-stream" )
EOF
    if [ -e "$LIGHTTPD_WEBDAV" ]; then
        mkdir -p "$dir/upload"
        cat >>"$dir/lighttpd.conf" <<EOF
server.modules += ( "mod_alias", "mod_webdav" )
alias.url = ( "/upload/" => "$dir/upload/" )
\$HTTP["url"] =~ "^/upload/" { webdav.activate = "enable" }
EOF
        UPLOAD_KIND[lighttpd]=put UPLOAD_URL[lighttpd]=http://127.0.0.1:$1/upload/ UPLOAD_DIR[lighttpd]=$dir/upload
    else
        say "lighttpd takes no uploads here: mod_webdav is missing (package lighttpd-mod-webdav)"
    fi
    lighttpd -D -f "$dir/lighttpd.conf" >"$dir/out.log" 2>&1 &
    PID[lighttpd]=$!
}

start_http_server() {
    mkdir -p "$WORK/http.server"
    # It logs every request to stderr; that is part of how it runs.
    python3 -m http.server --bind 127.0.0.1 --directory "$SHARE" "$1" >/dev/null 2>"$WORK/http.server/requests.log" &
    PID[http.server]=$!
}

url() { echo "http://127.0.0.1:${PORT[$1]}$2"; }

# Waits until the server answers the path (the small file by default) with a success
# status; false otherwise.
wait_ready() {
    local name=$1 path=${2:-/small.bin} tries=0 code
    while [ $tries -lt $((READY_WAIT_S * 10)) ]; do
        kill -0 "${PID[$name]}" 2>/dev/null || return 1
        code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$(url "$name" "$path")" || true)
        case $code in 2??) return 0 ;; esac
        sleep 0.1
        tries=$((tries + 1))
    done
    return 1
}

# The listing must show every file, or the servers would not be doing the same work.
check_listing() {
    local name=$1 page
    page=$(curl -s --max-time 10 "$(url "$name" /)" || true)
    local last
    last=$(printf 'file-%04d.txt' $((SMALL_FILES - 1)))
    if ! grep -q "$last" <<<"$page"; then
        say "warning: the listing of $name does not show $last"
    fi
    say "$name: listing of / is $(printf '%s' "$page" | wc -c) bytes"
}

start_servers() {
    local wanted=${BENCH_SERVERS:-"$OURS nginx lighttpd http.server"} name
    SERVERS=()
    for name in $wanted; do
        local port
        port=$(free_port)
        case $name in
        "$OURS") start_tarnwick "$port" || continue ;;
        nginx) start_nginx "$port" || continue ;;
        lighttpd) start_lighttpd "$port" || continue ;;
        http.server) start_http_server "$port" || continue ;;
        *) die "unknown server $name" ;;
        esac
        PORT[$name]=$port
        if wait_ready "$name"; then
            say "$name: pid ${PID[$name]}, port $port"
            SERVERS+=("$name")
            check_listing "$name"
            if [ "$name" = "$OURS" ]; then start_tarnwick_receive; fi
        else
            say "$name did not answer on port $port within ${READY_WAIT_S}s; left out (--keep keeps its log)"
            stop_pid "${PID[$name]}"
            unset "PID[$name]"
        fi
    done
    [ ${#SERVERS[@]} -gt 0 ] || die "no server could be started"
}

# ---------------------------------------------------------------------------------------
# Measurements. Each appends "server, figure, value, errors" lines to $RESULTS. The runs
# of one figure go round the servers in turn, so a slow moment of the shared machine
# does not fall on one server only.

record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$RESULTS"; }

# The CPU time of a server's processes so far (the process and its workers), in clock ticks.
cpu_ticks() {
    local pid total=0
    for pid in "$1" $(pgrep -P "$1" 2>/dev/null); do
        [ -r "/proc/$pid/stat" ] && total=$((total + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
    done
    echo "$total"
}

# New connection per request: the client asks for it, so the peers do what ours always does.
#   rate_get NAME FIGURE CLIENTS [CPU_FIGURE]  with CPU_FIGURE, also the server's CPU time per
#                                              request, in microseconds
rate_get() {
    local name=$1 figure=$2 clients=$3 cpu_figure=${4:-} out rps errors before requests
    before=$(cpu_ticks "${PID[$name]}")
    out=$(timeout $((RATE_S + 20)) wrk -t1 -c"$clients" -d"${RATE_S}s" --timeout 5s \
        -H 'Connection: close' "$(url "$name" /small.bin)" 2>&1 || true)
    rps=$(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")
    errors=$(awk '/Non-2xx or 3xx responses:/ { n += $NF }
        /Socket errors:/ { gsub(/,/, ""); n += $4 + $6 + $8 + $10 }
        END { print n + 0 }' <<<"$out")
    record "$name" "$figure" "${rps:-0}" "$errors"
    say "$name: $figure ${rps:-?} req/s, $errors errors"
    if [ -n "$cpu_figure" ]; then
        requests=$(awk '/ requests in / { print $1 }' <<<"$out")
        record "$name" "$cpu_figure" "$(awk -v t=$(($(cpu_ticks "${PID[$name]}") - before)) -v n="${requests:-0}" \
            -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", (n > 0 ? t * 1e6 / hz / n : 0) }')" 0
    fi
}

# The listing: ab, which reads an answer without a length to the end of the connection.
rate_list() {
    local name=$1 figure=$2 clients=$3 out rps errors
    out=$(timeout $((RATE_S + 20)) ab -q -t "$RATE_S" -n 100000000 -c "$clients" -s 10 "$(url "$name" /)" 2>&1 || true)
    rps=$(awk '/^Requests per second:/ { print $4 }' <<<"$out")
    errors=$(awk '/^Failed requests:/ { n += $3 } /^Non-2xx responses:/ { n += $3 } END { print n + 0 }' <<<"$out")
    record "$name" "$figure" "${rps:-0}" "$errors"
    say "$name: $figure ${rps:-?} req/s, $errors errors"
}

# The curl command of one transfer, quoted for a batch script. It prints the status,
# the bytes moved and curl's average speed in bytes per second.
#   curl_command get URL                  download
#   curl_command put URL FILE             PUT of the file's bytes
#   curl_command form URL FILE NAME       POST of a multipart form, the file its first part
# Uploads send no "Expect: 100-continue": a server that does not answer it would make
# curl wait a second before sending.
curl_command() {
    local args=(curl -s -o /dev/null --max-time "$DL_MAX_S")
    case $1 in
    get) args+=(-w '%{http_code} %{size_download} %{speed_download}') ;;
    put) args+=(-H 'Expect:' -T "$3" -w '%{http_code} %{size_upload} %{speed_upload}') ;;
    form) args+=(-H 'Expect:' -F "file=@$3;filename=$4;type=application/octet-stream"
        -w '%{http_code} %{size_upload} %{speed_upload}') ;;
    esac
    args+=("$2")
    printf '%q ' "${args[@]}"
}

# Runs the commands at once, the output of the n-th to $WORK/batch.n, and prints the wall
# time of the whole batch in seconds.
run_batch() {
    local script=$WORK/batch.sh i=0 command
    rm -f "$WORK"/batch.*
    {
        for command in "$@"; do
            i=$((i + 1))
            printf '%s>%q &\n' "$command" "$WORK/batch.$i"
        done
        echo wait
    } >"$script"
    /usr/bin/time -f '%e' -o "$WORK/batch.time" bash "$script"
    tail -n 1 "$WORK/batch.time"
}

# COUNT transfers at once, each of SIZE bytes: downloads of big.bin (FILE "-") or uploads
# of FILE. One transfer is rated by curl's speed, several by all bytes over the wall time.
# A transfer counts as an error when its status is not 2xx or when another number of bytes
# arrived (downloads) or was stored (uploads).
transfers() {
    local name=$1 figure=$2 count=$3 file=$4 size=$5 label=$6 commands=() targets=() i
    for ((i = 1; i <= count; i++)); do
        if [ "$file" = - ]; then
            commands+=("$(curl_command get "$(url "$name" /big.bin)")")
        else
            targets+=("upload-$figure-$i.bin")
            if [ "${UPLOAD_KIND[$name]}" = form ]; then
                commands+=("$(curl_command form "${UPLOAD_URL[$name]}" "$file" "${targets[-1]}")")
            else
                commands+=("$(curl_command put "${UPLOAD_URL[$name]}${targets[-1]}" "$file")")
            fi
        fi
    done
    local seconds total=0 errors=0 code bytes speed moved
    seconds=$(run_batch "${commands[@]}")
    for ((i = 1; i <= count; i++)); do
        code=0 bytes=0 speed=0
        read -r code bytes speed <"$WORK/batch.$i" || true
        total=$((total + ${bytes:-0}))
        if [ "$file" = - ]; then
            moved=$bytes
        else
            moved=$(stat -c %s "${UPLOAD_DIR[$name]}/${targets[i - 1]}" 2>/dev/null || echo 0)
            rm -f "${UPLOAD_DIR[$name]}/${targets[i - 1]}"
        fi
        case $code in
        2??) [ "$moved" = "$size" ] || errors=$((errors + 1)) ;;
        *) errors=$((errors + 1)) ;;
        esac
    done
    local mibs
    if [ "$count" = 1 ]; then
        mibs=$(awk -v s="${speed:-0}" -v m=$MIB 'BEGIN { printf "%.1f", s / m }')
    else
        mibs=$(awk -v t="$total" -v s="$seconds" -v m=$MIB 'BEGIN { printf "%.1f", (s > 0 ? t / s / m : 0) }')
    fi
    record "$name" "$figure" "$mibs" "$errors"
    say "$name: $label $mibs MiB/s$([ "$errors" = 0 ] || echo ", $errors errors")"
}

measure() {
    local _ name
    for _ in $(seq "$REPS"); do
        for name in "${SERVERS[@]}"; do rate_get "$name" get1k_c1 1; done
    done
    for _ in $(seq "$REPS"); do
        for name in "${SERVERS[@]}"; do rate_get "$name" get1k_c16 16 cpu_get1k_c16; done
    done
    for _ in $(seq "$REPS"); do
        for name in "${SERVERS[@]}"; do rate_get "$name" get1k_c64 64; done
    done
    for _ in $(seq "$REPS"); do
        for name in "${SERVERS[@]}"; do rate_list "$name" list_c16 16; done
    done
    for _ in $(seq "$DL_REPS"); do
        for name in "${SERVERS[@]}"; do transfers "$name" dl1 1 - "$BIG_SIZE" "1 GiB download"; done
    done
    for _ in $(seq "$DL_REPS"); do
        for name in "${SERVERS[@]}"; do transfers "$name" dl4 4 - "$BIG_SIZE" "4 x 1 GiB downloads, total"; done
    done
}

# ---------------------------------------------------------------------------------------
# Uploads: one 1 GiB upload, and eight uploads of 64 MiB at once, to every server that
# takes them (nginx and lighttpd by PUT, ours by its upload form; http.server takes none);
# then how soon each answers a 64 MiB upload once its last byte is sent.

answer_time() {
    local name=$1 target=upload-answer.bin out code ms errors=0 stored
    out=$(timeout "$DL_MAX_S" python3 "$here/answer_time.py" "${UPLOAD_KIND[$name]}" "${UPLOAD_URL[$name]}" \
        "$WORK/upload-source/part.bin" "$target" 2>&1 || true)
    read -r code ms <<<"$out"
    stored=$(stat -c %s "${UPLOAD_DIR[$name]}/$target" 2>/dev/null || echo 0)
    rm -f "${UPLOAD_DIR[$name]}/$target"
    case ${code:-} in
    2??) [ "$stored" = "$PART_SIZE" ] || errors=1 ;;
    *) errors=1 ;;
    esac
    record "$name" up_answer "${ms:-0}" "$errors"
    say "$name: answer ${ms:-?} ms after the last byte of a 64 MiB upload$([ "$errors" = 0 ] || echo ", failed: $out")"
}

measure_uploads() {
    local _ name uploaders=()
    for name in "${SERVERS[@]}"; do
        if [ -n "${UPLOAD_KIND[$name]:-}" ]; then uploaders+=("$name"); fi
    done
    [ ${#uploaders[@]} -gt 0 ] || return 0
    for _ in $(seq "$DL_REPS"); do
        for name in "${uploaders[@]}"; do
            transfers "$name" up1 1 "$WORK/upload-source/big.bin" "$BIG_SIZE" "1 GiB upload"
        done
    done
    for _ in $(seq "$DL_REPS"); do
        for name in "${uploaders[@]}"; do
            transfers "$name" up8 8 "$WORK/upload-source/part.bin" "$PART_SIZE" "8 x 64 MiB uploads, total"
        done
    done
    for _ in $(seq "$REPS"); do
        for name in "${uploaders[@]}"; do answer_time "$name"; done
    done
}

# ---------------------------------------------------------------------------------------

versions() {
    local name
    for name in "${SERVERS[@]}"; do
        case $name in
        "$OURS") printf '%s (%s), ' "$OURS" "${SERVE#"$top"/}" ;;
        nginx) printf '%s, ' "$(nginx -v 2>&1 | sed 's/.*version: //')" ;;
        lighttpd) printf '%s, ' "$(lighttpd -v 2>&1 | awk '{ print $1 }')" ;;
        http.server) printf 'http.server of %s, ' "$(python3 --version 2>&1)" ;;
        esac
    done | sed 's/, $//'
}

write_meta() {
    local mode="full" cpu
    [ "$quick" = 1 ] && mode="quick"
    cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    {
        printf 'servers\t%s\n' "${ALL_COLUMNS[*]}"
        printf 'Date\t%s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')"
        printf 'Machine\t%s, %s cores, Linux %s\n' "${cpu:-unknown CPU}" "$(nproc)" "$(uname -r)"
        printf 'Servers\t%s\n' "$(versions)"
        [ "$uploads_only" = 1 ] && mode="$mode, uploads only"
        printf 'Runs\t%s: median of %s runs of %s s per rate, of %s per transfer (cut off at %s s), of %s per answer time\n' \
            "$mode" "$REPS" "$RATE_S" "$DL_REPS" "$DL_MAX_S" "$REPS"
        printf 'Clients\t%s\n' "wrk -t1 with \"Connection: close\" (1 KiB GET); ab without keep-alive (listing); curl (downloads; uploads by PUT to nginx and lighttpd, by the upload form to ours); a new connection per request throughout"
        printf 'Listing\t%s\n' "\"/\" of a folder of $SMALL_FILES files of 1 KiB plus the two test files"
    } >"$WORK/meta.tsv"
}

make_data
start_servers
ALL_COLUMNS=("$OURS")
for name in nginx lighttpd http.server; do ALL_COLUMNS+=("$name"); done

sampled=()
for name in "${SERVERS[@]}"; do
    pid=${PID[$name]}
    # When only uploads are measured, ours is the instance that receives them.
    if [ "$uploads_only" = 1 ] && [ "$name" = "$OURS" ] && [ -n "${PID[$OURS-receive]:-}" ]; then
        pid=${PID[$OURS-receive]}
    fi
    sampled+=("$name=$pid")
done
python3 "$here/sample.py" "$WORK/peaks.tsv" "$SAMPLE_INTERVAL_S" "${sampled[@]}" &
SAMPLER=$!

: >"$RESULTS"
if [ "$uploads_only" = 0 ]; then measure; fi
measure_uploads

stop_pid "$SAMPLER"
SAMPLER=
while IFS=$'\t' read -r name rss threads; do
    record "$name" rss "$rss" 0
    record "$name" threads "$threads" 0
done <"$WORK/peaks.tsv"

write_meta
say "done; figures:"
echo
python3 "$here/report.py" "$RESULTS" "$WORK/meta.tsv" "$OURS" "$here/results.md"
say "written to $here/results.md"
