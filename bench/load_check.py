#!/usr/bin/env python3
"""Load check (not a test): 64 clients connect, log in, idle briefly and quit, over and over for
a minute. Reports sessions served, the server's open descriptors and resident memory before
and after: nothing should leak or grow.

    python3 bench/load_check.py [build/quenlowftp] [seconds]
"""

import ftplib
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from server import Server  # noqa: E402

binary = sys.argv[1] if len(sys.argv) > 1 else "build/quenlowftp"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
os.environ["QFTP_BINARY"] = os.path.abspath(binary)
import server as server_module  # noqa: E402
server_module.BINARY = os.environ["QFTP_BINARY"]


def snapshot(pid):
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
    return fds, rss


with Server({"NetMaxConnection": "64", "NetLoginsPerIp": "64"}) as srv:
    pid = srv.process.pid
    time.sleep(0.5)
    before = snapshot(pid)
    done = [0] * 64
    errors = []
    stop = time.monotonic() + seconds

    def client(i):
        while time.monotonic() < stop:
            try:
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", srv.port, timeout=10)
                ftp.login("anonymous", "load@test")
                ftp.sendcmd("NOOP")
                time.sleep(0.05)
                ftp.quit()
                done[i] += 1
            except Exception as e:  # a refused or slow client is counted, not fatal
                errors.append(repr(e))
                time.sleep(0.1)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(64)]
    start = time.monotonic()
    for t in threads:
        t.start()
    middle = None
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    time.sleep(2)  # the last sessions are released on their second tick
    after = snapshot(pid)
    print(f"sessions served: {sum(done)} in {elapsed:.1f} s ({sum(done) / elapsed:.0f}/s), "
          f"errors: {len(errors)}")
    print(f"server descriptors: {before[0]} before, {after[0]} after")
    print(f"server RSS: {before[1]} kB before, {after[1]} kB after")
    if errors:
        print("first errors:", errors[:3])
