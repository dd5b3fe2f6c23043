#!/usr/bin/env python3
"""measure_rss.py DEVSERVER: movu-devserver's memory under a heavy, careless client (Linux).

Starts the server on a free port of 127.0.0.1, then: 20,000 token requests with 1 KB accounts,
8,000 with 60 KB accounts (refused: over the identity cap), 8,000 requests with 60 KB targets,
and `movu-devserver requests --since 0` over the whole record. Prints VmRSS after each step and
the peak (VmHWM) as a Markdown table.
"""
import concurrent.futures
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def rss(pid, field="VmRSS"):
    return int(re.search(field + r":\s+(\d+)", Path(f"/proc/{pid}/status").read_text()).group(1)) // 1024


def one(port, target, account):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Account: {account}\r\n\r\n".encode())
        while s.recv(65536):
            pass


def load(port, n, target, account):
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda i: one(port, target, account + str(i)), range(n)))


def main():
    server = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        port_file = Path(tmp, "port")
        proc = subprocess.Popen([server, "--port", "0", "--port-file", str(port_file), "--parent-pid", str(os.getpid())],
                                stdout=subprocess.DEVNULL)
        try:
            while not port_file.exists():
                time.sleep(0.05)
            port = int(port_file.read_text())
            rows = [("started", rss(proc.pid), "")]
            load(port, 20000, "/v1/client/token.php", "a" * 1000)
            rows.append(("20,000 token requests, 1 KB accounts", rss(proc.pid), ""))
            load(port, 8000, "/v1/client/token.php", "b" * 60000)
            rows.append(("8,000 more, 60 KB accounts", rss(proc.pid), ""))
            load(port, 8000, "/v1/calendar/day.php?pad=" + "x" * 60000, "c")
            rows.append(("8,000 requests with 60 KB targets", rss(proc.pid), ""))
            started = time.monotonic()
            done = subprocess.run([server, "requests", "--port", str(port)], capture_output=True, check=True)
            rows.append(("`requests --since 0`", rss(proc.pid),
                         f"{len(done.stdout) // 1024} KiB of output in {time.monotonic() - started:.1f} s"))
            rows.append(("peak (VmHWM)", rss(proc.pid, "VmHWM"), ""))
        finally:
            proc.terminate()
            proc.wait()
    print("| after | RSS (MiB) | |\n|---|---|---|")
    for what, mib, note in rows:
        print(f"| {what} | {mib} | {note} |")


if __name__ == "__main__":
    main()
