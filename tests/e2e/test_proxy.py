"""Behind a TCP load balancer: HAProxy (Debian's) in TCP mode sends the PROXY protocol to the
real server, which then sees, rules, counts and shows the client's own address; connections
from elsewhere, and broken headers, are refused."""

import ftplib
import io
import os
import shutil
import signal
import socket
import subprocess
import time
import unittest

from farm import Balancer
from server import BINARY, Raw, Server, admin, free_port

NODE = "127.0.0.2"
CLIENT = "127.0.0.5"
CONSOLE_PASSWORD = "c0ns0le"


def ftp_from(source, port, host="127.0.0.1"):
    """ftplib from source (control and data connections alike), logged in as anonymous."""
    ftp = ftplib.FTP(source_address=(source, 0))
    # ftplib takes the control connection's host for PASV unless told to trust the reply:
    # here the reply names the node, and the control connection goes to the balancer.
    ftp.trust_server_pasv_ipv4_address = True
    ftp.connect(host, port, timeout=20)
    ftp.login("anonymous", "a@b")
    return ftp


def stop_and_read_log(server):
    server.process.send_signal(signal.SIGTERM)
    _, err = server.process.communicate(timeout=10)
    server.stop()
    return err


@unittest.skipUnless(shutil.which("haproxy"), "haproxy is not installed (scripts/deps.sh)")
class ProxyProtocolTest(unittest.TestCase):
    def setUp(self):
        self.console_port = free_port()
        self.server = Server({"NetIp": NODE, "NetProxyProtocol": "true", "LogInfoMsg": "true",
                              "NetProxyTrusted": "127.0.0.1", "NetLoginsPerIp": "2",
                              "SysConsoleState": "true", "SysConsolePort": str(self.console_port),
                              "SysConsolePass": CONSOLE_PASSWORD},
                             files={"pub/a.bin": os.urandom(300000)})
        self.balancer = Balancer([(NODE, self.server.port)])

    def tearDown(self):
        self.balancer.stop()
        if self.server.process.poll() is None:
            self.server.stop()

    def test_the_server_sees_serves_and_shows_the_clients_own_address(self):
        ftp = ftp_from(CLIENT, self.balancer.port)
        try:
            # PASV names the node itself: data connections go straight to it, from the client.
            got = io.BytesIO()
            ftp.retrbinary("RETR /pub/a.bin", got.write)
            with open(os.path.join(self.server.root, "a.bin"), "rb") as f:
                self.assertEqual(got.getvalue(), f.read())
            ftp.storbinary("STOR /pub/up.bin", io.BytesIO(b"u" * 50000))
            env = dict(os.environ, QUENLOWFTP_CONSOLE_PASSWORD=CONSOLE_PASSWORD)
            # The node listens on 127.0.0.2 and also on 127.0.0.1 for a console of this
            # machine, in plain text.
            listed = subprocess.run(
                [BINARY, "console", "--config-dir", self.server.config,
                 "--port", str(self.console_port), "sessions"],
                capture_output=True, text=True, env=env, timeout=30)
            self.assertEqual(listed.returncode, 0, listed.stderr)
            self.assertIn(f" {CLIENT} ", listed.stdout)
            self.assertNotIn(" 127.0.0.1 ", listed.stdout)
        finally:
            ftp.quit()
        log = stop_and_read_log(self.server)
        self.assertIn(f"{CLIENT}: through the load balancer at 127.0.0.1", log)
        self.assertIn(f"{CLIENT}: connected", log)

    def test_rules_and_the_per_address_limit_apply_to_the_client(self):
        status, out, err = admin(self.server.config, "rule", "add", CLIENT, "255.255.255.255")
        self.assertEqual((status, err), (0, ""), out)
        self.server.process.send_signal(signal.SIGHUP)
        self.assertIn("1 IP rules", self.server.stderr_line_with("Reloaded"))
        refused = Raw(self.balancer.port, source=CLIENT)
        self.assertTrue(refused.closed_without_reply(), "refused through the balancer")
        refused.close()
        # Another client of the same balancer is let in, twice (NetLoginsPerIp 2), not thrice.
        first, second = ftp_from("127.0.0.6", self.balancer.port), \
            ftp_from("127.0.0.6", self.balancer.port)
        third = Raw(self.balancer.port, source="127.0.0.6")
        self.assertTrue(third.closed_without_reply())
        third.close()
        fourth = ftp_from("127.0.0.7", self.balancer.port)
        for ftp in (first, second, fourth):
            ftp.quit()
        log = stop_and_read_log(self.server)
        self.assertIn(f"{CLIENT}: refused by the IP rules", log)
        self.assertIn("127.0.0.6: refused: 2 sessions from this address already", log)

    def test_other_sources_and_broken_headers_are_refused(self):
        # Straight to the node, not through the balancer: refused before a word.
        direct = socket.create_connection((NODE, self.server.port), timeout=5,
                                          source_address=("127.0.0.3", 0))
        self.assertEqual(direct.recv(100), b"")
        direct.close()
        # From the trusted address, but without a header: that connection ends.
        for first_bytes in (b"USER anonymous\r\n", b"PROXY TCP4 1.2.3.4\r\n",
                            b"PROXY " + b"9" * 200):
            raw = socket.create_connection((NODE, self.server.port), timeout=5,
                                           source_address=("127.0.0.1", 0))
            raw.sendall(first_bytes)
            try:
                self.assertEqual(raw.recv(100), b"")
            except ConnectionResetError:
                pass
            raw.close()
        # A version 1 line as nginx sends it works as well as HAProxy's version 2.
        raw = socket.create_connection((NODE, self.server.port), timeout=5,
                                       source_address=("127.0.0.1", 0))
        raw.sendall(b"PROXY TCP4 198.51.100.7 127.0.0.2 40000 21\r\n")
        self.assertTrue(raw.recv(100).startswith(b"220"))
        raw.close()
        log = stop_and_read_log(self.server)
        self.assertIn("127.0.0.3: refused: not a trusted source of PROXY protocol headers "
                      "(NetProxyTrusted)", log)
        self.assertIn("127.0.0.1: the connection does not start with a PROXY protocol header; "
                      "closing the connection", log)
        self.assertIn("127.0.0.1: the PROXY line does not have six fields", log)
        self.assertIn("127.0.0.1: the PROXY line is longer than 107 bytes", log)
        self.assertIn("198.51.100.7: connected", log)

    def test_a_stop_does_not_wait_for_a_header_that_has_not_come(self):
        waiting = socket.create_connection((NODE, self.server.port), timeout=5,
                                           source_address=("127.0.0.1", 0))
        time.sleep(0.3)  # accepted before the stop
        began = time.monotonic()
        self.server.process.send_signal(signal.SIGTERM)
        try:
            self.assertEqual(waiting.recv(100), b"")
        except ConnectionResetError:
            pass
        waiting.close()
        self.assertEqual(self.server.process.wait(timeout=5), 0)
        # Not the stop's two seconds of grace, and not the header's ten.
        self.assertLess(time.monotonic() - began, 1.5)


if __name__ == "__main__":
    unittest.main()
