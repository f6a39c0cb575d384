"""A farm on this machine: HAProxy (Debian's, TCP mode) on 127.0.0.1 in front of two of our
servers on 127.0.0.2 and 127.0.0.3, which share one folder. HAProxy keeps a client on one node
(balance source), tells each node whom it carries (send-proxy-v2), and tries the other node
when one does not answer; data connections go straight from the client to the node that
PASV names.

    python3 tests/e2e/farm.py [BINARY]

starts one and waits for Ctrl-C; the e2e tests (test_farm.py) use the same classes."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

from server import Server, end_process, free_port, wait_until

NODES = ("127.0.0.2", "127.0.0.3")


def haproxy_config(front_port, nodes, stats):
    """The balancer's configuration: nodes is [(address, port)]; stats its stats socket."""
    lines = ["global", "  maxconn 2000", f"  stats socket {stats} mode 600 level user",
             "defaults", "  mode tcp", "  timeout connect 2s", "  timeout client 60s",
             "  timeout server 60s",
             # A node that refuses a connection is left for another; the health check (a
             # PROXY header of its own, LOCAL, which a node takes for the balancer itself)
             # takes a stopped node out of the hash within a second.
             "  retries 2", "  option redispatch 1",
             "frontend ftp", f"  bind 127.0.0.1:{front_port}", "  default_backend nodes",
             "backend nodes", "  balance source"]
    for i, (address, port) in enumerate(nodes):
        lines.append(f"  server node{i + 1} {address}:{port} send-proxy-v2 source 127.0.0.1 "
                     "check check-send-proxy inter 300ms fall 1 rise 1")
    return "\n".join(lines) + "\n"


class Balancer:
    """HAProxy in the foreground on 127.0.0.1 at a free port."""

    def __init__(self, nodes):
        self.dir = tempfile.mkdtemp(prefix="qftp-haproxy-")
        self.port = free_port()
        self.config = os.path.join(self.dir, "haproxy.cfg")
        self.stats = os.path.join(self.dir, "stats.sock")
        with open(self.config, "w") as f:
            f.write(haproxy_config(self.port, nodes, self.stats))
        self.process = subprocess.Popen(["haproxy", "-db", "-f", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True)
        if not wait_until(lambda: self.listening() or self.process.poll() is not None):
            raise RuntimeError("haproxy did not start")
        if self.process.poll() is not None:
            raise RuntimeError("haproxy did not start: " + self.process.stderr.read())

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def servers_up(self):
        """How many nodes the balancer holds to be up (its stats socket's "show stat")."""
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(self.stats)
                s.sendall(b"show stat\n")
                text = b""
                while chunk := s.recv(65536):
                    text += chunk
        except OSError:
            return -1
        rows = [line.split(",") for line in text.decode().splitlines()]
        return sum(1 for row in rows if len(row) > 17 and row[1].startswith("node")
                   and row[17] == "UP")

    def stop(self):
        end_process(self.process)
        self.process.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Farm:
    """Two nodes on one shared folder behind one balancer; settings go to both nodes,
    node_settings[address] to one."""

    def __init__(self, settings=None, files=None, node_settings=None):
        self.shared = tempfile.mkdtemp(prefix="qftp-farm-")
        for name, content in (files or {}).items():
            with open(os.path.join(self.shared, name), "wb") as f:
                f.write(content)
        self.nodes = []
        try:
            for address in NODES:
                values = {"NetIp": address, "NetProxyProtocol": "true",
                          "NetProxyTrusted": "127.0.0.1", "SysRootFolder": self.shared + "/",
                          "LogInfoMsg": "true", "SysAnonState": "true"}
                values.update(settings or {})
                values.update((node_settings or {}).get(address, {}))
                self.nodes.append(Server(values))
            self.balancer = Balancer([(address, node.port)
                                      for address, node in zip(NODES, self.nodes)])
        except Exception:
            self.stop()
            raise

    def stop(self):
        if getattr(self, "balancer", None):
            self.balancer.stop()
        for node in self.nodes:
            node.stop()
        shutil.rmtree(self.shared, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        import server
        server.BINARY = sys.argv[1]
    with Farm() as farm:
        print(f"ftp://127.0.0.1:{farm.balancer.port}/pub/ -> "
              + ", ".join(f"{a}:{n.port}" for a, n in zip(NODES, farm.nodes))
              + f", sharing {farm.shared}; Ctrl-C stops it", flush=True)
        try:
            signal.pause()
        except KeyboardInterrupt:
            pass
