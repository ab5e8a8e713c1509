#!/usr/bin/env python3
"""Measures the resident memory of tarnwick-serve at rest and under two loads.

usage: memory.py [--serve PROGRAM] [--args ARGS] [--files N] [--stalled N] [--parallel N]

Starts PROGRAM (default build/bin/tarnwick-serve, with ARGS, default -q) on a free loopback
port with a scratch HOME and TMPDIR and prints its resident memory (VmRSS, and the peak VmHWM) three times:
 - at rest, a second after it printed its address;
 - while PARALLEL clients (default 500) download a 1 KiB file at once, again and again
   for five seconds, each on a new connection;
 - while STALLED clients (default 150) have asked for the listing of a folder of FILES
   files (default 50,000) and read nothing of it, once the server has written all it
   will write to them (its memory stays the same for three seconds).
A server caps the connections of one address, so the clients connect from several
loopback addresses (127.0.0.2, 127.0.0.3, ...).
"""

import argparse
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

PER_ADDRESS = 50


def status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                fields[key] = value.strip()
    return fields


def source(i):
    return (f"127.0.0.{2 + i // PER_ADDRESS}", 0)


def start(program, extra, share, home):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    env = dict(os.environ, HOME=home, TMPDIR=home)
    server = subprocess.Popen([program] + extra.split() + ["--port", str(port), "folder", share], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in server.stdout:
        if f":{port}/" in line:
            threading.Thread(target=server.stdout.read, daemon=True).start()
            return server, port
    sys.exit("the server printed no address")


def parallel_downloads(port, clients, seconds):
    end = time.monotonic() + seconds
    counts = [0] * clients

    def client(i):
        while time.monotonic() < end:
            with socket.create_connection(("127.0.0.1", port), source_address=source(i)) as s:
                s.sendall(b"GET /small.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                while s.recv(65536):
                    pass
            counts[i] += 1

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    return threads, counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--serve", default="build/bin/tarnwick-serve")
    parser.add_argument("--args", default="-q")
    parser.add_argument("--files", type=int, default=50000)
    parser.add_argument("--stalled", type=int, default=150)
    parser.add_argument("--parallel", type=int, default=500)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))

    root = tempfile.mkdtemp(prefix="tarnwick-memory.")
    try:
        home = os.path.join(root, "home")
        share = os.path.join(root, "share")
        os.makedirs(home)
        os.makedirs(share)
        with open(os.path.join(share, "small.bin"), "wb") as f:
            f.write(os.urandom(1024))
        for i in range(args.files):
            open(os.path.join(share, f"a-rather-long-file-name-{i:06}.txt"), "wb").close()

        server, port = start(args.serve, args.args, share, home)
        time.sleep(1)
        print(f"at rest: {status(server.pid)}")

        # Sampled from a thread of its own: starting the clients takes the interpreter a while.
        peak, done = {}, threading.Event()

        def sample():
            nonlocal peak
            while not done.is_set():
                peak = max(peak, status(server.pid), key=lambda s: int(s.get("VmRSS", "0 kB").split()[0]))
                time.sleep(0.2)

        sampler = threading.Thread(target=sample)
        sampler.start()
        threads, counts = parallel_downloads(port, args.parallel, 5)
        for t in threads:
            t.join()
        done.set()
        sampler.join()
        print(f"{args.parallel} parallel small downloads ({sum(counts)} in 5 s): {peak}")

        stalled = []
        for i in range(args.stalled):
            s = socket.create_connection(("127.0.0.1", port), source_address=source(i))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            stalled.append(s)
        # The pages are built one after the other: wait until the memory stops growing.
        last, steady = None, 0
        for _ in range(60):
            time.sleep(1)
            now = status(server.pid)
            steady = steady + 1 if now == last else 0
            last = now
            if steady == 3:
                break
        print(f"{args.stalled} stalled readers of a {args.files}-file listing: {last}")
        for s in stalled:
            s.close()
        server.terminate()
        server.wait()
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
