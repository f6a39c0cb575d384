"""IPv6: the real server on a dual-stack "::" listener, reached over ::1 by curl, lftp and
ftplib, beside IPv4 clients on 127.0.0.1; the rules, the per-address limit and the console
see IPv6 clients by their whole address."""

import io
import os
import signal
import socket
import subprocess
import tempfile
import unittest
import warnings

from server import (BINARY, Raw, Server, admin, free_port, login, make_certificate,
                    wait_until, whole_reply)

warnings.simplefilter("ignore", ResourceWarning)

CERT_DIR = tempfile.mkdtemp(prefix="qftp-ipv6-")
CERT, KEY = make_certificate(CERT_DIR)
CONSOLE_PASSWORD = "c0ns0le"


def curl(*args):
    return subprocess.run(["curl", "-s", "-S", "--max-time", "60", *args],
                          capture_output=True, check=True).stdout


def ftp6(server):
    return login(server.port, "anonymous", "a@b", host="::1")


def ftp4(server):
    return login(server.port, "anonymous", "a@b")


def ask(raw, line):
    raw.send(line)
    return whole_reply(raw)[-1]


def raw6(server):
    raw = Raw(server.port, host="::1")
    raw.line()
    for line in ("USER anonymous", "PASS a@b"):
        raw.send(line)
        raw.line()
    return raw


class DualStackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server({"NetIp": "::", "SSLState": "true", "SSLCertFile": CERT,
                             "SSLKeyFile": KEY, "NetLoginsPerIp": "8"})
        cls.data = os.urandom(1024 * 1024 + 7)
        with open(os.path.join(cls.server.root, "data.bin"), "wb") as f:
            f.write(cls.data)
        cls.url = f"ftp://[::1]:{cls.server.port}/pub/"

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def local(self, name):
        return os.path.join(self.server.dir, name)

    def test_the_listening_line_brackets_the_address(self):
        self.assertIn(f"listening on [::]:{self.server.port}", self.server.listening)

    def test_ftplib_over_ipv6_and_ipv4_at_once(self):
        six, four = ftp6(self.server), ftp4(self.server)
        try:
            for ftp in (six, four):
                for passive in (True, False):  # EPSV / EPRT on ::1, PASV / PORT on 127.0.0.1
                    ftp.set_pasv(passive)
                    got = io.BytesIO()
                    ftp.retrbinary("RETR /pub/data.bin", got.write)
                    self.assertEqual(got.getvalue(), self.data)
            six.storbinary("STOR /pub/six.bin", io.BytesIO(b"6" * 70000))
            four.storbinary("STOR /pub/four.bin", io.BytesIO(b"4" * 70000))
            self.assertIn("four.bin", six.nlst("/pub"))
            self.assertIn("six.bin", four.nlst("/pub"))
        finally:
            six.quit()
            four.quit()
        with open(os.path.join(self.server.root, "six.bin"), "rb") as f:
            self.assertEqual(f.read(), b"6" * 70000)

    def test_data_commands_on_an_ipv6_control_connection(self):
        raw = raw6(self.server)
        try:
            self.assertEqual(ask(raw, "PASV"), "502 PASV is IPv4 only: use EPSV.")
            self.assertEqual(ask(raw, "PORT 127,0,0,1,4,1"), "502 PORT is IPv4 only: use EPRT.")
            self.assertEqual(ask(raw, "EPSV 1"), "522 Network protocol not supported, use (2).")
            self.assertEqual(ask(raw, "EPRT |1|127.0.0.1|1025|"),
                             "522 Network protocol not supported, use (2).")
            self.assertRegex(ask(raw, "EPSV 2"),
                             r"^229 Entering extended passive mode \(\|\|\|\d+\|\)\.$")
            self.assertRegex(ask(raw, "EPSV"), r"^229 ")
            self.assertEqual(ask(raw, "EPRT |2|0:0:0:0:0:0:0:1|1025|")[:4], "200 ")
            # Another host than the client's own is refused as for IPv4 (no bounce).
            bounce = ask(raw, "EPRT |2|2001:db8::1|1025|")
            self.assertNotEqual(bounce[:1], "2", bounce)
            self.assertEqual(ask(raw, "EPRT |2|fe80::1%lo|1025|")[:4], "501 ")
            self.assertEqual(ask(raw, "EPSV ALL"), "200 EPSV ALL command successful.")
            self.assertEqual(ask(raw, "EPRT |2|::1|1025|"), "501 EPRT not allowed after EPSV ALL.")
        finally:
            raw.close()
        four = Raw(self.server.port)
        try:
            four.line()
            for line in ("USER anonymous", "PASS a@b"):
                four.send(line)
                four.line()
            self.assertEqual(ask(four, "EPSV 2"), "522 Network protocol not supported, use (1).")
            self.assertRegex(ask(four, "PASV"), r"^227 .*\(127,0,0,1,\d+,\d+\)")
        finally:
            four.close()

    def test_curl_passive_active_upload_download_and_tls(self):
        self.assertEqual(curl("-g", self.url + "data.bin"), self.data)
        self.assertEqual(curl("-g", "-P", "-", self.url + "data.bin"), self.data)
        with open(self.local("up.bin"), "wb") as f:
            f.write(self.data[:300000])
        curl("-g", "-T", self.local("up.bin"), self.url + "curl-up.bin")
        curl("-g", "-P", "-", "-T", self.local("up.bin"), self.url + "curl-active.bin")
        for name in ("curl-up.bin", "curl-active.bin"):
            with open(os.path.join(self.server.root, name), "rb") as f:
                self.assertEqual(f.read(), self.data[:300000], name)
        self.assertEqual(curl("-g", "--ssl-reqd", "-k", self.url + "data.bin"), self.data)
        curl("-g", "--ssl-reqd", "-k", "-T", self.local("up.bin"), self.url + "curl-tls.bin")
        with open(os.path.join(self.server.root, "curl-tls.bin"), "rb") as f:
            self.assertEqual(f.read(), self.data[:300000])

    def test_lftp_puts_and_gets_over_ipv6(self):
        os.makedirs(self.local("lftp"), exist_ok=True)
        with open(self.local("lftp/up.bin"), "wb") as f:
            f.write(self.data[:200000])
        script = (f"set net:max-retries 1; set ftp:ssl-allow no; "
                  f"open -u anonymous,a@b ftp://[::1]:{self.server.port}; cd pub; "
                  f"put {self.local('lftp/up.bin')} -o lftp-up.bin; "
                  f"get data.bin -o {self.local('lftp/data.bin')}; "
                  f"set ftp:passive-mode no; get lftp-up.bin -o {self.local('lftp/back.bin')}")
        subprocess.run(["lftp", "-c", script], check=True, timeout=120, capture_output=True)
        with open(self.local("lftp/data.bin"), "rb") as f:
            self.assertEqual(f.read(), self.data)
        with open(self.local("lftp/back.bin"), "rb") as f:
            self.assertEqual(f.read(), self.data[:200000])


