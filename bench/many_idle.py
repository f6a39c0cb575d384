#!/usr/bin/env python3
"""Many idle logged-in sessions: how long logging them all in takes, the server's resident
memory at a fresh start and with them (kB per session), and the CPU it uses while they sit idle.
Each client comes from an address of its own in 127.0.0.0/8, so no per-address limit applies.
Our server runs once for each number of session loops asked for; with --peers, vsftpd,
pure-ftpd and ProFTPD (a process or two per session) are measured too, their memory as the
proportional set size (PSS) of all their processes, so that pages they share are counted once.

    python3 bench/many_idle.py [--sessions 10000] [--idle-seconds 30] [--binary build/quenlowftp]
                               [--baseline OTHER_BINARY] [--loops 1,0] [--peers]
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


def tree(pid):
    """The process and every live process below it."""
    pids, todo = [], [pid]
    while todo:
        current = todo.pop()
        pids.append(current)
        try:
            with open(f"/proc/{current}/task/{current}/children") as f:
                todo += [int(child) for child in f.read().split()]
        except OSError:
            pass
    return pids


def tree_pss_kb(pid):
    total = 0
    for member in tree(pid):
        try:
            with open(f"/proc/{member}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def tree_cpu_seconds(pid):
    return sum(cpu_seconds(member) for member in tree(pid))


def hold(pid, port, sessions, idle_seconds, memory):
    """Logs sessions in on port and lets them sit; the figures, or None when refused."""
    time.sleep(0.5)
    fresh = memory(pid)
    client_cpu = time.process_time()
    started = time.monotonic()
    clients = []
    try:
        for i in range(sessions):
            clients.append(login(port, i))
    except (RuntimeError, OSError) as refused:
        print(f"refused: {refused} (held {len(clients)})")
        return None
    finally:
        login_seconds = time.monotonic() - started
        client_cpu = time.process_time() - client_cpu
        if len(clients) < sessions:
            for client in clients:
                client.close()
    time.sleep(2)  # the logins' own work is done
    held = memory(pid)
    cpu = tree_cpu_seconds(pid)
    time.sleep(idle_seconds)
    idle_cpu = tree_cpu_seconds(pid) - cpu
    reset = struct.pack("ii", 1, 0)  # no thousands of ports left in TIME_WAIT
    for client in clients:
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, reset)
        client.close()
    return {"login_s": login_seconds, "client_cpu_s": client_cpu, "rss_fresh_kb": fresh,
            "rss_held_kb": held, "kb_per_session": (held - fresh) / sessions,
            "idle_cpu_ms": 1000 * idle_cpu}


def measure_peer(kind, sessions, idle_seconds):
    """One of the benchmark's peers (compare_peers.py), configured for the sessions; the
    figures, or the reason it was not measured."""
    import tempfile
    import shutil
    why = kind.missing()
    if why:
        return why
    work = tempfile.mkdtemp(prefix="qftp-idle-")
    share = os.path.join(work, "share")
    os.makedirs(os.path.join(share, "pub"))
    for folder in (work, share):
        os.chmod(folder, 0o755)  # the peers' session processes run as nobody
    server = kind()
    server.max_clients = sessions + 100
    try:
        server.start(work, share, None)
        return hold(server.process.pid, server.port, sessions, idle_seconds, tree_pss_kb)
    finally:
        if getattr(server, "process", None):
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


def measure(binary, sessions, idle_seconds, loops=None):
    server_module.BINARY = binary
    settings = {"NetMaxConnection": str(sessions)}
    if loops is not None:
        settings["SysSessionLoops"] = str(loops)
    with server_module.Server(settings) as server:
        return hold(server.process.pid, server.port, sessions, idle_seconds, rss_kb)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=os.path.join(HERE, "..", "build", "quenlowftp"))
    parser.add_argument("--baseline")
    parser.add_argument("--sessions", type=int, default=10000)
    parser.add_argument("--idle-seconds", type=float, default=30)
    parser.add_argument("--loops", default="1,0",
                        help="session loops our server runs with, one run each (0: one per "
                             "processor)")
    parser.add_argument("--peers", action="store_true",
                        help="vsftpd, pure-ftpd and ProFTPD as well (bench/compare.sh fetches "
                             "the last two)")
    options = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = options.sessions + 256
    if hard != resource.RLIM_INFINITY and hard < wanted:
        sys.exit(f"the descriptor limit ({hard}) is below {wanted}: raise it (ulimit -Hn)")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))
    runs = [(f"quenlowftp, {int(loops) or 'all'} loop(s)", lambda loops=int(loops): measure(
        os.path.abspath(options.binary), options.sessions, options.idle_seconds, loops))
            for loops in options.loops.split(",")]
    if options.baseline:
        runs.append(("baseline", lambda: measure(os.path.abspath(options.baseline),
                                                 options.sessions, options.idle_seconds)))
    if options.peers:
        import compare_peers
        for kind in (compare_peers.Vsftpd, compare_peers.PureFtpd, compare_peers.Proftpd):
            runs.append((kind.name, lambda kind=kind: measure_peer(
                kind, options.sessions, options.idle_seconds)))
    for name, run in runs:
        f = run()
        if f is None:
            print(f"{name}: could not hold {options.sessions} sessions")
            continue
        if isinstance(f, str):
            print(f"{name}: not measured: {f}")
            continue
        print(f"{name}: {options.sessions} sessions logged in in {f['login_s']:.1f} s (client "
              f"CPU {f['client_cpu_s']:.1f} s); memory {f['rss_fresh_kb']} kB fresh, "
              f"{f['rss_held_kb']} kB with them ({f['kb_per_session']:.1f} kB per session "
              f"beyond the fresh server); {f['idle_cpu_ms']:.0f} ms CPU in "
              f"{options.idle_seconds:g} s idle", flush=True)


if __name__ == "__main__":
    sys.exit(main())
