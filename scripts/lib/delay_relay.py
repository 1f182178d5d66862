#!/usr/bin/env python3
"""A share's round trips on one machine: scripts/bench --fuse gives this to
sshfs as its ssh command. It starts the SFTP server on a local folder and
passes everything between sshfs and the server, holding each piece for a
fixed delay in each direction, in order, as a network link would.

  delay_relay.py DELAY_US SERVER [IGNORED...]

sshfs appends ssh's own arguments (host, -s sftp, ...); they mean nothing
here and are ignored.
"""
import collections
import os
import subprocess
import sys
import threading
import time


def relay(source, sink, delay):
    """Copies source to sink, each piece written |delay| seconds after it was
    read; the reading never waits for the writing."""
    pieces = collections.deque()
    ready = threading.Condition()
    done = []

    def read():
        while True:
            try:
                data = os.read(source, 1 << 16)
            except OSError:
                data = b""
            with ready:
                pieces.append((time.monotonic() + delay, data))
                ready.notify()
            if not data:
                return

    threading.Thread(target=read, daemon=True).start()
    while True:
        with ready:
            while not pieces:
                ready.wait()
            due, data = pieces.popleft()
        wait = due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        if not data:
            done.append(True)
            os.close(sink)
            return
        view = memoryview(data)
        while view:
            written = os.write(sink, view)
            view = view[written:]


def main():
    delay = int(sys.argv[1]) / 1e6
    server = subprocess.Popen([sys.argv[2]], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, bufsize=0)
    to_server = threading.Thread(
        target=relay, args=(0, server.stdin.fileno(), delay), daemon=True)
    to_server.start()
    try:
        relay(server.stdout.fileno(), 1, delay)
    except BrokenPipeError:
        pass
    server.wait()


if __name__ == "__main__":
    main()
