#!/usr/bin/env python3
"""Measures the host's memory under a trickling-header attack.

Opens N connections to a running host's game port, sends on each a frame
header that announces a large body and then one body byte per second, and
samples the host's RSS (from /proc) before, at the peak and after the
connections were closed by the server (frame read timeout) or by this script.

  scripts/trickle_memory.py --pid PID --port PORT [--connections 2000]
      [--length 1048576] [--seconds 40]
"""
import argparse
import resource
import socket
import struct
import time


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--connections", type=int, default=2000)
    parser.add_argument("--length", type=int, default=1024 * 1024)
    parser.add_argument("--seconds", type=int, default=40)
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE,
                       (min(hard, args.connections + 256), hard))

    before = rss_mb(args.pid)
    peak = before
    sockets = []
    for _ in range(args.connections):
        s = socket.create_connection((args.host, args.port))
        s.sendall(struct.pack(">I", args.length))
        sockets.append(s)
        peak = max(peak, rss_mb(args.pid))
    open_at_end = 0
    start = time.time()
    while time.time() - start < args.seconds:
        alive = []
        for s in sockets:
            try:
                s.sendall(b"x")
                alive.append(s)
            except OSError:
                s.close()
        sockets = alive
        peak = max(peak, rss_mb(args.pid))
        time.sleep(1)
    open_at_end = len(sockets)
    for s in sockets:
        s.close()
    time.sleep(2)
    after = rss_mb(args.pid)
    print(f"connections={args.connections} header length={args.length} "
          f"seconds={args.seconds}")
    print(f"rss before={before:.1f} MB peak={peak:.1f} MB after={after:.1f} MB")
    print(f"connections still open after {args.seconds} s: {open_at_end}")


if __name__ == "__main__":
    main()
