"""Two nodes on one shared folder behind HAProxy (farm.py): what one node stores the other
lists and serves, both see the client's own address, and a stopped node leaves the other
serving new clients. Real clients: ftplib and curl."""

import ftplib
import io
import json
import os
import pty
import shutil
import signal
import subprocess
import unittest

from farm import NODES, Farm
from server import BINARY, Raw, admin, free_port, read_until, wait_until

PAYLOAD = os.urandom(200000)
CONSOLE_PASSWORD = "c0ns0le"


def ftp_from(source, farm):
    ftp = ftplib.FTP(source_address=(source, 0))
    # The PASV reply names the node, which ftplib ignores unless told to trust it.
    ftp.trust_server_pasv_ipv4_address = True
    ftp.connect("127.0.0.1", farm.balancer.port, timeout=20)
    ftp.login("anonymous", "a@b")
    return ftp


def node_of(ftp):
    """The node a session is on: the address its PASV reply names."""
    host, _ = ftplib.parse227(ftp.sendcmd("PASV"))
    return host


def sources_by_node(farm):
    """A client address that the balancer keeps on each node (balance source hashes them)."""
    found = {}
    for last in range(10, 60):
        source = f"127.0.0.{last}"
        ftp = ftp_from(source, farm)
        try:
            found.setdefault(node_of(ftp), source)
        finally:
            ftp.quit()
        if len(found) == len(NODES):
            return found
    raise AssertionError(f"every client address went to one node: {found}")


@unittest.skipUnless(shutil.which("haproxy"), "haproxy is not installed (scripts/deps.sh)")
class FarmTest(unittest.TestCase):
    def setUp(self):
        self.farm = Farm()
        self.addCleanup(self.farm.stop)
        self.sources = sources_by_node(self.farm)

    def test_one_node_stores_what_the_other_lists_and_serves(self):
        one, other = (self.sources[node] for node in NODES)
        up = ftp_from(one, self.farm)
        self.assertEqual(node_of(up), NODES[0])
        up.storbinary("STOR /pub/shared.bin", io.BytesIO(PAYLOAD))
        up.quit()
        down = ftp_from(other, self.farm)
        try:
            self.assertEqual(node_of(down), NODES[1])
            self.assertIn("shared.bin", down.nlst("/pub"))
            got = io.BytesIO()
            down.retrbinary("RETR /pub/shared.bin", got.write)
            self.assertEqual(got.getvalue(), PAYLOAD)
        finally:
            down.quit()
        # curl through the balancer, PASV (the node's address) rather than EPSV (which would
        # send the data connection to the balancer); curl takes the address in the reply only
        # when told to. (lftp replaces a loopback address in a PASV reply with the control
        # connection's, ftp:fix-pasv-address or not, so it cannot follow a farm on loopback.)
        url = f"ftp://127.0.0.1:{self.farm.balancer.port}/pub/shared.bin"
        got = subprocess.run(["curl", "-s", "-S", "--max-time", "60", "--disable-epsv",
                              "--no-ftp-skip-pasv-ip", "--interface", other, url],
                             capture_output=True, check=True).stdout
        self.assertEqual(got, PAYLOAD)

    def test_the_nodes_see_and_rule_the_clients_own_address(self):
        refused = self.sources[NODES[0]]
        for node in self.farm.nodes:
            self.assertEqual(admin(node.config, "rule", "add", refused, "255.255.255.255")[0], 0)
            node.process.send_signal(signal.SIGHUP)
            self.assertIn("1 IP rules", node.stderr_line_with("Reloaded"))
        raw = Raw(self.farm.balancer.port, source=refused)
        self.assertTrue(raw.closed_without_reply(), "refused through the balancer")
        raw.close()
        ftp_from(self.sources[NODES[1]], self.farm).quit()

    def test_a_stopped_node_leaves_the_other_serving_new_clients(self):
        stopped = self.farm.nodes[0]
        stopped.process.send_signal(signal.SIGTERM)
        stopped.process.wait(timeout=10)
        # The balancer's health check marks the node down within a second.
        wait_until(lambda: self.farm.balancer.servers_up() == 1)
        for source in self.sources.values():  # also the client that the stopped node served
            ftp = ftp_from(source, self.farm)
            try:
                self.assertEqual(node_of(ftp), NODES[1])
                ftp.storbinary("STOR /pub/after.bin", io.BytesIO(b"after"))
            finally:
                ftp.quit()


