#!/usr/bin/env python3
"""Load and fault tests of tarnwick-serve, over loopback only, with figures.

usage: bench/load_faults.py [--quick] [--only NAME[,NAME...]] [--keep] [--markdown FILE]

Starts build/bin/tarnwick-serve (or $TARNWICK_SERVE) on free loopback ports, each with a
scratch HOME and TMPDIR and its own copy of the page files, and runs, one after another:

  downloads   500 concurrent downloads, small files and a few large ones, by SHA-256
  uploads     50 concurrent uploads through the upload form, by SHA-256, two names sent
              twice at once; nothing hidden left behind
  slow        slow clients (head trickled byte by byte, and idle ones) beside a normal
              client, whose latency is measured
  killed      clients that reset or close mid-download and mid-upload
  term        SIGTERM while downloads and uploads run: exit 0 within seconds, nothing kept
  limit       the data limit crossed by several connections at once
  fulldisk    an upload into a full file system (a small tmpfs; needs root)
  removed     the download folder removed while the server runs, then made again
  badinput    malformed and hostile requests sent raw

Each prints its figures and checks; at the end a summary table. The exit status is 0
when every check passed, 1 otherwise, 2 for bad usage. Python 3 standard library only.
"""

import argparse
import asyncio
import fcntl
import hashlib
import os
import random
import re
import resource
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
HOST = "127.0.0.1"
KIB = 1024
MIB = 1024 * 1024

# The accounting block of the server: under a data limit each connection may move at
# most one block more once the limit is reached.
BLOCK = 1024
# How long a stopped server may take to exit.
STOP_LIMIT_S = 5.0
# How long a single exchange may take before it counts as a hang.
EXCHANGE_S = 10.0
# The longest a normal client may wait for its answer beside the slow ones.
NORMAL_MAX_LATENCY_S = 2.0
# How long the server may keep connection threads after their clients went away: its
# longest wait for a client that is being disconnected is 10 s.
SETTLE_S = 15.0

TESTS = ["downloads", "uploads", "slow", "killed", "term", "limit", "fulldisk", "removed", "badinput"]


class Plan:
    """How big each test is; --quick makes everything smaller and shorter."""

    def __init__(self, quick):
        self.quick = quick
        self.downloads = 500
        self.small_files = 200
        self.large_files = 4
        self.large_downloads = 10
        self.large_size = (8 if quick else 32) * MIB
        self.uploads = 50
        self.upload_max = (1 if quick else 4) * MIB
        self.slow_trickle = 240 if quick else 800
        self.slow_idle = 60 if quick else 200
        # The full run outlasts a head deadline of half a minute.
        self.slow_s = 6.0 if quick else 40.0
        self.kill_clients = 8 if quick else 16
        self.kill_file = (16 if quick else 64) * MIB
        self.term_clients = 6 if quick else 10
        self.limit_connections = 8
        # Beyond what the system buffers of all connections hold, so that every one of
        # them is still sending when the limit is reached.
        self.limit_kb = 64000 if quick else 96000
        self.limit_rounds = 2 if quick else 4
        self.limit_file = 32 * MIB
        self.time_limit_s = 240 if quick else 600


# ---------------------------------------------------------------------------------------
# Output and checks


class Results:
    def __init__(self):
        self.failures = []
        self.checks = 0
        self.started = time.monotonic()
        self.section = ""

    def begin(self, name, title):
        self.section = name
        print(f"\n== {name}: {title}  [{time.monotonic() - self.started:.0f} s]", flush=True)

    def figure(self, text):
        print(f"   {text}", flush=True)

    def check(self, ok, text):
        self.checks += 1
        print(f"   {'ok  ' if ok else 'FAIL'} {text}", flush=True)
        if not ok:
            self.failures.append(f"{self.section}: {text}")
        return ok

    def skip(self, text):
        print(f"   SKIP {text}", flush=True)


R = Results()


def median_ms(values):
    return statistics.median(values) * 1000 if values else float("nan")


def mib(n):
    return n / MIB


# ---------------------------------------------------------------------------------------
# The server under test


def free_port():
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def proc_status(pid):
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                key, _, value = line.partition(":")
                if key in ("Threads", "VmRSS", "VmHWM"):
                    fields[key] = int(value.split()[0])
    except (OSError, ValueError):
        return None
    return fields


class Sampler(threading.Thread):
    """Peak threads and memory of one process, read from /proc/PID/status."""

    INTERVAL_S = 0.02

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak_threads = 0
        self.peak_rss_kib = 0
        self.hwm_kib = 0
        self.stopped = threading.Event()

    def run(self):
        while not self.stopped.is_set():
            self.sample()
            self.stopped.wait(self.INTERVAL_S)

    def sample(self):
        fields = proc_status(self.pid)
        if fields:
            self.peak_threads = max(self.peak_threads, fields.get("Threads", 0))
            self.peak_rss_kib = max(self.peak_rss_kib, fields.get("VmRSS", 0))
            self.hwm_kib = max(self.hwm_kib, fields.get("VmHWM", 0))
        return fields

    def reset_peaks(self):
        fields = proc_status(self.pid) or {}
        self.peak_threads = fields.get("Threads", 0)
        self.peak_rss_kib = fields.get("VmRSS", 0)

    def threads_now(self):
        fields = proc_status(self.pid)
        return fields.get("Threads", 0) if fields else 0