class Ipv6AdmissionTest(unittest.TestCase):
    def test_an_ipv6_deny_rule_refuses_only_ipv6_clients(self):
        with Server({"NetIp": "::"}) as server:
            status, out, err = admin(server.config, "rule", "add", "::1")
            self.assertEqual((status, err), (0, ""), out)
            server.process.send_signal(signal.SIGHUP)
            self.assertIn("1 IP rules", server.stderr_line_with("Reloaded"))
            self.assertTrue(Raw(server.port, host="::1").closed_without_reply())
            ftp4(server).quit()

    def test_the_per_address_limit_counts_an_ipv6_client(self):
        with Server({"NetIp": "::", "NetLoginsPerIp": "1"}) as server:
            first = ftp6(server)
            try:
                second = Raw(server.port, host="::1")
                self.assertTrue(second.closed_without_reply() or
                                not second.line().startswith("220"))
                second.close()
                ftp4(server).quit()  # another address: still room
            finally:
                first.quit()

    def test_an_ipv4_listener_is_not_reached_over_ipv6(self):
        with Server() as server:
            with self.assertRaises(OSError):
                socket.create_connection(("::1", server.port), timeout=5).close()
            ftp4(server).quit()


class Ipv6ConsoleTest(unittest.TestCase):
    def test_the_console_over_ipv6_lists_an_ipv6_session(self):
        port = free_port()
        with Server({"NetIp": "::", "SysConsoleState": "true", "SysConsolePort": str(port),
                     "SysConsolePass": CONSOLE_PASSWORD}) as server:
            ftp = ftp6(server)
            try:
                env = dict(os.environ, QUENLOWFTP_CONSOLE_PASSWORD=CONSOLE_PASSWORD)

                def console(host, command):
                    done = subprocess.run(
                        [BINARY, "console", "--config-dir", server.config, "--host", *host,
                         command], capture_output=True, text=True, env=env,
                        stdin=subprocess.DEVNULL, timeout=30)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    return done.stdout

                def rows(host):
                    return [line for line in console(host, "sessions").splitlines()
                            if " ::1 " in line]

                # The session list catches up with a login at the server's next tick.
                wait_until(lambda: "a@b" in "".join(rows([f"[::1]:{port}"])))
                found = rows(["::1", "--port", str(port)])
                self.assertEqual(len(found), 1, found)
                self.assertIn("a@b", found[0])  # anonymous shows the e-mail given
                status = console([f"[::1]:{port}"], "status")
                self.assertIn(f"Console  [::1]:{port}\n", status)
                self.assertIn(f"FTP        [::]:{server.port}\n", status)
                host = [line for line in status.splitlines() if line.startswith("Host ")]
                self.assertNotIn("(127.", host[0], "never a loopback address")
            finally:
                ftp.quit()


if __name__ == "__main__":
    unittest.main()
