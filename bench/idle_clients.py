#!/usr/bin/env python3
"""Opens COUNT idle client connections to 127.0.0.1:PORT and holds them.

Every second connection sends the start of a request (a request line and a
Host line, never the blank line that would end the header); the others send
nothing. Prints "ready N SECONDS" once all are connected, then holds them until
HOLD_SECONDS have passed or the process is terminated.

Usage: idle_clients.py PORT COUNT HOLD_SECONDS PARTIAL_REQUEST_URL
"""

import resource
import signal
import socket
import sys
import time


def main() -> int:
    port = int(sys.argv[1])
    count = int(sys.argv[2])
    hold = float(sys.argv[3])
    url = sys.argv[4]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = count + 64
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    host = url.split("/")[2]
    partial = f"GET {url} HTTP/1.1\r\nHost: {host}\r\n".encode()
    sockets = []
    start = time.monotonic()
    deadline = start + hold
    for i in range(count):
        # Long enough for a few SYN retransmissions to a full listen queue.
        s = socket.create_connection(("127.0.0.1", port), timeout=60)
        if i % 2 == 1:
            s.sendall(partial)
        sockets.append(s)
    print(f"ready {len(sockets)} {time.monotonic() - start:.2f}", flush=True)
    while time.monotonic() < deadline:
        time.sleep(0.2)
    for s in sockets:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
