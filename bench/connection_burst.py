#!/usr/bin/env python3
"""Connection bursts against 127.0.0.1:PORT for bench/run.

burst PORT COUNT PID
    Starts COUNT connects at once (non-blocking, none waited for before the
    next) and waits until the process PID and its descendants hold COUNT more
    descriptors than before, i.e. until the server has accepted them all.
    Prints "accepted COUNT SECONDS"; the connections close when it exits.

idle PORT COUNT URL
    Opens COUNT connections one after the other: a third send nothing, a third
    the start of a request (never the blank line that ends its head), a third
    one whole request for URL, read its answer and then say nothing. Prints
    "ready COUNT SECONDS" once all are open, then waits for the server to close
    every one and prints "closed COUNT SECONDS", the seconds from the last
    connect to the last close.
"""

import os
import resource
import selectors
import socket
import sys
import time


def raise_file_limit(count):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count + 64:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(count + 64, hard), hard))


def process_tree(root):
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    tree, found = [root], []
    while tree:
        pid = tree.pop()
        found.append(pid)
        tree.extend(child for child, parent in parents.items() if parent == pid)
    return found


def descriptors(pids):
    total = 0
    for pid in pids:
        try:
            total += len(os.listdir(f"/proc/{pid}/fd"))
        except OSError:
            pass
    return total


def burst(port, count, pid):
    # Taken before the burst: a server that starts a process per connection
    # is not measured by this.
    pids = process_tree(pid)
    before = descriptors(pids)
    sockets = []
    start = time.monotonic()
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sockets.append(s)
    while descriptors(pids) - before < count:
        if time.monotonic() - start > 60:
            print(f"gave up: {descriptors(pids) - before} of {count} accepted", flush=True)
            return 1
        time.sleep(0.002)
    print(f"accepted {count} {time.monotonic() - start:.3f}", flush=True)
    return 0


def read_answer(s):
    data = b""
    while b"\r\n\r\n" not in data:
        data += s.recv(4096)
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(head.lower().split(b"content-length:")[1].split(b"\r\n")[0])
    while len(body) < length:
        body += s.recv(65536)


def idle(port, count, url):
    host = url.split("/")[2]
    request = f"GET {url} HTTP/1.1\r\nHost: {host}\r\n"
    sockets = []
    start = time.monotonic()
    for i in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=60)
        if i % 3 == 1:
            s.sendall(request.encode())
        elif i % 3 == 2:
            s.sendall((request + "\r\n").encode())
            read_answer(s)
        sockets.append(s)
    ready = time.monotonic()
    print(f"ready {count} {ready - start:.2f}", flush=True)
    selector = selectors.DefaultSelector()
    for s in sockets:
        s.setblocking(False)
        selector.register(s, selectors.EVENT_READ)
    open_count, last = count, ready
    while open_count > 0:
        events = selector.select(timeout=600)
        if not events:
            print(f"gave up: {open_count} of {count} still open", flush=True)
            return 1
        for key, _ in events:
            try:
                closed = key.fileobj.recv(4096) == b""
            except ConnectionError:
                closed = True
            if closed:
                selector.unregister(key.fileobj)
                key.fileobj.close()
                open_count -= 1
                last = time.monotonic()
    print(f"closed {count} {last - ready:.2f}", flush=True)
    return 0


def main():
    mode, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    raise_file_limit(count)
    if mode == "burst":
        return burst(port, count, int(sys.argv[4]))
    return idle(port, count, sys.argv[4])


if __name__ == "__main__":
    sys.exit(main())
