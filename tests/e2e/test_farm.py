"""Two nodes on one shared folder behind HAProxy (farm.py): what one node stores the other
lists and serves, both see the client's own address, and a stopped node leaves the other
serving new clients. Real clients: ftplib and curl."""

import ftplib
import io
import os
import shutil
import signal
import subprocess
import unittest

from farm import NODES, Farm
from server import Raw, admin, wait_until

PAYLOAD = os.urandom(200000)


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


if __name__ == "__main__":
    unittest.main()
