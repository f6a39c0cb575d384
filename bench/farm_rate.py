#!/usr/bin/env python3
"""The farm's small-file rate: HAProxy (TCP mode, balance source, send-proxy-v2) in front of two
nodes on 127.0.0.2 and 127.0.0.3 sharing one folder, against the same balancer in front of one
node, and one node without a balancer. Clients are processes of build/bench/ftp_load, each
from a loopback address of its own (127.0.0.10 and up), so that the balancer's source hash
spreads them over the nodes; they ask PASV and open their data connections straight to the
node it names.

    python3 bench/farm_rate.py [--files 2000] [--kib 16] [--clients 16] [--runs 3]
                               [--kind reuse|connect] [--loops N]

Prints files/s (min / median / max over the runs) for each layout, the CPU of the nodes and
of HAProxy per file, and how the files were shared between the nodes (from each node's
/metrics)."""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import server as e2e  # noqa: E402
from farm import Balancer, NODES  # noqa: E402

sys.path.insert(0, HERE)
import compare_peers  # noqa: E402

CLIENT = compare_peers.CLIENT
e2e.BINARY = os.environ.get("QFTP_BINARY", os.path.join(HERE, "..", "build", "quenlowftp"))


def cpu_seconds(pid):
    """User and system CPU of one process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def downloads(metrics_port, address):
    with urllib.request.urlopen(f"http://{address}:{metrics_port}/metrics", timeout=10) as r:
        for line in r.read().decode().splitlines():
            if line.startswith('quenlowftp_transfers_total{direction="download",result="ok"}'):
                return int(float(line.split()[1]))
    return 0


def start_nodes(count, shared, proxied, loops):
    nodes = []
    for address in NODES[:count]:
        metrics_port = e2e.free_port()
        values = {"NetIp": address, "SysRootFolder": shared + "/", "SysAnonState": "true",
                  "NetMaxConnection": "256", "NetLoginsPerIp": "64",
                  "NetMetricsPort": str(metrics_port), "NetMetricsIp": address}
        if proxied:
            values.update({"NetProxyProtocol": "true", "NetProxyTrusted": "127.0.0.1"})
        if loops:
            values["SysSessionLoops"] = str(loops)
        node = e2e.Server(values)
        node.metrics_port, node.address = metrics_port, address
        nodes.append(node)
    return nodes


def run_clients(port, host, names, options):
    """16 client processes (compare_peers.run_clients), each from its own loopback address."""
    jobs = [{"port": port, "user": "anonymous", "password": "bench@", "kind": options.kind,
             "tls": False, "paths": names[i::options.clients],
             "options": ["--host", host, "--source", f"127.0.0.{10 + i}", "--pasv"]}
            for i in range(options.clients)]
    elapsed, outcomes = compare_peers.run_clients(jobs)
    done = sum(o.get("done", 0) for o in outcomes)
    errors = [e for o in outcomes for e in o.get("errors", [])]
    if errors or done != len(names):
        raise RuntimeError(f"{done} of {len(names)} files; errors: {errors[:3]}")
    return elapsed, sum(o["cpu"] for o in outcomes)


def measure(layout, shared, names, options):
    count = 1 if layout != "two nodes" else 2
    nodes = start_nodes(count, shared, layout != "one node, direct", options.loops)
    balancer = None
    try:
        if layout == "one node, direct":
            port, host = nodes[0].port, nodes[0].address
        else:
            balancer = Balancer([(n.address, n.port) for n in nodes])
            e2e.wait_until(lambda: balancer.servers_up() == count)
            port, host = balancer.port, "127.0.0.1"
        pids = [n.process.pid for n in nodes]
        before = [cpu_seconds(p) for p in pids]
        proxy_before = cpu_seconds(balancer.process.pid) if balancer else 0.0
        elapsed, client_cpu = run_clients(port, host, names, options)
        node_cpu = sum(cpu_seconds(p) - b for p, b in zip(pids, before))
        proxy_cpu = (cpu_seconds(balancer.process.pid) - proxy_before) if balancer else 0.0
        served = [downloads(n.metrics_port, n.address) for n in nodes]
        return {"rate": len(names) / elapsed, "node_cpu_ms": 1000 * node_cpu / len(names),
                "proxy_cpu_ms": 1000 * proxy_cpu / len(names),
                "client_cores": client_cpu / elapsed, "served": served}
    finally:
        if balancer:
            balancer.stop()
        for n in nodes:
            n.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--kib", type=int, default=16)
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--kind", choices=("reuse", "connect"), default="reuse")
    parser.add_argument("--loops", type=int, default=0,
                        help="SysSessionLoops of each node (0: the program's default)")
    options = parser.parse_args()
    for tool in ("haproxy", CLIENT, e2e.BINARY):
        if not shutil.which(tool):
            sys.exit(f"farm_rate: {tool} is missing (scripts/deps.sh, scripts/build.sh)")
    shared = tempfile.mkdtemp(prefix="qftp-farm-bench-")
    try:
        names = []
        for i in range(options.files):
            names.append(f"f{i:05d}.bin")
            with open(os.path.join(shared, names[-1]), "wb") as f:
                f.write(os.urandom(options.kib * 1024))
        layouts = ("one node, direct", "one node, HAProxy", "two nodes")
        results = {layout: [] for layout in layouts}
        for run in range(options.runs):
            for k in range(len(layouts)):  # the order rotates from run to run
                layout = layouts[(k + run) % len(layouts)]
                results[layout].append(measure(layout, shared, names, options))
        print(f"{options.files} files of {options.kib} KiB, {options.clients} clients "
              f"({options.kind}), {options.runs} runs, {os.cpu_count()} cores")
        print(f"{'layout':20} {'files/s min / median / max':>28} {'node CPU ms/file':>17} "
              f"{'HAProxy ms/file':>16} {'client cores':>13}  files per node")
        for layout in layouts:
            rs = results[layout]
            rates = sorted(r["rate"] for r in rs)
            med = lambda key: statistics.median(r[key] for r in rs)  # noqa: E731
            print(f"{layout:20} {rates[0]:8.0f} / {statistics.median(rates):6.0f} / "
                  f"{rates[-1]:6.0f}    {med('node_cpu_ms'):14.3f} {med('proxy_cpu_ms'):16.3f} "
                  f"{med('client_cores'):13.2f}  {rs[-1]['served']}")
    finally:
        shutil.rmtree(shared, ignore_errors=True)


if __name__ == "__main__":
    main()