class Server:
    """One tarnwick-serve process with a home, temporary folder and data folder of its own."""

    def __init__(self, run, name, mode_args, download_dir=None, data_limit_kb=None):
        self.run = run
        self.name = name
        self.mode_args = mode_args
        self.download_dir = download_dir
        self.data_limit_kb = data_limit_kb
        self.dir = os.path.join(run.work, "servers", name)
        self.home = os.path.join(self.dir, "home")
        self.tmp = os.path.join(self.dir, "tmp")
        self.log = os.path.join(self.dir, "out.log")
        self.proc = None
        self.sampler = None
        self.port = None
        self.exit_code = None
        self.exit_s = None
        # Bytes of the request that found the server ready and of its answer.
        self.probe_bytes = 0

    def start(self):
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(self.tmp, exist_ok=True)
        for attempt in range(3):
            self.port = free_port()
            args = [self.run.serve, "--port", str(self.port), "--data-dir", self.run.data_dir]
            if self.download_dir:
                args += ["--download-dir", self.download_dir]
            if self.data_limit_kb is not None:
                args += ["--data-limit", str(self.data_limit_kb)]
            args += self.mode_args
            env = dict(os.environ, HOME=self.home, TMPDIR=self.tmp, LANG="C", LC_ALL="C")
            with open(self.log, "ab") as log:
                self.proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env,
                                             stdin=subprocess.DEVNULL)
            self.run.servers.append(self)
            if self.wait_ready():
                self.sampler = Sampler(self.proc.pid)
                self.sampler.start()
                return True
            self.kill()
        raise SystemExit(f"{self.name}: the server did not start; see {self.log}")

    def wait_ready(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            request = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"
            answer = exchange(self.port, request, timeout=2)
            if answer.ok:
                self.probe_bytes = len(request) + answer.received
                return True
            time.sleep(0.05)
        return False

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def output(self):
        try:
            with open(self.log, "rb") as log:
                return log.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def threads(self):
        return self.sampler.threads_now() if self.sampler else 0

    def idle_threads(self):
        """The thread count once the readiness probe's connection has ended."""
        time.sleep(0.3)
        return self.threads()

    def settle(self, baseline, limit_s=SETTLE_S):
        """Waits until the thread count is back to baseline; the seconds it took, or None."""
        t0 = time.monotonic()
        while time.monotonic() - t0 < limit_s:
            if self.threads() <= baseline:
                return time.monotonic() - t0
            time.sleep(0.05)
        return None

    def terminate(self, limit_s=STOP_LIMIT_S):
        """SIGTERM, then waits; returns the exit code (None if it had to be killed)."""
        if not self.alive():
            self.exit_code = self.proc.returncode
            return self.exit_code
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.exit_code = self.proc.wait(limit_s)
            self.exit_s = time.monotonic() - t0
        except subprocess.TimeoutExpired:
            self.exit_s = None
            self.kill()
            self.exit_code = None
        self.finish_sampler()
        return self.exit_code

    def wait_exit(self, limit_s):
        try:
            self.exit_code = self.proc.wait(limit_s)
        except subprocess.TimeoutExpired:
            return None
        self.finish_sampler()
        return self.exit_code

    def finish_sampler(self):
        if self.sampler:
            self.sampler.stopped.set()
            self.sampler.join(1)
            self.run.note_peaks(self)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        self.finish_sampler()


# ---------------------------------------------------------------------------------------
# Clients. The blocking ones run one exchange on a plain socket; the crowds run on asyncio.


class Answer:
    def __init__(self):
        self.raw_head = b""
        self.status = None
        self.headers = {}
        self.body = b""
        self.body_len = 0
        self.sha = None
        self.end = "none"  # closed, reset, timeout, refused
        self.error = None
        self.seconds = 0.0
        # Every byte that arrived, head included.
        self.received = 0

    @property
    def ok(self):
        return self.status is not None and 200 <= self.status < 300

    def content_length(self):
        value = self.headers.get(b"content-length")
        return int(value) if value is not None and value.isdigit() else None


def parse_head(head):
    lines = head.split(b"\r\n")
    status = None
    match = re.match(rb"HTTP/\d\.\d (\d{3})", lines[0])
    if match:
        status = int(match.group(1))
    headers = {}
    for line in lines[1:]:
        name, sep, value = line.partition(b":")
        if sep and name.lower() not in headers:
            headers[name.strip().lower()] = value.strip()
    return status, headers


class Reading:
    """Collects an answer as it arrives: the head, then the body into a SHA-256."""

    KEEP = 256 * KIB

    def __init__(self, answer):
        self.answer = answer
        self.buffer = b""
        self.in_body = False
        self.hash = hashlib.sha256()

    def feed(self, data):
        a = self.answer
        a.received += len(data)
        if not self.in_body:
            self.buffer += data
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            a.raw_head = self.buffer[:end]
            a.status, a.headers = parse_head(a.raw_head)
            data = self.buffer[end + 4:]
            self.buffer = b""
            self.in_body = True
        if data:
            a.body_len += len(data)
            self.hash.update(data)
            if len(a.body) < self.KEEP:
                a.body += data[: self.KEEP - len(a.body)]

    def finish(self):
        if not self.in_body and self.buffer:
            # No complete head: keep what came for the record.
            self.answer.raw_head = self.buffer[:4096]
            self.answer.status, self.answer.headers = parse_head(self.buffer)
        self.answer.sha = self.hash.hexdigest()
        return self.answer


def unsent(sock):
    """Bytes the system still holds for the peer (sent, not yet acknowledged)."""
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def set_reset_on_close(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def exchange(port, data, timeout=EXCHANGE_S, shut=False, chunks=None):
    """Sends data (or the chunks one by one), optionally half-closes, reads to the end."""
    answer = Answer()
    reading = Reading(answer)
    t0 = time.monotonic()
    try:
        sock = socket.create_connection((HOST, port), timeout=timeout)
    except OSError as error:
        answer.end = "refused"
        answer.error = str(error)
        return answer
    with sock:
        deadline = t0 + timeout
        try:
            for piece in chunks if chunks is not None else [data]:
                sock.sendall(piece)
            if shut:
                sock.shutdown(socket.SHUT_WR)
        except OSError as error:
            answer.error = f"send: {error}"
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    answer.end = "timeout"
                    break
                sock.settimeout(left)
                data = sock.recv(256 * KIB)
                if not data:
                    answer.end = "closed"
                    break
                reading.feed(data)
        except socket.timeout:
            answer.end = "timeout"
        except ConnectionResetError:
            answer.end = "reset"
        except OSError as error:
            answer.end = "reset"
            answer.error = str(error)
    answer.seconds = time.monotonic() - t0
    return reading.finish()


def get(port, path, timeout=EXCHANGE_S):
    return exchange(port, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", timeout)


def multipart(name):
    """The boundary, and what goes before and after the file's bytes in an upload form, as a
    browser sends it."""
    boundary = "----TarnwickLoadTest" + "%016x" % random.getrandbits(64)
    prefix = (f"--{boundary}\r\n"
              f'Content-Disposition: form-data; name="file"; filename="{name}"\r\n'
              "Content-Type: application/octet-stream\r\n\r\n").encode("utf-8")
    suffix = f"\r\n--{boundary}--\r\n".encode()
    return boundary, prefix, suffix


def upload_head(port, boundary, length, extra=b""):
    return (b"POST /upload HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port
            + b"Content-Type: multipart/form-data; boundary=" + boundary.encode() + b"\r\n"
            + b"Content-Length: %d\r\n" % length + extra + b"\r\n")


def upload_request(port, name, data):
    boundary, prefix, suffix = multipart(name)
    body_len = len(prefix) + len(data) + len(suffix)
    return upload_head(port, boundary, body_len), prefix, suffix


def upload(port, name, data, timeout=EXCHANGE_S * 3):
    head, prefix, suffix = upload_request(port, name, data)
    return exchange(port, None, timeout=timeout, chunks=[head, prefix, data, suffix])


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(MIB)
            if not block:
                return h.hexdigest()
            h.update(block)


async def aio_exchange(port, head, body_parts=(), gate=None, on_connected=None, timeout=60.0):
    """One exchange on asyncio: connects, waits at the gate, sends, reads to the end."""
    answer = Answer()
    reading = Reading(answer)
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection(HOST, port), timeout)
    except (OSError, asyncio.TimeoutError) as error:
        answer.end = "refused"
        answer.error = f"connect: {error!r}"
        if on_connected:
            on_connected(False)
        return answer
    if on_connected:
        on_connected(True)
    try:
        if gate is not None:
            await gate.wait()
        t0 = time.monotonic()

        async def read_all():
            while True:
                data = await reader.read(256 * KIB)
                if not data:
                    answer.end = "closed"
                    return
                reading.feed(data)

        reader_task = asyncio.ensure_future(read_all())
        try:
            writer.write(head)
            for part in body_parts:
                for at in range(0, len(part), 256 * KIB):
                    writer.write(part[at:at + 256 * KIB])
                    await writer.drain()
            await writer.drain()
        except (ConnectionError, OSError) as error:
            answer.error = f"send: {error!r}"
        try:
            await asyncio.wait_for(reader_task, timeout)
        except asyncio.TimeoutError:
            answer.end = "timeout"
        except (ConnectionError, OSError):
            answer.end = "reset"
        answer.seconds = time.monotonic() - t0
    finally:
        writer.transport.abort()
    return reading.finish()


class Gate:
    """Opens once every one of count clients has connected or failed to."""

    def __init__(self, count):
        self.count = count
        self.connected = 0
        self.failed = 0
        self.event = asyncio.Event()
        self.opened_at = None

    def arrived(self, ok):
        if ok:
            self.connected += 1
        else:
            self.failed += 1
        if self.connected + self.failed >= self.count:
            self.opened_at = time.monotonic()
            self.event.set()

    async def wait(self):
        await self.event.wait()


def write_random(path, size, rng):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 4 * MIB)
            f.write(rng.randbytes(n))
            left -= n


def listing(folder):
    try:
        return sorted(os.listdir(folder))
    except FileNotFoundError:
        return None


def temporary_names(folder):
    return [n for n in (listing(folder) or []) if n.startswith(".upload-") or n.endswith(".part")]


class Run:
    def __init__(self, args):
        self.args = args
        self.plan = Plan(args.quick)
        self.serve = os.path.abspath(args.serve)
        self.work = tempfile.mkdtemp(prefix="tarnwick-faults.")
        self.servers = []
        self.mounts = []
        self.rng = random.Random(20240607)
        self.peak_threads = 0
        self.peak_threads_where = ""
        self.peak_hwm_kib = 0
        self.peak_hwm_where = ""
        self.faults = []  # (name, survived)
        self.bad_inputs = 0
        self.stored = 0
        self.refused = 0
        self.partial = 0
        self.load = {}
        # The page files, to tell the answers to an upload apart.
        staged = os.path.join(os.path.dirname(self.serve), "..", "share", "TarnwickWebServer")
        source = os.environ.get("TARNWICK_DATA_DIR") or os.path.normpath(staged)
        self.data_dir = os.path.join(self.work, "data")
        shutil.copytree(source, self.data_dir)
        self.pages = {}
        for page in ("upload_ok.html", "exist.html", "upload_err.html", "upload.html"):
            with open(os.path.join(self.data_dir, "lang", "C", page), "rb") as f:
                self.pages[page] = f.read()
        # Bytes that must never reach a client: files beside the shared folder, in the
        # data folder above the images, and in the servers' homes and temporary folders.
        self.marker = b"SECRET-%016x" % self.rng.getrandbits(64)
        self.secret_paths = [os.path.join(self.work, "secret.txt"),
                             os.path.join(self.data_dir, "secret.txt")]
        for path in self.secret_paths:
            with open(path, "wb") as f:
                f.write(self.marker + b"\n")

    def page(self, answer):
        for name, body in self.pages.items():
            if answer.body_len == len(body) and answer.body == body:
                return name
        return None

    def note_peaks(self, server):
        s = server.sampler
        if s.peak_threads > self.peak_threads:
            self.peak_threads = s.peak_threads
            self.peak_threads_where = server.name
        if s.hwm_kib > self.peak_hwm_kib:
            self.peak_hwm_kib = s.hwm_kib
            self.peak_hwm_where = server.name

    def folder(self, *parts):
        path = os.path.join(self.work, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def cleanup(self):
        for server in self.servers:
            try:
                server.kill()
            except Exception:  # clean-up goes on whatever failed
                pass
        for mount in self.mounts:
            subprocess.run(["umount", mount], stderr=subprocess.DEVNULL)
            if os.path.ismount(mount):
                subprocess.run(["umount", "-l", mount], stderr=subprocess.DEVNULL)
        self.mounts = []
        if self.args.keep:
            print(f"kept {self.work}")
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def fault(self, name, ok):
        self.faults.append((name, bool(ok)))


# ---------------------------------------------------------------------------------------
# 1. Concurrent downloads


def test_downloads(run):
    p = run.plan
    R.begin("downloads", f"{p.downloads} concurrent downloads verified by SHA-256")
    share = run.folder("share-downloads")
    files = []
    for i in range(p.small_files):
        size = run.rng.choice([0, 1, 100, 1023, 1024, 1025, 4096]) if i < 20 else run.rng.randint(1, 64 * KIB)
        name = f"small-{i:03d}.bin"
        data = run.rng.randbytes(size)
        with open(os.path.join(share, name), "wb") as f:
            f.write(data)
        files.append((name, size, sha256(data)))
    large = []
    for i in range(p.large_files):
        name = f"large-{i}.bin"
        path = os.path.join(share, name)
        write_random(path, p.large_size, run.rng)
        large.append((name, p.large_size, sha256_file(path)))

    wanted = [large[i % len(large)] for i in range(p.large_downloads)]
    wanted += [files[i % len(files)] for i in range(p.downloads - p.large_downloads)]
    run.rng.shuffle(wanted)

    server = Server(run, "downloads", ["folder", share])
    server.start()
    base_threads = server.idle_threads()
    server.sampler.reset_peaks()

    async def crowd():
        gate = Gate(len(wanted))
        tasks = [aio_exchange(server.port, b"GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % n.encode(),
                              gate=gate, on_connected=gate.arrived, timeout=120)
                 for n, _, _ in wanted]
        answers = await asyncio.gather(*tasks)
        return gate, answers

    t0 = time.monotonic()
    gate, answers = asyncio.run(crowd())
    t_end = time.monotonic()
    opened = gate.opened_at or t0
    good = 0
    errors = {}
    total = 0
    for (name, size, digest), a in zip(wanted, answers):
        total += a.body_len
        why = None
        if a.end == "refused":
            why = "connect failed"
        elif not a.ok:
            why = f"status {a.status} ({a.end})"
        elif a.content_length() != (size if size else None):
            why = "wrong Content-Length"
        elif a.body_len != size:
            why = "short body" if a.body_len < size else "long body"
        elif a.sha != digest:
            why = "checksum"
        if why:
            errors[why] = errors.get(why, 0) + 1
        else:
            good += 1
    seconds = max(t_end - opened, 1e-6)
    latencies = [a.seconds for a in answers if a.ok]
    R.figure(f"files: {p.small_files} small (0 B to 64 KiB), {p.large_files} of {mib(p.large_size):.0f} MiB; "
             f"{p.downloads} downloads, {p.large_downloads} of them large")
    R.figure(f"connected in {opened - t0:.2f} s; all answered {seconds:.2f} s after the requests went out")
    R.figure(f"throughput {mib(total) / seconds:.1f} MiB/s ({mib(total):.1f} MiB), "
             f"{len(wanted) / seconds:.0f} downloads/s; per download median {median_ms(latencies):.0f} ms, "
             f"max {max(latencies) * 1000 if latencies else 0:.0f} ms")
    R.figure(f"server: peak threads {server.sampler.peak_threads} (idle {base_threads}), "
             f"peak RSS {server.sampler.peak_rss_kib / 1024:.1f} MiB")
    R.check(good == len(wanted), f"{good}/{len(wanted)} downloads complete and verified"
            + (f"; errors: {errors}" if errors else ""))
    settled = server.settle(base_threads)
    R.check(settled is not None, "connection threads gone afterwards"
            + (f" ({settled:.1f} s)" if settled is not None else f" (still {server.threads()})"))
    code = server.terminate()
    R.check(code == 0, f"server exits 0 on SIGTERM (got {code})")
    run.load["downloads"] = (good, len(wanted), mib(total) / seconds, server.sampler.peak_threads,
                             server.sampler.hwm_kib)


# ---------------------------------------------------------------------------------------
# 2. Concurrent uploads


def test_uploads(run):
    p = run.plan
    R.begin("uploads", f"{p.uploads} concurrent uploads through the upload form, by SHA-256")
    downloads = run.folder("received-uploads")
    server = Server(run, "uploads", ["receive"], download_dir=downloads)
    server.start()
    base_threads = server.idle_threads()
    server.sampler.reset_peaks()

    sizes = [0, 1, 1023, 1024, 1025, 256 * KIB - 1] + [run.rng.randint(1, p.upload_max) for _ in range(p.uploads - 6)]
    items = []
    # Two names go up twice at the same moment: one upload may take the name, the other
    # must be told that it is taken.
    clash = {p.uploads - 1: p.uploads - 3, p.uploads - 2: p.uploads - 4}
    for i, size in enumerate(sizes):
        name = f"upload-{clash.get(i, i):02d}.bin"
        items.append((name, run.rng.randbytes(size)))

    async def crowd():
        gate = Gate(len(items))
        tasks = []
        for name, data in items:
            head, prefix, suffix = upload_request(server.port, name, data)
            tasks.append(aio_exchange(server.port, head, [prefix, data, suffix], gate=gate,
                                      on_connected=gate.arrived, timeout=120))
        return gate, await asyncio.gather(*tasks)

    t0 = time.monotonic()
    gate, answers = asyncio.run(crowd())
    seconds = max(time.monotonic() - (gate.opened_at or t0), 1e-6)
    sent = sum(len(d) for _, d in items)

    good = 0
    taken = 0
    problems = []
    by_name = {}
    for (name, data), a in zip(items, answers):
        by_name.setdefault(name, []).append((data, a))
    for name, tries in by_name.items():
        path = os.path.join(downloads, name)
        stored = sha256_file(path) if os.path.isfile(path) else None
        ok_tries = [d for d, a in tries if a.ok and run.page(a) == "upload_ok.html"]
        taken_tries = [d for d, a in tries if a.ok and run.page(a) == "exist.html"]
        other = [a for d, a in tries if not (a.ok and run.page(a) in ("upload_ok.html", "exist.html"))]
        if other:
            problems.append(f"{name}: answer {other[0].status} {other[0].end} {other[0].error or ''}")
            continue
        if len(ok_tries) != 1 or stored != sha256(ok_tries[0]):
            problems.append(f"{name}: {len(ok_tries)} stored answers, file {'matches' if stored and ok_tries and stored == sha256(ok_tries[0]) else 'differs or is missing'}")
            continue
        good += 1
        taken += len(taken_tries)
    expected_names = len(by_name)
    leftovers = temporary_names(downloads)
    extra = [n for n in listing(downloads) if n not in by_name]
    R.figure(f"{len(items)} uploads, {mib(sent):.1f} MiB in all, {len(by_name)} names (two sent twice at once)")
    R.figure(f"throughput {mib(sent) / seconds:.1f} MiB/s; all answered in {seconds:.2f} s")
    R.figure(f"server: peak threads {server.sampler.peak_threads} (idle {base_threads}), "
             f"peak RSS {server.sampler.peak_rss_kib / 1024:.1f} MiB")
    R.check(good == expected_names and not problems,
            f"{good}/{expected_names} names stored once, byte for byte" + (f"; {problems[:3]}" if problems else ""))
    R.check(taken == len(items) - expected_names,
            f"the {len(items) - expected_names} second uploads of a name were told it is taken ({taken})")
    R.check(not leftovers and not extra, "nothing else in the download folder"
            + (f": {leftovers + extra}" if leftovers or extra else ""))
    run.stored += good
    run.refused += taken
    run.partial += len(leftovers)
    settled = server.settle(base_threads)
    R.check(settled is not None, "connection threads gone afterwards")
    code = server.terminate()
    R.check(code == 0, f"server exits 0 on SIGTERM (got {code})")
    run.load["uploads"] = (good + taken, len(items), mib(sent) / seconds, server.sampler.peak_threads,
                           server.sampler.hwm_kib)


# ---------------------------------------------------------------------------------------
# 3. Slow clients beside a normal one


class Swarm:
    """Slow clients on asyncio: some trickle a request head one byte per tick, some never
    send anything. Counts how each connection ended."""

    TICK_S = 1.0

    def __init__(self, port, trickle, idle):
        self.port = port
        self.trickle = trickle
        self.idle = idle
        self.counts = {"open": 0, "connect failed": 0, "refused (503)": 0, "closed by the server": 0,
                       "reset by the server": 0, "answered with an error": 0, "answered": 0}
        self.bytes_trickled = 0
        self.stop = None
        self.writers = []
        # How long the connections that the server ended had lived, by kind.
        self.ended_after = {"trickling": [], "idle": []}

    def head(self, i):
        return (b"GET /probe.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: slow-%d\r\nX-Padding: " % i
                + b"p" * 4000)

    async def one(self, i, trickles):
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection(HOST, self.port), 15)
        except (OSError, asyncio.TimeoutError):
            self.counts["connect failed"] += 1
            return
        self.writers.append(writer)
        self.counts["open"] += 1
        opened_at = time.monotonic()
        outcome = None

        async def watch():
            nonlocal outcome
            try:
                data = await reader.read(4096)
            except (ConnectionError, OSError):
                outcome = "reset by the server"
                self.ended_after["trickling" if trickles else "idle"].append(time.monotonic() - opened_at)
                return
            status, _ = parse_head(data.split(b"\r\n\r\n")[0]) if data else (None, {})
            if not data:
                outcome = "closed by the server"
            elif status == 503:
                outcome = "refused (503)"
            elif status is not None and status >= 400:
                # A head that took too long may be told so (408, say).
                outcome = "answered with an error"
            else:
                outcome = "answered"
            self.ended_after["trickling" if trickles else "idle"].append(time.monotonic() - opened_at)

        watcher = asyncio.ensure_future(watch())
        head = self.head(i)
        at = 0
        # Spread the first bytes over one tick.
        await asyncio.sleep(random.random() * self.TICK_S)
        while not self.stop.is_set() and not watcher.done():
            if trickles and at < len(head):
                try:
                    writer.write(head[at:at + 1])
                    self.bytes_trickled += 1
                    at += 1
                except (ConnectionError, OSError):
                    break
            try:
                await asyncio.wait_for(self.stop.wait(), self.TICK_S)
            except asyncio.TimeoutError:
                pass
        if outcome:
            self.counts["open"] -= 1
            self.counts[outcome] += 1
        watcher.cancel()

    async def main(self, opened, duration_s):
        self.stop = asyncio.Event()
        tasks = []
        n = self.trickle + self.idle
        # Opened in batches, so that the listen queue is not what is measured.
        for i in range(n):
            tasks.append(asyncio.ensure_future(self.one(i, i < self.trickle)))
            if i % 50 == 49:
                await asyncio.sleep(0.05)
        await asyncio.sleep(0.5)
        opened.set()
        await asyncio.sleep(duration_s)
        self.stop.set()
        await asyncio.gather(*tasks, return_exceptions=True)
        for writer in self.writers:
            writer.transport.abort()


class NormalClient(threading.Thread):
    """Fetches one small file again and again, as a browser would, timing each answer."""

    def __init__(self, port, digest, pause_s=0.1):
        super().__init__(daemon=True)
        self.port = port
        self.digest = digest
        self.pause_s = pause_s
        self.stop = threading.Event()
        self.latencies = []
        self.refused = 0
        self.failed = []

    def run(self):
        while not self.stop.is_set():
            a = get(self.port, "/probe.txt")
            if a.ok and a.sha == self.digest:
                self.latencies.append(a.seconds)
            elif a.status == 503:
                self.refused += 1
            else:
                self.failed.append(f"{a.status} {a.end} {a.error or ''}".strip())
            self.stop.wait(self.pause_s)


def test_slow(run):
    p = run.plan
    R.begin("slow", f"{p.slow_trickle} trickling and {p.slow_idle} idle connections beside a normal client")
    share = run.folder("share-slow")
    probe = run.rng.randbytes(10 * KIB)
    with open(os.path.join(share, "probe.txt"), "wb") as f:
        f.write(probe)
    server = Server(run, "slow", ["folder", share])
    server.start()
    base_threads = server.idle_threads()

    # Before: the same client on an idle server.
    idle = NormalClient(server.port, sha256(probe), pause_s=0.02)
    idle.start()
    time.sleep(1.0)
    idle.stop.set()
    idle.join()
    server.sampler.reset_peaks()

    swarm = Swarm(server.port, p.slow_trickle, p.slow_idle)
    opened = threading.Event()
    normal = NormalClient(server.port, sha256(probe))

    def starter():
        opened.wait(60)
        normal.start()

    threading.Thread(target=starter, daemon=True).start()
    asyncio.run(swarm.main(opened, p.slow_s))
    normal.stop.set()
    normal.join(EXCHANGE_S + 1)

    threads_peak = server.sampler.peak_threads
    counts = ", ".join(f"{k} {v}" for k, v in swarm.counts.items() if v)
    R.figure(f"slow connections at the end: {counts}; {swarm.bytes_trickled} bytes trickled in {p.slow_s:.0f} s")
    R.figure(f"normal client alone: median {median_ms(idle.latencies):.1f} ms, "
             f"max {max(idle.latencies, default=0) * 1000:.1f} ms ({len(idle.latencies)} requests)")
    lat = normal.latencies
    R.figure(f"normal client beside them: median {median_ms(lat):.1f} ms, max {max(lat, default=0) * 1000:.1f} ms "
             f"({len(lat)} answered, {normal.refused} refused, {len(normal.failed)} failed)")
    R.figure(f"server: peak threads {threads_peak} (idle {base_threads}), "
             f"peak RSS {server.sampler.peak_rss_kib / 1024:.1f} MiB")
    R.check(len(lat) > 0 and not normal.failed and normal.refused == 0,
            "the normal client was answered every time" + (f"; failures: {normal.failed[:3]}" if normal.failed else "")
            + (f"; refused {normal.refused} times" if normal.refused else ""))
    R.check(max(lat, default=99) <= NORMAL_MAX_LATENCY_S,
            f"its slowest answer within {NORMAL_MAX_LATENCY_S:.0f} s")
    R.check(swarm.counts["answered"] == 0, "no slow head was answered as if complete")
    ended = swarm.ended_after
    for kind, times in ended.items():
        if times:
            R.figure(f"{len(times)} {kind} connections ended by the server after {min(times):.1f} to "
                     f"{max(times):.1f} s (median {statistics.median(times):.1f} s)")
    if ended["idle"]:
        # A deadline for the whole head ends a trickling one no later than an idle one;
        # a wait per read would let the trickle go on for ever.
        bound = max(ended["idle"]) + 5
        outlived = p.slow_trickle - sum(1 for t in ended["trickling"] if t <= bound)
        R.check(outlived == 0, f"the trickling connections were ended like the idle ones, within {bound:.0f} s"
                + (f" ({outlived} outlived them)" if outlived else ""))
    R.check(server.alive(), "server still running")
    settled = server.settle(base_threads)
    R.check(settled is not None, "connection threads gone once the slow clients left"
            + (f" ({settled:.1f} s)" if settled is not None else f" (still {server.threads()})"))
    code = server.terminate()
    R.check(code == 0, f"server exits 0 on SIGTERM (got {code})")
    run.load["slow"] = (len(lat), len(lat) + len(normal.failed) + normal.refused, median_ms(lat),
                        max(lat, default=0) * 1000, threads_peak, p.slow_trickle + p.slow_idle,
                        swarm.counts["refused (503)"], server.sampler.hwm_kib)


# ---------------------------------------------------------------------------------------
# 4. Clients killed mid-transfer


def kill_download(port, how):
    sock = socket.create_connection((HOST, port), timeout=EXCHANGE_S)
    try:
        if how == "reset inside the request head":
            sock.sendall(b"GET /big.bin HTTP/1.1\r\nHost: 127.")
            time.sleep(0.05)
            set_reset_on_close(sock)
            return
        sock.sendall(b"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        if how == "close right after the request":
            return
        want = 256 * KIB if how == "reset after 256 KiB" else MIB
        got = 0
        while got < want:
            data = sock.recv(64 * KIB)
            if not data:
                break
            got += len(data)
        if how == "reset after 256 KiB":
            set_reset_on_close(sock)
        else:
            # Stops reading: the unread bytes make the close a reset too, later.
            time.sleep(0.2)
    finally:
        sock.close()


def kill_upload(port, how, name, data):
    head, prefix, suffix = upload_request(port, name, data)
    sock = socket.create_connection((HOST, port), timeout=EXCHANGE_S)
    try:
        if how == "reset inside the part header":
            sock.sendall(head + prefix[:20])
            time.sleep(0.05)
            set_reset_on_close(sock)
            return
        if how == "whole body, then reset before the answer":
            sock.sendall(head + prefix + data + suffix)
            # A reset throws away what the system has not sent yet; wait until the server
            # has taken every byte.
            deadline = time.monotonic() + EXCHANGE_S
            while unsent(sock) > 0 and time.monotonic() < deadline:
                time.sleep(0.005)
            set_reset_on_close(sock)
            return
        sock.sendall(head + prefix + data[:MIB])
        time.sleep(0.05)
        if how == "reset after 1 MiB":
            set_reset_on_close(sock)
        else:  # half-close after 1 MiB
            sock.shutdown(socket.SHUT_WR)
            sock.settimeout(EXCHANGE_S)
            try:
                while sock.recv(64 * KIB):
                    pass
            except OSError:
                pass
    finally:
        sock.close()


def test_killed(run):
    p = run.plan
    R.begin("killed", "clients reset or closed mid-download and mid-upload")
    share = run.folder("share-killed")
    write_random(os.path.join(share, "big.bin"), p.kill_file, run.rng)
    probe = run.rng.randbytes(100 * KIB)
    with open(os.path.join(share, "probe.txt"), "wb") as f:
        f.write(probe)
    folder = Server(run, "killed-folder", ["folder", share])
    folder.start()
    downloads = run.folder("received-killed")
    receive = Server(run, "killed-receive", ["receive"], download_dir=downloads)
    receive.start()
    base_f, base_r = folder.idle_threads(), receive.idle_threads()

    ways_down = ["reset after 256 KiB", "stop reading after 1 MiB and close", "close right after the request",
                 "reset inside the request head"]
    ways_up = ["reset after 1 MiB", "half-close after 1 MiB", "reset inside the part header",
               "whole body, then reset before the answer"]
    complete = {}
    jobs = []
    with ThreadPoolExecutor(max_workers=2 * p.kill_clients) as pool:
        for i in range(p.kill_clients):
            jobs.append(pool.submit(kill_download, folder.port, ways_down[i % len(ways_down)]))
            data = run.rng.randbytes(4 * MIB)
            how = ways_up[i % len(ways_up)]
            name = f"killed-{i:02d}.bin"
            if how.startswith("whole body"):
                complete[name] = sha256(data)
            jobs.append(pool.submit(kill_upload, receive.port, how, name, data))
        errors = [str(e) for e in (j.exception() for j in jobs) if e]
    R.figure(f"{p.kill_clients} downloads of a {mib(p.kill_file):.0f} MiB file cut: " + ", ".join(ways_down))
    R.figure(f"{p.kill_clients} uploads of 4 MiB cut: " + ", ".join(ways_up))
    if errors:
        R.figure(f"client errors: {errors[:3]}")

    settled_f = folder.settle(base_f)
    settled_r = receive.settle(base_r)
    R.figure("threads back to idle after " + ", ".join(
        f"{'?' if s is None else f'{s:.1f}'} s ({n})" for s, n in ((settled_f, "downloads"), (settled_r, "uploads"))))
    a = get(folder.port, "/probe.txt")
    ok_down = R.check(folder.alive() and a.ok and a.sha == sha256(probe),
                      "the folder server still serves a file intact")
    ok_down &= R.check(settled_f is not None, "its connection threads all ended")
    left = listing(downloads)
    leftovers = temporary_names(downloads)
    unexpected = [n for n in left if n not in complete]
    kept_ok = all(os.path.isfile(os.path.join(downloads, n)) and sha256_file(os.path.join(downloads, n)) == d
                  for n, d in complete.items())
    ok_up = R.check(not leftovers and not unexpected,
                    "no partial or temporary file from a cut upload" + (f": {leftovers + unexpected}" if leftovers or unexpected else ""))
    ok_up &= R.check(kept_ok, f"the {len(complete)} uploads cut only after their last byte were stored intact")
    fresh = run.rng.randbytes(300 * KIB)
    b = upload(receive.port, "after-killed.bin", fresh)
    path = os.path.join(downloads, "after-killed.bin")
    ok_up &= R.check(receive.alive() and b.ok and run.page(b) == "upload_ok.html" and os.path.isfile(path)
                     and sha256_file(path) == sha256(fresh), "the receiving server still stores an upload intact")
    ok_up &= R.check(settled_r is not None, "its connection threads all ended")
    run.fault("clients killed mid-download", ok_down)
    run.fault("clients killed mid-upload", ok_up)
    run.stored += len(complete) + 1
    run.refused += p.kill_clients - len(complete)
    run.partial += len(leftovers) + len(unexpected)
    for s in (folder, receive):
        code = s.terminate()
        R.check(code == 0, f"{s.name} exits 0 on SIGTERM (got {code})")


# ---------------------------------------------------------------------------------------
# 5. SIGTERM while transfers run


def slow_download(port, results, stopping):
    """Reads slowly until stopping is set, then as fast as it can to the end."""
    try:
        sock = socket.create_connection((HOST, port), timeout=EXCHANGE_S)
    except OSError:
        results.append(("refused", 0, time.monotonic()))
        return
    got = 0
    with sock:
        sock.sendall(b"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        sock.settimeout(EXCHANGE_S)
        try:
            while True:
                data = sock.recv(64 * KIB)
                if not data:
                    results.append(("closed", got, time.monotonic()))
                    return
                got += len(data)
                if not stopping.is_set():
                    time.sleep(0.02)
        except OSError as error:
            results.append((type(error).__name__, got, time.monotonic()))


def slow_upload(port, name, data, results, stopping=None):
    head, prefix, suffix = upload_request(port, name, data)
    try:
        sock = socket.create_connection((HOST, port), timeout=EXCHANGE_S)
    except OSError:
        results.append(("refused", b"", time.monotonic()))
        return
    with sock:
        try:
            sock.sendall(head + prefix)
            for at in range(0, len(data), 64 * KIB):
                sock.sendall(data[at:at + 64 * KIB])
                if stopping is None or not stopping.is_set():
                    time.sleep(0.02)
            sock.sendall(suffix)
        except OSError:
            pass
        sock.settimeout(EXCHANGE_S)
        answer = b""
        try:
            while True:
                chunk = sock.recv(64 * KIB)
                if not chunk:
                    break
                answer += chunk
        except OSError:
            pass
        results.append(("done", answer, time.monotonic()))


def endless_upload(port, name, results):
    """An upload of a body far larger than anything sent in this run, sent as fast as the
    server takes it, until the connection fails."""
    boundary, prefix, _ = multipart(name)
    block = random.randbytes(MIB)
    try:
        sock = socket.create_connection((HOST, port), timeout=EXCHANGE_S * 3)
    except OSError:
        results.append(("refused", 0, time.monotonic()))
        return
    sent = 0
    with sock:
        try:
            sock.sendall(upload_head(port, boundary, 1 << 40) + prefix)
            while True:
                sock.sendall(block)
                sent += len(block)
        except socket.timeout:
            results.append(("timed out", sent, time.monotonic()))
        except OSError as error:
            results.append((type(error).__name__, sent, time.monotonic()))


def test_term(run):
    p = run.plan
    R.begin("term", "SIGTERM while downloads and uploads run")
    share = run.folder("share-term")
    size = 64 * MIB
    write_random(os.path.join(share, "big.bin"), size, run.rng)
    folder = Server(run, "term-folder", ["folder", share])
    folder.start()
    downloads = run.folder("received-term")
    receive = Server(run, "term-receive", ["receive"], download_dir=downloads)
    receive.start()

    down, up, endless = [], [], []
    stopping = threading.Event()
    threads = []
    for i in range(2):
        threads.append(threading.Thread(target=endless_upload, args=(receive.port, f"endless-{i}.bin", endless),
                                        daemon=True))
    for i in range(p.term_clients):
        threads.append(threading.Thread(target=slow_download, args=(folder.port, down, stopping), daemon=True))
        data = run.rng.randbytes(16 * MIB)
        threads.append(threading.Thread(target=slow_upload, args=(receive.port, f"term-{i:02d}.bin", data, up, stopping),
                                        daemon=True))
    # Connections that have sent nothing yet, and one that sent half a head.
    idle = []
    for server in (folder, receive):
        for _ in range(3):
            idle.append(socket.create_connection((HOST, server.port)))
        half = socket.create_connection((HOST, server.port))
        half.sendall(b"GET / HTTP/1.1\r\nHo")
        idle.append(half)
    # The fast ones start shortly before the stop, or they would fill the disk.
    for t in threads[2:]:
        t.start()
    time.sleep(1.2)
    for t in threads[:2]:
        t.start()
    time.sleep(0.3)
    peak_f, peak_r = folder.threads(), receive.threads()
    in_flight = len(temporary_names(downloads))

    results = {}

    def term(server):
        results[server.name] = server.terminate()

    stoppers = [threading.Thread(target=term, args=(s,)) for s in (folder, receive)]
    termed = time.monotonic()
    stopping.set()
    for t in stoppers:
        t.start()
    for t in stoppers:
        t.join()
    for t in threads:
        t.join(EXCHANGE_S + 2)
    for s in idle:
        s.close()

    R.figure(f"running when stopped: {p.term_clients} downloads of 64 MiB (read slowly), {p.term_clients} uploads "
             f"of 16 MiB (sent slowly, {in_flight} temporary files in the folder), 8 idle or half-sent heads; "
             f"threads {peak_f} and {peak_r}")
    cut = sum(1 for _, got, _ in down if got < size)
    R.figure(f"downloads cut at {', '.join(f'{mib(g):.1f}' for _, g, _ in sorted(down, key=lambda r: r[1]))} MiB")
    R.figure(f"two uploads sending as fast as they could: {', '.join(f'{mib(n):.0f} MiB, then {why}' for why, n, _ in endless)}")
    ok_all = True
    for s in (folder, receive):
        ok = R.check(results[s.name] == 0 and s.exit_s is not None and s.exit_s <= STOP_LIMIT_S,
                     f"{s.name} exits 0 within {STOP_LIMIT_S:.0f} s"
                     + (f" ({s.exit_s:.2f} s)" if s.exit_s is not None else " (had to be killed)")
                     + ("" if results[s.name] == 0 else f", exit status {results[s.name]}"))
        run.fault(f"SIGTERM during {'downloads' if s is folder else 'uploads'}", ok)
        ok_all &= ok
    R.check(cut == len(down) == p.term_clients, f"every download ended with the server ({cut} cut short)")
    clients = down + up + endless
    late = [t - termed for _, _, t in clients if t - termed > STOP_LIMIT_S]
    R.figure(f"the last client learned it {max((t - termed for _, _, t in clients), default=0):.2f} s after the SIGTERM")
    R.check(len(clients) == 2 * p.term_clients + 2 and not late,
            f"every client learned within {STOP_LIMIT_S:.0f} s that its connection had ended"
            + (f" ({len(late)} took up to {max(late):.0f} s)" if late else "")
            + ("" if len(clients) == 2 * p.term_clients + 2 else f" ({len(clients)} of {2 * p.term_clients + 2} ended)"))
    left = listing(downloads)
    R.check(not left, "no partial upload left in the download folder" + (f": {left}" if left else ""))
    run.refused += p.term_clients
    run.partial += len(left)


# ---------------------------------------------------------------------------------------
# 6. The data limit crossed by several connections at once


LIMIT_REQUEST = b"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def limit_crowd(port, n):
    """n downloads that connect, ask and begin to read all at once, each on a thread of its
    own that reads as fast as it can, so that every one of them is streaming when the limit
    is reached. Returns what each received, head included."""
    connected, started = threading.Barrier(n, timeout=15), threading.Barrier(n, timeout=15)
    answers = [Answer() for _ in range(n)]

    def one(answer):
        sock = None
        try:
            sock = socket.create_connection((HOST, port), timeout=15)
        except OSError as error:
            answer.end, answer.error = "refused", repr(error)
        try:
            connected.wait()
            if sock is None:
                started.wait()
                return
            sock.sendall(LIMIT_REQUEST)
            # The first bytes say this connection's thread is sending; then all read at once.
            first = sock.recv(1)
            answer.received += len(first)
            started.wait()
            while first:
                data = sock.recv(1024 * KIB)
                if not data:
                    answer.end = "closed"
                    break
                answer.received += len(data)
                answer.body_len += len(data)
        except threading.BrokenBarrierError:
            answer.error = "not all connections got going"
        except socket.timeout:
            answer.end = "timeout"
        except OSError:
            answer.end = "reset"
        finally:
            if sock is not None:
                sock.close()
        answer.status = 0 if answer.received else None

    threads = [threading.Thread(target=one, args=(a,)) for a in answers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    return answers


def test_limit(run):
    p = run.plan
    n = p.limit_connections
    limit = p.limit_kb * 1000
    R.begin("limit", f"data limit of {p.limit_kb} KB crossed by {n} downloads at once, {p.limit_rounds} rounds")
    share = run.folder("share-limit")
    write_random(os.path.join(share, "big.bin"), p.limit_file, run.rng)
    allowance = limit + n * BLOCK
    worst = 0
    ok_all = True
    for round_ in range(p.limit_rounds):
        server = Server(run, f"limit-{round_}", ["folder", share], data_limit_kb=p.limit_kb)
        server.start()
        # The request that found the server ready counts toward the limit too.
        before = server.probe_bytes
        answers = limit_crowd(server.port, n)
        code = server.wait_exit(10)
        if code is None:
            server.terminate()
        out = server.output()
        received = sum(a.received for a in answers)
        sent = len(LIMIT_REQUEST) * sum(1 for a in answers if a.end != "refused")
        totals = re.search(r"Sent (\d+) bytes, received (\d+) bytes", out)
        server_sent, server_received = (int(totals.group(1)), int(totals.group(2))) if totals else (None, None)
        moved = received + sent + before
        R.figure(f"round {round_ + 1}: clients got {', '.join(f'{mib(a.body_len):.2f}' for a in answers)} MiB; "
                 f"all bytes {moved} (limit {limit}, allowance {allowance})"
                 + (f"; server counted {server_sent} sent + {server_received} received" if totals else ""))
        ok = R.check(out.count("Data limit reached") == 1 and code == 0,
                     f"round {round_ + 1}: the server says once that the limit was reached and exits 0 (status {code})")
        ok &= R.check(limit <= moved <= allowance,
                      f"round {round_ + 1}: bytes the clients moved within the limit plus one block per connection "
                      f"({moved - limit:+d} bytes)")
        if totals:
            counted = server_sent + server_received
            ok &= R.check(limit <= counted <= allowance,
                          f"round {round_ + 1}: the server's own count too ({counted - limit:+d} bytes)")
            worst = max(worst, counted - limit)
        worst = max(worst, moved - limit)
        ok_all &= ok
    R.figure(f"largest overshoot {worst} bytes; allowed {n * BLOCK}")

    # Uploads when the limit comes: whatever was not complete by then is not kept.
    downloads = run.folder("received-limit")
    limit_kb = 8000
    server = Server(run, "limit-uploads", ["receive"], download_dir=downloads, data_limit_kb=limit_kb)
    server.start()
    items = [(f"limited-{i}.bin", run.rng.randbytes(4 * MIB)) for i in range(n // 2)]
    with ThreadPoolExecutor(len(items)) as pool:
        answers = list(pool.map(lambda item: upload(server.port, *item), items))
    code = server.wait_exit(10)
    if code is None:
        server.terminate()
    out = server.output()
    kept = listing(downloads)
    intact = [name for name, data in items
              if name in kept and sha256_file(os.path.join(downloads, name)) == sha256(data)]
    R.figure(f"{len(items)} uploads of 4 MiB under a limit of {limit_kb} KB: {len(intact)} stored, "
             f"answers {sorted(str(a.status) for a in answers)}")
    ok = R.check(out.count("Data limit reached") == 1 and code == 0,
                 f"the receiving server stops once at the limit and exits 0 (status {code})")
    slow = [f"{a.seconds:.0f} s ({a.error or a.end})" for a in answers if a.end == "timeout" or a.seconds > STOP_LIMIT_S]
    ok &= R.check(not slow, "every uploading client learned at once that its connection had ended"
                  + (f"; waited {slow}" if slow else ""))
    ok &= R.check(sorted(intact) == kept, "nothing but complete uploads kept" + ("" if sorted(intact) == kept else f": {kept}"))
    ok_all &= ok
    run.stored += len(intact)
    run.refused += len(items) - len(intact)
    run.partial += len(kept) - len(intact)
    run.fault(f"data limit crossed by {n} downloads, and by {len(items)} uploads", ok_all)


# ---------------------------------------------------------------------------------------
# 7. A full disk


def test_fulldisk(run):
    R.begin("fulldisk", "uploads into a full file system (a 2 MiB tmpfs)")
    if os.geteuid() != 0:
        R.skip("not root: cannot mount a tmpfs")
        return
    mount = run.folder("tmpfs")
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m,mode=0755", "tmpfs", mount],
                            capture_output=True, text=True)
    if result.returncode != 0:
        R.skip(f"mount failed: {result.stderr.strip()}")
        return
    run.mounts.append(mount)
    server = Server(run, "fulldisk", ["receive"], download_dir=mount)
    ok = True
    try:
        server.start()
        big = run.rng.randbytes(4 * MIB)
        a = upload(server.port, "too-big.bin", big)
        ok &= R.check(a.status == 500 and run.page(a) == "upload_err.html",
                      f"a 4 MiB upload gets the error page with 500 (got {a.status}, {run.page(a) or a.end})")
        ok &= R.check(listing(mount) == [], "nothing left in the folder" + (f": {listing(mount)}" if listing(mount) else ""))
        run.refused += 1

        parts = [(f"part-{i}.bin", run.rng.randbytes(900 * KIB)) for i in range(3)]
        with ThreadPoolExecutor(3) as pool:
            answers = list(pool.map(lambda item: upload(server.port, *item), parts))
        stored, refused, wrong = 0, 0, []
        for (name, data), a in zip(parts, answers):
            path = os.path.join(mount, name)
            if a.ok and run.page(a) == "upload_ok.html" and os.path.isfile(path) and sha256_file(path) == sha256(data):
                stored += 1
            elif a.status == 500 and run.page(a) == "upload_err.html" and not os.path.exists(path):
                refused += 1
            else:
                wrong.append(f"{name}: {a.status} {run.page(a)} exists={os.path.exists(path)}")
        R.figure(f"three uploads of 900 KiB at once: {stored} stored, {refused} refused with the error page")
        ok &= R.check(not wrong and refused >= 1, "each stored intact or refused with nothing kept"
                      + (f": {wrong}" if wrong else ""))
        ok &= R.check(not temporary_names(mount), "no temporary file left")
        run.stored += stored
        run.refused += refused
        for name, _ in parts:
            if os.path.exists(os.path.join(mount, name)):
                os.remove(os.path.join(mount, name))

        small = run.rng.randbytes(100 * KIB)
        b = upload(server.port, "after-full.bin", small)
        path = os.path.join(mount, "after-full.bin")
        ok &= R.check(server.alive() and b.ok and os.path.isfile(path) and sha256_file(path) == sha256(small),
                      "the server still stores an upload that fits")
        c = get(server.port, "/")
        ok &= R.check(c.ok, "and still serves its page")
        run.stored += 1
        code = server.terminate()
        R.check(code == 0, f"server exits 0 on SIGTERM (got {code})")
    finally:
        server.kill()
        subprocess.run(["umount", mount], stderr=subprocess.DEVNULL)
        if os.path.ismount(mount):
            subprocess.run(["umount", "-l", mount], stderr=subprocess.DEVNULL)
        run.mounts.remove(mount)
    run.fault("full disk during an upload", ok)


# ---------------------------------------------------------------------------------------
# 8. The download folder removed


def test_removed(run):
    R.begin("removed", "the download folder removed while the server runs")
    parent = run.folder("removable")
    folder = os.path.join(parent, "downloads")
    os.makedirs(folder)
    server = Server(run, "removed", ["receive"], download_dir=folder)
    server.start()
    ok = True

    # Removed while an upload is on its way: the upload must not be reported as stored.
    data = run.rng.randbytes(2 * MIB)
    results = []
    t = threading.Thread(target=slow_upload, args=(server.port, "during.bin", data, results))
    t.start()
    time.sleep(0.4)
    shutil.rmtree(folder)
    t.join(EXCHANGE_S * 2)
    answer = results[0][1] if results else b""
    status, _ = parse_head(answer.split(b"\r\n\r\n")[0]) if answer else (None, {})
    ok &= R.check(status == 500 and answer.endswith(run.pages["upload_err.html"]),
                  f"an upload under way when the folder went gets the error page with 500 (got {status})")
    ok &= R.check(not os.path.exists(folder), "and makes no folder or file")

    a = upload(server.port, "missing.bin", run.rng.randbytes(50 * KIB))
    ok &= R.check(a.status == 500 and run.page(a) == "upload_err.html",
                  f"an upload into the missing folder gets the error page with 500 (got {a.status})")
    b = get(server.port, "/")
    ok &= R.check(server.alive() and b.ok and run.page(b) == "upload.html", "the server still serves its page")
    left_in_parent = [n for n in listing(parent)]
    ok &= R.check(not left_in_parent, "nothing written beside the missing folder"
                  + (f": {left_in_parent}" if left_in_parent else ""))

    os.makedirs(folder)
    fresh = run.rng.randbytes(200 * KIB)
    c = upload(server.port, "again.bin", fresh)
    ok &= R.check(c.ok and run.page(c) == "upload_ok.html" and listing(folder) == ["again.bin"]
                  and sha256_file(os.path.join(folder, "again.bin")) == sha256(fresh),
                  "once made again, the folder takes an upload intact")
    run.refused += 2
    run.stored += 1
    code = server.terminate()
    R.check(code == 0, f"server exits 0 on SIGTERM (got {code})")
    run.fault("download folder removed while running", ok)


# ---------------------------------------------------------------------------------------
# 9. Bad inputs


def bad_inputs(run, share_dir, data_img):
    """(name, bytes, must not succeed) for the folder server."""
    secret_rel = os.path.relpath(run.secret_paths[0], share_dir)  # ../secret.txt
    data_secret = "/" + os.path.relpath(run.secret_paths[1], "/")
    img = data_img.rstrip("/")
    get_ = lambda target: b"GET " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"  # noqa: E731
    items = [
        ("nothing at all", b"", False),
        ("empty lines only", b"\r\n\r\n\r\n", False),
        ("method only", b"GET\r\n\r\n", True),
        ("no version", b"GET /probe.txt\r\n\r\n", False),
        ("junk after the version", b"GET / HTTP/1.1 junk\r\n\r\n", True),
        ("two blanks", b"GET  / HTTP/1.1\r\n\r\n", True),
        ("lower-case method", b"get / HTTP/1.1\r\n\r\n", True),
        ("HEAD", b"HEAD / HTTP/1.1\r\n\r\n", True),
        ("PUT with a body", b"PUT /probe.txt HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", True),
        ("DELETE", b"DELETE /probe.txt HTTP/1.1\r\n\r\n", True),
        ("OPTIONS *", b"OPTIONS * HTTP/1.1\r\n\r\n", True),
        ("TRACE", b"TRACE / HTTP/1.1\r\n\r\n", True),
        ("CONNECT", b"CONNECT 127.0.0.1:22 HTTP/1.1\r\n\r\n", True),
        ("unknown version", b"GET / HTTP/9.9\r\n\r\n", False),
        ("not HTTP", b"GET / FOO/1.1\r\n\r\n", True),
        ("long version", b"GET / HTTP/1.10\r\n\r\n", True),
        ("request line of 100 KB", b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\n\r\n", True),
        ("target just over 8 KiB", b"GET /" + b"b" * 8200 + b" HTTP/1.1\r\n\r\n", True),
        ("header line of 100 KB", b"GET / HTTP/1.1\r\nX-Big: " + b"c" * 100000 + b"\r\n\r\n", True),
        ("5000 header lines", b"GET / HTTP/1.1\r\n" + b"X-Many: 1234567890\r\n" * 5000 + b"\r\n", True),
        ("header without a colon", b"GET / HTTP/1.1\r\nNoColonHere\r\n\r\n", True),
        ("blank before the colon", b"GET / HTTP/1.1\r\nHost : x\r\n\r\n", True),
        ("folded header", b"GET / HTTP/1.1\r\nX-A: 1\r\n  folded\r\n\r\n", True),
        ("NUL in a header name", b"GET / HTTP/1.1\r\nX\x00A: 1\r\n\r\n", True),
        ("NUL in a header value", b"GET / HTTP/1.1\r\nX-A: 1\x002\r\n\r\n", True),
        ("DEL in a header value", b"GET / HTTP/1.1\r\nX-A: 1\x7f2\r\n\r\n", True),
        ("TLS greeting", b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(range(256)) * 2, True),
        ("random bytes", run.rng.randbytes(4096), True),
        ("NUL bytes", b"\x00" * 1000, True),
        ("CR-only line ends", b"GET / HTTP/1.1\r\r\r\r", True),
        ("bare LF line ends", b"GET /probe.txt HTTP/1.1\nHost: x\n\n", False),
        ("NUL in the target", b"GET /probe.txt\x00.jpg HTTP/1.1\r\n\r\n", True),
        ("escaped NUL in the target", get_(b"/probe.txt%00.jpg"), True),
        ("escaped NUL alone", get_(b"/%00"), True),
        ("raw non-ASCII target", get_(b"/\xc3\xa9\xff"), True),
        ("invalid UTF-8 escapes", get_(b"/%ff%fe"), True),
        ("fragment", get_(b"/probe.txt#top"), False),
        ("query with dots", get_(b"/probe.txt?../../" + secret_rel.encode()), False),
        ("pipelined second request", get_(b"/probe.txt") + get_(b"/" + secret_rel.encode()), False),
        ("Content-Length negative", b"POST /probe.txt HTTP/1.1\r\nContent-Length: -1\r\n\r\n", True),
        ("Content-Length not a number", b"POST /probe.txt HTTP/1.1\r\nContent-Length: abc\r\n\r\n", True),
        ("Content-Length of 30 digits", b"POST /probe.txt HTTP/1.1\r\nContent-Length: " + b"9" * 30 + b"\r\n\r\n", True),
        ("two Content-Lengths", b"POST /probe.txt HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", True),
        ("Content-Length with a sign", b"POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello", True),
        ("chunked body", b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", True),
        ("GET with a body", b"GET /probe.txt HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", False),
        ("form body cut short", b"POST /login HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                b"Content-Length: 100\r\n\r\npassword=x", True),
        ("form body of 1 MB announced", b"POST /login HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                        b"Content-Length: 1000000\r\n\r\npassword=x", False),
        ("huge cookie id", b"GET / HTTP/1.1\r\nCookie: SessionId=" + b"9" * 40 + b"\r\n\r\n", False),
        ("negative cookie id", b"GET / HTTP/1.1\r\nCookie: SessionId=-1\r\n\r\n", False),
        ("cookie of 8 KB", b"GET / HTTP/1.1\r\nCookie: a=" + b"x" * 8000 + b"\r\n\r\n", False),
        ("Basic credentials not Base64", b"GET / HTTP/1.1\r\nAuthorization: Basic !!!\r\n\r\n", False),
        ("Basic credentials with NUL", b"GET / HTTP/1.1\r\nAuthorization: Basic dXNlcgBwdw==\r\n\r\n", False),
        ("absolute URL with user-info", get_(b"http://user:pw@127.0.0.1/probe.txt"), False),
    ]
    # Every way of walking out of the shared folder that we could think of.
    walks = [
        b"/" + secret_rel.encode(),
        b"/../../" + secret_rel.encode(),
        b"/%2e%2e/secret.txt", b"/%2E%2E/secret.txt", b"/..%2fsecret.txt", b"/%2e%2e%2fsecret.txt",
        b"/sub/../../secret.txt", b"/sub/%2e%2e/%2e%2e/secret.txt", b"/.%2e/secret.txt", b"/%2e./secret.txt",
        b"/..\\secret.txt", b"/..%5csecret.txt", b"/%5c..%5csecret.txt", b"//../secret.txt",
        b"/./../secret.txt", b"/%252e%252e/secret.txt", b"/%c0%ae%c0%ae/secret.txt", b"/..;/secret.txt",
        b"/sub/..", b"/..", b"/%2e%2e",
        b"http://127.0.0.1/../secret.txt", b"http://127.0.0.1/%2e%2e/secret.txt",
        run.secret_paths[0].encode(), b"/" + run.secret_paths[0].encode(),
        img.encode() + b"/../secret.txt", img.encode() + b"/%2e%2e/secret.txt", img.encode() + b"/..%2fsecret.txt",
        img.encode() + b"/../lang/C/upload.html", img.encode() + b"/../../data/secret.txt",
        img.encode() + b"_/../secret.txt", img.encode()[:-1] + b"/../secret.txt",
        data_secret.encode(), b"/etc/passwd", b"/../../../../../../etc/passwd",
        b"/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd", b"/proc/self/environ",
        b"/proc/self/cwd/secret.txt", b"/var/tmp/../../etc/passwd", b"/opt/Ta/../../etc/passwd",
        b"/dev/zero", b"/dev/urandom", b"/../../secret.txt",
    ]
    for walk in walks:
        items.append(("walk " + walk.decode("latin-1"), get_(walk), True))
    return items


def bad_uploads(run, port):
    """(name, bytes, must not succeed) for the receiving server."""
    data = b"payload " * 16
    items = []

    def post(boundary_param, body, length=None, extra=b""):
        length = len(body) if length is None else length
        return (b"POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data" + boundary_param
                + b"\r\nContent-Length: %d\r\n" % length + extra + b"\r\n" + body)

    def form(disposition, boundary=b"xyzzy", content=data, close=True):
        body = (b"--" + boundary + b"\r\nContent-Disposition: " + disposition
                + b"\r\nContent-Type: application/octet-stream\r\n\r\n" + content)
        if close:
            body += b"\r\n--" + boundary + b"--\r\n"
        return body

    good = form(b'form-data; name="file"; filename="fine.bin"')
    items += [
        ("no boundary", post(b"", good), True),
        ("empty boundary", post(b"; boundary=", good), True),
        ("boundary of 200 characters", post(b"; boundary=" + b"b" * 200, form(b'form-data; filename="b.bin"', b"b" * 200)), True),
        ("not multipart", b"POST /upload HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello", True),
        ("no Content-Type", b"POST /upload HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", True),
        ("body without a boundary line", post(b"; boundary=xyzzy", b"just bytes\r\n\r\nmore"), True),
        ("wrong boundary in the body", post(b"; boundary=xyzzy", form(b'form-data; filename="w.bin"', b"other")), True),
        ("closing delimiter only", post(b"; boundary=xyzzy", b"--xyzzy--\r\n"), True),
        ("part without a file name", post(b"; boundary=xyzzy", form(b'form-data; name="file"')), True),
        ("empty file name", post(b"; boundary=xyzzy", form(b'form-data; name="file"; filename=""')), True),
        ("file name ..", post(b"; boundary=xyzzy", form(b'form-data; filename=".."')), True),
        ("file name .", post(b"; boundary=xyzzy", form(b'form-data; filename="."')), True),
        ("file name with NUL", post(b"; boundary=xyzzy", form(b'form-data; filename="a\x00b.bin"')), True),
        ("escaped NUL in filename*", post(b"; boundary=xyzzy", form(b"form-data; filename*=UTF-8''a%00b.bin")), True),
        ("file name with a line end", post(b"; boundary=xyzzy", form(b'form-data; filename="a\rb.bin"')), True),
        ("file name of 300 bytes", post(b"; boundary=xyzzy", form(b'form-data; filename="' + b"n" * 300 + b'"')), True),
        ("part header of 20 KB", post(b"; boundary=xyzzy", form(b'form-data; filename="h.bin"\r\nX-Pad: ' + b"p" * 20000)), True),
        ("no closing delimiter", post(b"; boundary=xyzzy", form(b'form-data; filename="open.bin"', close=False)), True),
        ("Content-Length beyond the body", post(b"; boundary=xyzzy", good, length=len(good) + 5000), True),
        ("Content-Length short of the delimiter", post(b"; boundary=xyzzy", good, length=len(good) - 20), True),
        ("Content-Length of 1 TB", post(b"; boundary=xyzzy", good, length=10 ** 12), True),
        ("chunked upload", b"POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=xyzzy\r\n"
                           b"Transfer-Encoding: chunked\r\n\r\n" + good, True),
        ("Expect and no body", post(b"; boundary=xyzzy", b"", length=len(good), extra=b"Expect: 100-continue\r\n"), True),
        ("upload by GET", b"GET /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=xyzzy\r\n"
                          b"Content-Length: %d\r\n\r\n" % len(good) + good, False),
    ]
    # Names that point elsewhere: they may be stored, but only inside the download folder
    # and under their last component.
    for name in [b"../escape-1.bin", b"../../escape-2.bin", b"/tmp/escape-3.bin", b"..\\..\\escape-4.bin",
                 b"C:\\Windows\\escape-5.bin", b"sub/dir/escape-6.bin", b"%2e%2e%2fescape-7.bin",
                 b".upload-1234.part", b"upload.html", b"../secret.txt"]:
        items.append(("file name " + name.decode("latin-1"),
                      post(b"; boundary=xyzzy", form(b'form-data; name="file"; filename="' + name + b'"')), False))
    return items


def test_badinput(run):
    R.begin("badinput", "malformed and hostile requests sent raw")
    share = run.folder("share-bad")
    probe = run.rng.randbytes(2 * KIB)
    with open(os.path.join(share, "probe.txt"), "wb") as f:
        f.write(probe)
    os.makedirs(os.path.join(share, "sub"))
    with open(os.path.join(share, "sub", "inner.txt"), "wb") as f:
        f.write(b"inner\n")
    folder = Server(run, "badinput-folder", ["folder", share])
    folder.start()
    downloads = run.folder("received-bad", "downloads")
    receive = Server(run, "badinput-receive", ["receive"], download_dir=downloads)
    receive.start()
    # Files a walk out of the folders could reach, each holding the marker.
    for server in (folder, receive):
        for where in (server.home, server.tmp):
            with open(os.path.join(where, "secret.txt"), "wb") as f:
                f.write(run.marker + b"\n")
    before_work = set(os.listdir(run.work))
    before_parent = set(os.listdir(os.path.dirname(downloads)))

    cases = [("folder", folder, n, b, strict)
             for n, b, strict in bad_inputs(run, share, os.path.join(run.data_dir, "img"))]
    cases += [("receive", receive, n, b, strict) for n, b, strict in bad_uploads(run, receive.port)]
    cases += [("receive", receive, "walk " + n[5:], b, strict)
              for n, b, strict in bad_inputs(run, share, os.path.join(run.data_dir, "img")) if n.startswith("walk ")]

    def attempt(case):
        where, server, name, data, strict = case
        return case, exchange(server.port, data, timeout=EXCHANGE_S, shut=True)

    # Each request is sent twice: a server that answers the same bytes differently from
    # one time to the next has a race.
    leaks, hangs, successes, outcomes, first, differing = [], [], [], {}, {}, []
    with ThreadPoolExecutor(8) as pool:
        for round_ in range(2):
            for index, ((where, server, name, data, strict), a) in enumerate(pool.map(attempt, cases)):
                raw = a.raw_head + a.body
                if run.marker in raw or b"root:x:0:0:" in raw or (a.ok and b"HOME=" in raw):
                    leaks.append(f"{where}: {name}")
                if a.end == "timeout":
                    hangs.append(f"{where}: {name}")
                if strict and a.ok:
                    successes.append(f"{where}: {name} -> {a.status}")
                key = f"{a.status}" if a.status else f"no answer ({a.end})"
                # Refused without an answer, the connection ends with a FIN or, when bytes
                # of the request are still in flight as the server closes, with a reset;
                # which one is up to timing, not to the server.
                same = "no answer" if key in ("no answer (closed)", "no answer (reset)") else key
                if round_ == 0:
                    first[index] = same
                    outcomes[key] = outcomes.get(key, 0) + 1
                    if run.args.verbose:
                        print(f"      {where:8} {name[:60]:60} {key}")
                elif first[index] != same:
                    differing.append(f"{where}: {name}: {first[index]}, then {key}")
    run.bad_inputs = len(cases)

    probe_ok = get(folder.port, "/probe.txt")
    page_ok = get(receive.port, "/")
    kept = listing(downloads)
    outside = sorted((set(os.listdir(run.work)) - before_work)
                     | (set(os.listdir(os.path.dirname(downloads))) - before_parent))
    R.figure(f"{len(cases)} requests, each sent twice: " + ", ".join(f"{k}: {v}" for k, v in sorted(outcomes.items())))
    R.figure(f"stored from names that point elsewhere: {', '.join(kept) if kept else 'none'}")
    R.check(not leaks, "nothing from outside the shared folder was served" + (f": {leaks}" if leaks else ""))
    R.check(not successes, "no malformed or hostile request got a success answer" + (f": {successes[:5]}" if successes else ""))
    R.check(not hangs, f"every request answered or closed within {EXCHANGE_S:.0f} s of its end" + (f": {hangs[:5]}" if hangs else ""))
    R.check(not differing, "each request got the same answer both times" + (f": {differing[:5]}" if differing else ""))
    R.check(folder.alive() and receive.alive() and probe_ok.ok and probe_ok.sha == sha256(probe) and page_ok.ok,
            "both servers still up and serving")
    # One name sent looks like a temporary file of the server's; it is stored as sent.
    leftovers = [n for n in temporary_names(downloads) if n != ".upload-1234.part"]
    R.check(not leftovers and not outside, "no file landed outside the download folder, no temporary file inside"
            + (f": {outside + leftovers}" if outside or leftovers else ""))
    run.partial += len(leftovers)
    for s in (folder, receive):
        code = s.terminate()
        R.check(code == 0, f"{s.name} exits 0 on SIGTERM (got {code})")


# ---------------------------------------------------------------------------------------


def summary(run, seconds):
    rows = []
    dl = run.load.get("downloads")
    up = run.load.get("uploads")
    slow = run.load.get("slow")
    held = []
    if dl:
        held.append(f"{dl[0]}/{dl[1]} concurrent downloads verified ({dl[2]:.0f} MiB/s)")
    if up:
        held.append(f"{up[0]}/{up[1]} concurrent uploads verified ({up[2]:.0f} MiB/s)")
    if slow:
        held.append(f"normal client answered {slow[0]}/{slow[1]} beside {slow[5]} slow connections "
                    f"(median {slow[2]:.0f} ms, max {slow[3]:.0f} ms; {slow[6]} slow ones refused with 503)")
    rows.append(("Load held", "; ".join(held) or "not run"))
    # Per load test: its peak threads and memory; the highest of all servers comes first.
    during = []
    if slow:
        during.append((f"with {slow[5]} slow connections open", slow[4], slow[7]))
    if dl:
        during.append((f"during {dl[1]} downloads", dl[3], dl[4]))
    if up:
        during.append((f"during {up[1]} uploads", up[3], up[4]))
    threads = "; ".join(f"{t} {where}" for where, t, _ in during)
    memory = "; ".join(f"{m / 1024:.1f} MiB {where}" for where, _, m in during)
    if run.peak_threads:
        known = run.peak_threads in [t for _, t, _ in during]
        rows.append(("Peak threads", (threads if known else f"{run.peak_threads} (test {run.peak_threads_where})"
                                      + (f"; {threads}" if threads else ""))))
    if run.peak_hwm_kib:
        known = run.peak_hwm_kib in [m for _, _, m in during]
        rows.append(("Peak memory (resident)", memory if known else f"{run.peak_hwm_kib / 1024:.1f} MiB "
                     f"(test {run.peak_hwm_where})" + (f"; {memory}" if memory else "")))
    survived = sum(1 for _, ok in run.faults if ok)
    names = "; ".join(name + ("" if ok else " (FAILED)") for name, ok in run.faults)
    rows.append(("Faults survived", f"{survived}/{len(run.faults)}: {names}" if run.faults else "not run"))
    rows.append(("Bad inputs tried", f"{run.bad_inputs}, each sent twice" + (
        "" if any(f.startswith("badinput") for f in R.failures)
        else ": servers up after all, nothing outside the shared folder served, the same answer both times")
        if run.bad_inputs else "not run"))
    lost = run.partial > 0 or any(f.startswith(("uploads", "killed", "term", "fulldisk", "removed")) for f in R.failures)
    rows.append(("Nothing lost", ("no: " if lost else "yes: ") + f"{run.stored} uploads stored byte for byte, "
                 f"{run.refused} refused or cut with nothing kept, {run.partial} partial or temporary files"))
    width = max(len(k) for k, _ in rows)
    print("\n== summary\n")
    for k, v in rows:
        print(f"  {k:<{width}}  {v}")
    if R.failures:
        print(f"\n  {len(R.failures)} checks FAILED:")
        for failure in R.failures:
            print(f"    {failure}")
    else:
        print("\n  all checks passed")
    if run.args.markdown:
        with open(run.args.markdown, "w") as f:
            f.write("| Figure | Result |\n|---|---|\n")
            for k, v in rows:
                f.write(f"| {k} | {v} |\n")
        print(f"  table written to {run.args.markdown}")
    print(f"\n  ({seconds:.0f} s)\nload_faults: {R.checks - len(R.failures)} passed, {len(R.failures)} failed", flush=True)


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 8192 if hard == resource.RLIM_INFINITY else min(hard, 8192)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller and shorter (about a minute)")
    parser.add_argument("--only", help="comma-separated tests: " + ",".join(TESTS))
    parser.add_argument("--keep", action="store_true", help="keep the work folder and the server logs")
    parser.add_argument("--markdown", metavar="FILE", help="also write the summary table as Markdown")
    parser.add_argument("--serve", default=os.environ.get("TARNWICK_SERVE", os.path.join(TOP, "build", "bin", "tarnwick-serve")))
    parser.add_argument("-v", "--verbose", action="store_true", help="show the answer to every bad input")
    args = parser.parse_args()
    chosen = TESTS if not args.only else args.only.split(",")
    unknown = [t for t in chosen if t not in TESTS]
    if unknown:
        parser.error(f"unknown test {unknown}; choose from {','.join(TESTS)}")
    if not os.access(args.serve, os.X_OK):
        print(f"load_faults: no program at {args.serve} (build it, or set TARNWICK_SERVE)", file=sys.stderr)
        return 2

    fds = raise_fd_limit()
    run = Run(args)
    started = time.monotonic()

    # However the run goes, it ends in time and leaves no server or mount behind.
    def overtime():
        print(f"\nload_faults: over the time limit of {run.plan.time_limit_s} s; stopping", flush=True)
        run.cleanup()
        os._exit(1)

    watchdog = threading.Timer(run.plan.time_limit_s, overtime)
    watchdog.daemon = True
    watchdog.start()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    print(f"tarnwick-serve load and fault tests ({'quick' if args.quick else 'full'}): {run.serve}")
    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}; fd limit {fds}; work folder {run.work}")
    try:
        for name in chosen:
            globals()["test_" + name](run)
    except KeyboardInterrupt:
        print("\ninterrupted")
        R.failures.append("interrupted")
    finally:
        watchdog.cancel()
        run.cleanup()
    summary(run, time.monotonic() - started)
    return 1 if R.failures else 0


if __name__ == "__main__":
    sys.exit(main())
