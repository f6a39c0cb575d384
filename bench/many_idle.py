#!/usr/bin/env python3
"""Many idle logged-in sessions: how long logging them all in takes, the server's resident
memory at a fresh start and with them (kB per session), and the CPU it uses while they sit idle.
Each client comes from an address of its own in 127.0.0.0/8, so no per-address limit applies.

    python3 bench/many_idle.py [--sessions 10000] [--idle-seconds 30] [--binary build/quenlowftp]
                               [--baseline OTHER_BINARY]
"""

import argparse
import os
import resource
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import server as server_module  # noqa: E402
from idle_rss import rss_kb  # noqa: E402
from log_cost import cpu_seconds  # noqa: E402


def login(port, index):
    client = socket.create_connection(
        ("127.0.0.1", port), timeout=30,
        source_address=(f"127.4.{index // 250}.{index % 250 + 1}", 0))
    for line in (None, b"USER anonymous\r\n", b"PASS idle@example.org\r\n"):
        if line:
            client.sendall(line)
        reply = client.recv(512)
        if reply[:1] not in (b"2", b"3"):
            raise RuntimeError(f"session {index}: {reply!r}")
    return client


def measure(binary, sessions, idle_seconds):
    server_module.BINARY = binary
    settings = {"NetMaxConnection": str(sessions)}
    with server_module.Server(settings) as server:
        pid = server.process.pid
        time.sleep(0.5)
        fresh = rss_kb(pid)
        client_cpu = time.process_time()
        started = time.monotonic()
        clients = []
        try:
            for i in range(sessions):
                clients.append(login(server.port, i))
        except RuntimeError as refused:
            print(f"{binary}: {refused} (held {len(clients)})")
            return None
        login_seconds = time.monotonic() - started
        client_cpu = time.process_time() - client_cpu
        time.sleep(2)  # the logins' own work is done
        held = rss_kb(pid)
        cpu = cpu_seconds(pid)
        time.sleep(idle_seconds)
        idle_cpu = cpu_seconds(pid) - cpu
        reset = struct.pack("ii", 1, 0)  # no thousands of ports left in TIME_WAIT
        for client in clients:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, reset)
            client.close()
    return {"login_s": login_seconds, "client_cpu_s": client_cpu, "rss_fresh_kb": fresh,
            "rss_held_kb": held, "kb_per_session": held / sessions,
            "idle_cpu_ms": 1000 * idle_cpu}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=os.path.join(HERE, "..", "build", "quenlowftp"))
    parser.add_argument("--baseline")
    parser.add_argument("--sessions", type=int, default=10000)
    parser.add_argument("--idle-seconds", type=float, default=30)
    options = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = options.sessions + 256
    if hard != resource.RLIM_INFINITY and hard < wanted:
        sys.exit(f"the descriptor limit ({hard}) is below {wanted}: raise it (ulimit -Hn)")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))
    builds = {"new": options.binary}
    if options.baseline:
        builds["baseline"] = options.baseline
    for name, binary in builds.items():
        f = measure(os.path.abspath(binary), options.sessions, options.idle_seconds)
        if f is None:
            continue
        print(f"{name}: {options.sessions} sessions logged in in {f['login_s']:.1f} s (client CPU "
              f"{f['client_cpu_s']:.1f} s); RSS {f['rss_fresh_kb']} kB fresh, "
              f"{f['rss_held_kb']} kB with them ({f['kb_per_session']:.1f} kB per session, the "
              f"program's own share included); {f['idle_cpu_ms']:.0f} ms CPU in "
              f"{options.idle_seconds:g} s idle")


if __name__ == "__main__":
    sys.exit(main())
