#!/usr/bin/env python3
"""Samples the memory and thread count of running servers until told to stop.

usage: sample.py OUT INTERVAL NAME=PID [NAME=PID ...]

Every INTERVAL seconds it reads /proc/PID/status of each server and of its child
processes (a master with workers counts as one server) and keeps, per server, the
highest sum of VmHWM (peak resident memory, kept by the kernel per process) and the
highest sum of Threads. On SIGTERM, or when every server has gone, it writes one line
per server to OUT: NAME, peak RSS in KiB, peak threads, separated by tabs.
"""

import os
import signal
import sys
import time


def status_fields(pid):
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                key, _, value = line.partition(":")
                if key in ("VmHWM", "Threads"):
                    fields[key] = int(value.split()[0])
    except (OSError, ValueError):
        return None
    return fields


def children(pid):
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as listed:
                found.extend(int(child) for child in listed.read().split())
    except OSError:
        pass
    return found


def process_tree(pid):
    tree, todo = [], [pid]
    while todo:
        current = todo.pop()
        tree.append(current)
        todo.extend(children(current))
    return tree


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    out, interval = sys.argv[1], float(sys.argv[2])
    servers = {}
    for arg in sys.argv[3:]:
        name, _, pid = arg.partition("=")
        servers[name] = int(pid)
    peaks = {name: [0, 0] for name in servers}

    stop = False

    def on_term(*_):
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)

    while not stop:
        alive = 0
        for name, pid in servers.items():
            rss = threads = 0
            for member in process_tree(pid):
                fields = status_fields(member)
                if fields:
                    rss += fields.get("VmHWM", 0)
                    threads += fields.get("Threads", 0)
            if threads:
                alive += 1
            peaks[name][0] = max(peaks[name][0], rss)
            peaks[name][1] = max(peaks[name][1], threads)
        if not alive:
            break
        time.sleep(interval)

    with open(out, "w") as result:
        for name, (rss, threads) in peaks.items():
            result.write(f"{name}\t{rss}\t{threads}\n")


if __name__ == "__main__":
    main()
