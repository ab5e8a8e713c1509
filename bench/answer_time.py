#!/usr/bin/env python3
"""Times how long a server takes to answer an upload once its last byte has been sent.

usage: answer_time.py put|form URL FILE NAME

put:  a PUT of FILE's bytes to URL followed by NAME;
form: a multipart POST to URL whose one part is FILE, named NAME, as curl -F sends it.

Prints the answer's status code and the milliseconds from handing the body's last byte
to the system to the arrival of the answer's first byte. On loopback the system holds
at most a few MiB of the body at that moment, which a server reads in milliseconds; a
server that waits for anything else shows it here.
"""

import os
import socket
import sys
import time
import urllib.parse


def request(kind, url, path, name):
    parts = urllib.parse.urlsplit(url)
    size = os.path.getsize(path)
    host = f"Host: {parts.netloc}\r\n"
    if kind == "put":
        target = parts.path + urllib.parse.quote(name)
        head = f"PUT {target} HTTP/1.1\r\n{host}Content-Length: {size}\r\nConnection: close\r\n\r\n"
        return parts, head.encode(), b""
    boundary = "------------------------" + os.urandom(8).hex()
    part = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"{name}\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode()
    tail = f"\r\n--{boundary}--\r\n".encode()
    head = (f"POST {parts.path} HTTP/1.1\r\n{host}Content-Length: {len(part) + size + len(tail)}\r\n"
            f"Content-Type: multipart/form-data; boundary={boundary}\r\nConnection: close\r\n\r\n")
    return parts, head.encode() + part, tail


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("put", "form"):
        sys.exit(__doc__)
    kind, url, path, name = sys.argv[1:]
    parts, head, tail = request(kind, url, path, name)
    with socket.create_connection((parts.hostname, parts.port)) as conn, open(path, "rb") as body:
        conn.sendall(head)
        conn.sendfile(body)
        conn.sendall(tail)
        sent = time.monotonic()
        answer = conn.recv(65536)
        answered = time.monotonic()
        while b"\r\n" not in answer:
            more = conn.recv(65536)
            if not more:
                break
            answer += more
    fields = answer.split(b"\r\n", 1)[0].split()
    status = fields[1].decode() if len(fields) > 1 else "0"
    print(status, f"{(answered - sent) * 1000:.1f}")


if __name__ == "__main__":
    main()
