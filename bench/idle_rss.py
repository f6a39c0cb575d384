#!/usr/bin/env python3
"""What an idle server costs: the CPU the program uses while 50 logged-in sessions sit idle
for 10 s, and its resident memory before and with 64 logged-in sessions (kB per session).
The sessions of the pool are made at start-up but take up memory only when first used, so the
figure per session is measured from a fresh start.

    python3 bench/idle_rss.py [--binary build/quenlowftp] [--baseline OTHER_BINARY]
"""

import argparse
import ftplib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import server as server_module  # noqa: E402
from log_cost import cpu_seconds  # noqa: E402


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def logins(server, count):
    sessions = []
    for _ in range(count):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=20)
        ftp.login("anonymous", "idle@example.org")
        sessions.append(ftp)
    return sessions


def measure(binary, idle_sessions, idle_seconds, rss_sessions):
    server_module.BINARY = binary
    os.environ["QFTP_BINARY"] = binary
    with server_module.Server({"NetMaxConnection": "64", "NetLoginsPerIp": "64"}) as server:
        pid = server.process.pid
        time.sleep(0.5)
        before = rss_kb(pid)  # no session used yet
        sessions = logins(server, rss_sessions)
        with_sessions = rss_kb(pid)
        for ftp in sessions[idle_sessions:]:
            ftp.quit()
        time.sleep(2)  # the logins' own work is done
        cpu = cpu_seconds(pid)
        time.sleep(idle_seconds)
        idle_cpu = cpu_seconds(pid) - cpu
        for ftp in sessions[:idle_sessions]:
            ftp.quit()
    return {"idle_cpu_ms": 1000 * idle_cpu, "rss_before_kb": before,
            "rss_with_kb": with_sessions, "kb_per_session": (with_sessions - before) / rss_sessions}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=os.path.join(HERE, "..", "build", "quenlowftp"))
    parser.add_argument("--baseline")
    parser.add_argument("--idle-sessions", type=int, default=50)
    parser.add_argument("--idle-seconds", type=float, default=10)
    parser.add_argument("--rss-sessions", type=int, default=64)
    options = parser.parse_args()
    builds = {"new": options.binary}
    if options.baseline:
        builds["baseline"] = options.baseline
    for name, binary in builds.items():
        figures = measure(os.path.abspath(binary), options.idle_sessions, options.idle_seconds,
                          options.rss_sessions)
        print(f"{name}: {options.idle_sessions} idle sessions for {options.idle_seconds:g} s: "
              f"{figures['idle_cpu_ms']:.0f} ms CPU; RSS {figures['rss_before_kb']} kB, with "
              f"{options.rss_sessions} logged in {figures['rss_with_kb']} kB "
              f"({figures['kb_per_session']:.1f} kB per session)")


if __name__ == "__main__":
    sys.exit(main())