@unittest.skipUnless(shutil.which("haproxy"), "haproxy is not installed (scripts/deps.sh)")
class FarmConsoleTest(unittest.TestCase):
    def test_one_console_over_both_nodes_and_one_that_is_down(self):
        ports = {node: free_port() for node in NODES}
        per_node = {node: {"SysConsoleState": "true", "SysConsolePort": str(port),
                           "SysConsolePass": CONSOLE_PASSWORD} for node, port in ports.items()}
        with Farm(node_settings=per_node) as farm:
            sources = sources_by_node(farm)
            sessions = [ftp_from(sources[node], farm) for node in NODES]
            # A node's console listens on 127.0.0.1 too, in plain text, for this machine.
            hosts = [f"127.0.0.1:{ports[node]}" for node in NODES]
            down = f"127.0.0.1:{free_port()}"
            try:
                def console(*args):
                    done = subprocess.run(
                        [BINARY, "console", "--config-dir", farm.nodes[0].config, *args],
                        capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
                        env=dict(os.environ, QUENLOWFTP_CONSOLE_PASSWORD=CONSOLE_PASSWORD))
                    return done.returncode, done.stdout, done.stderr

                # The session list catches up with a login at each node's next tick.
                def listed():
                    status, out, _ = console("--host", hosts[0], "--host", hosts[1], "sessions")
                    return status == 0 and out.count(" a@b ") == 2 and out
                out = wait_until(listed)
                self.assertTrue(out, console("--host", hosts[0], "--host", hosts[1], "sessions"))
                rows = out.splitlines()
                self.assertTrue(rows[0].startswith("NODE "), rows[0])
                for node, host in zip(NODES, hosts):
                    row = [r for r in rows if r.startswith(host)]
                    self.assertEqual(len(row), 1, out)
                    self.assertIn(f" {sources[node]} ", row[0])

                status, out, err = console("--host", hosts[0], "--host", down, "status",
                                           "--json")
                self.assertEqual(status, 1, "a node down is said in the exit status")
                doc = json.loads(out)
                self.assertEqual([n["up"] for n in doc["nodes"]], [True, False])
                self.assertIn("cannot connect", doc["nodes"][1]["error"])
                self.assertEqual(doc["total"]["nodes_up"], 1)
                self.assertEqual(doc["total"]["sessions"], 1)

                status, out, _ = console("--host", hosts[0], "--host", hosts[1], "status")
                self.assertEqual(status, 0)
                self.assertIn("Nodes      2 of 2 answered\n", out)
                self.assertIn("Sessions   2 now, ", out)

                status, _, err = console("--host", hosts[0], "--host", hosts[1], "kick", "0")
                self.assertEqual(status, 2)
                self.assertIn("this command works on one node: give one --host", err)

                # The live view over both nodes and one that is down, in a terminal.
                pid, fd = pty.fork()
                if pid == 0:
                    os.environ["QUENLOWFTP_CONSOLE_PASSWORD"] = CONSOLE_PASSWORD
                    os.environ["TERM"] = "xterm"
                    os.execv(BINARY, [BINARY, "console", "--config-dir", farm.nodes[0].config,
                                      "--host", hosts[0], "--host", hosts[1], "--host", down,
                                      "watch"])
                screen = read_until(fd, b"q quit")
                # Three more rounds: the links kept open answer each time.
                screen += read_until(fd, b"no answer", seconds=3.5)
                os.write(fd, b"q")
                read_until(fd, None, seconds=10)
                _, status = os.waitpid(pid, 0)
                self.assertEqual(os.waitstatus_to_exitcode(status), 0)
                text = screen.decode(errors="replace")
                self.assertIn("Quenlow FTP  3 nodes, 2 up", text)
                self.assertNotIn("no answer", text)
                self.assertIn("DOWN: cannot connect", text)
                self.assertIn("sessions 2 now", text)
                self.assertIn("NODE", text)
                for node in NODES:
                    self.assertIn(sources[node], text)
            finally:
                for ftp in sessions:
                    ftp.quit()


if __name__ == "__main__":
    unittest.main()
