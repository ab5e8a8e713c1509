#!/usr/bin/env python3
"""Measures how tarnwick-serve answers a browser while idle and slow connections hold it.

usage: idle_connections.py [--idle N] [--slow N] [--requests N] [--serve PROGRAM]

Starts PROGRAM (default build/bin/tarnwick-serve) on a free loopback port, sharing a
scratch folder of 100 small files and a 1 MiB file, with a scratch HOME and TMPDIR. It
times GET / (the listing) and GET /file.bin, each REQUESTS times on a new connection,
first on the idle server, then with IDLE connections open that send nothing and SLOW
ones that trickle a request a byte every 2 s. It prints the median, 90th percentile
and largest time from connecting to the last byte of the answer, the answers that were
not 202, the server's threads and resident memory, how many idle connections the
server kept open, and how long it took to exit on SIGTERM with all of them open.

Every connection of the run is a descriptor of this script as well, so it raises its own
descriptor limit to IDLE + SLOW + 256 (as `ulimit -n` would; the hard limit must allow it).
The run lasts well under the 30 s the server gives a request head.
"""

import argparse
import os
import resource
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
READY_WAIT_S = 10
TRICKLE_PAUSE_S = 2.0
SETTLE_S = 1.0
ANSWER_WAIT_S = 10


def raise_descriptor_limit(needed):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < needed:
        if hard != resource.RLIM_INFINITY and hard < needed:
            sys.exit(f"need {needed} descriptors, the hard limit is {hard}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))


def free_port():
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


def make_share(root):
    shared = os.path.join(root, "shared")
    os.makedirs(shared)
    for i in range(100):
        with open(os.path.join(shared, f"file-{i:03}.txt"), "wb") as f:
            f.write(os.urandom(1024))
    with open(os.path.join(shared, "file.bin"), "wb") as f:
        f.write(os.urandom(1024 * 1024))
    return shared


def start_server(program, port, shared, root):
    home = os.path.join(root, "home")
    tmp = os.path.join(root, "tmp")
    os.makedirs(home)
    os.makedirs(tmp)
    env = dict(os.environ, HOME=home, TMPDIR=tmp, LANG="C", LC_ALL="C")
    server = subprocess.Popen([program, "--port", str(port), "folder", shared], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + READY_WAIT_S
    while time.monotonic() < deadline:
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return server
        except OSError:
            time.sleep(0.05)
    server.kill()
    sys.exit(f"{program} did not listen on port {port}")


def fetch(port, path):
    """Returns (status, seconds) for one request on a new connection."""
    started = time.monotonic()
    with socket.create_connection((HOST, port), timeout=ANSWER_WAIT_S) as conn:
        conn.sendall(f"GET {path} HTTP/1.1\r\nHost: {HOST}:{port}\r\n\r\n".encode())
        answer = bytearray()
        while True:
            chunk = conn.recv(256 * 1024)
            if not chunk:
                break
            answer += chunk
    elapsed = time.monotonic() - started
    fields = bytes(answer[:64]).split(b"\r\n", 1)[0].split()
    status = int(fields[1]) if len(fields) > 1 and fields[1].isdigit() else 0
    return status, elapsed


def measure(port, path, count):
    times, other = [], {}
    for _ in range(count):
        try:
            status, elapsed = fetch(port, path)
        except OSError as error:
            status, elapsed = type(error).__name__, None
        if status == 202 and elapsed is not None:
            times.append(elapsed * 1000)
        else:
            other[status] = other.get(status, 0) + 1
    return times, other


def describe(times, other):
    if not times:
        return "no answer: " + str(other)
    times = sorted(times)
    p90 = times[min(len(times) - 1, int(len(times) * 0.9))]
    text = f"median {statistics.median(times):6.2f} ms, p90 {p90:6.2f} ms, max {times[-1]:6.2f} ms"
    if other:
        text += "; not 202: " + ", ".join(f"{k} x{v}" for k, v in other.items())
    return text


def server_status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields.get("Threads", "?"), fields.get("VmRSS", "?")


def open_idle(port, count):
    conns = []
    for _ in range(count):
        conns.append(socket.create_connection((HOST, port)))
    return conns


def still_open(conns):
    """Connections the server has not ended (nothing to read, no hang-up)."""
    open_count = 0
    poller = select.poll()
    for conn in conns:
        poller.register(conn, select.POLLIN)
    ended = {fd for fd, _ in poller.poll(0)}
    for conn in conns:
        if conn.fileno() not in ended:
            open_count += 1
    return open_count


class Trickler(threading.Thread):
    """Connections that send a request a byte at a time, each byte TRICKLE_PAUSE_S apart."""

    def __init__(self, port, count):
        super().__init__(daemon=True)
        self.request = f"GET / HTTP/1.1\r\nHost: {HOST}:{port}\r\nUser-Agent: slow\r\n\r\n".encode()
        self.conns = [socket.create_connection((HOST, port)) for _ in range(count)]
        self.stop = threading.Event()

    def run(self):
        sent = 0
        while not self.stop.wait(0 if sent == 0 else TRICKLE_PAUSE_S) and sent < len(self.request):
            for conn in self.conns:
                try:
                    conn.send(self.request[sent:sent + 1])
                except OSError:
                    pass
            sent += 1

    def close(self):
        self.stop.set()
        self.join()
        for conn in self.conns:
            conn.close()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--idle", type=int, default=1000)
    parser.add_argument("--slow", type=int, default=20)
    parser.add_argument("--requests", type=int, default=50)
    parser.add_argument("--serve", default=os.environ.get(
        "TARNWICK_SERVE", os.path.join(os.path.dirname(here), "build", "bin", "tarnwick-serve")))
    args = parser.parse_args()

    raise_descriptor_limit(args.idle + args.slow + 256)
    root = tempfile.mkdtemp(prefix="tarnwick-idle-")
    server = None
    try:
        shared = make_share(root)
        port = free_port()
        server = start_server(args.serve, port, shared, root)

        print(f"tarnwick-serve on {HOST}:{port}; {args.requests} requests per figure")
        fetch(port, "/")  # the page cache and the server's first thread
        for path in ("/", "/file.bin"):
            print(f"  idle server      GET {path:<9} {describe(*measure(port, path, args.requests))}")

        idle = open_idle(port, args.idle)
        slow = Trickler(port, args.slow)
        slow.start()
        time.sleep(SETTLE_S)
        threads, rss = server_status(server.pid)
        print(f"  with {args.idle} idle and {args.slow} slow connections: server threads {threads}, RSS {rss}")
        for path in ("/", "/file.bin"):
            print(f"  loaded server    GET {path:<9} {describe(*measure(port, path, args.requests))}")
        print(f"  idle connections still open: {still_open(idle)} of {args.idle}")

        started = time.monotonic()
        server.send_signal(signal.SIGTERM)
        status = server.wait(timeout=30)
        print(f"  SIGTERM with all of them open: exit status {status} after "
              f"{(time.monotonic() - started) * 1000:.0f} ms")
        server = None
        slow.close()
        for conn in idle:
            conn.close()
    finally:
        if server is not None:
            server.kill()
            server.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
