import ftplib
import io
import os
import shutil
import socket
import subprocess
import tempfile
import unittest
import warnings

from server import Raw, Server, client_context, make_certificate

warnings.simplefilter("ignore", ResourceWarning)

CERT_DIR = tempfile.mkdtemp(prefix="qftp-cert-")
CERT, KEY = make_certificate(CERT_DIR)


def tearDownModule():
    shutil.rmtree(CERT_DIR, ignore_errors=True)


def tls_settings(**extra):
    settings = {"SSLState": "true", "SSLCertFile": CERT, "SSLKeyFile": KEY}
    settings.update(extra)
    return settings


class SecureRaw(Raw):
    """A raw control connection that can switch to TLS after AUTH."""

    def secure(self):
        self.sock = client_context().wrap_socket(self.sock)

    def ask(self, line):
        self.send(line)
        return self.line()


class SecurityCommands(unittest.TestCase):
    def test_order_rules_before_and_after_login(self):
        with Server(tls_settings()) as server:
            raw = SecureRaw(server.port)
            raw.line()
            for line, expected in [
                    ("PBSZ 0", "503 Bad sequence of commands."),
                    ("PROT P", "503 Bad sequence of commands."),
                    ("CCC", "533 Command protection level denied for policy reasons."),
                    ("AUTH", "502 Command not implemented."),
                    ("AUTH KERBEROS", "504 Command not implemented for that parameter."),
                    ("AUTH tls", "234 Security data exchange complete.")]:
                self.assertEqual(raw.ask(line), expected, line)
            raw.secure()
            for line, expected in [
                    ("AUTH TLS", "431 Need some unavailable resource to process security."),
                    ("PROT P", "503 Bad sequence of commands."),  # before login: PBSZ first
                    ("PBSZ 16384", "200 PBSZ=0."),
                    ("PROT P", "200 Command okay."),
                    ("PBSZ -1", "501 Syntax error in parameters or arguments."),
                    ("PBSZ 4294967296", "501 Syntax error in parameters or arguments."),
                    ("PBSZ 4294967295", "200 PBSZ=0."),
                    ("CCC", "534 Request denied for policy reasons."),
                    ("USER anonymous", "331 User name okay, need password."),
                    ("PASS a@b", "230 User logged in, proceed."),
                    ("PROT S", "536 Requested PROT level not supported by mechanism."),
                    ("PROT X", "504 Command not implemented for that parameter."),
                    ("PROT PP", "501 Syntax error in parameters or arguments."),
                    ("PROT E", "200 Command okay."),  # no PBSZ needed once logged in
                    ("STAT", "211-Begin status:")]:
                self.assertEqual(raw.ask(line), expected, line)
            while not raw.line().startswith("211 "):
                pass

    def test_rein_ends_tls_after_its_reply(self):
        with Server(tls_settings()) as server:
            ftp = ftplib.FTP_TLS(context=client_context())
            ftp.connect("127.0.0.1", server.port, timeout=20)
            ftp.auth()
            ftp.login("anonymous", "t@e")
            self.assertEqual(ftp.sendcmd("REIN")[:4], "220 ")  # still protected
            ftp.sock = ftp.sock.unwrap()
            ftp.file = ftp.sock.makefile("r", encoding=ftp.encoding)
            self.assertEqual(ftp.sendcmd("USER anonymous"), "331 User name okay, need password.")
            ftp.quit()

    def test_auth_refused_when_tls_is_off(self):
        with Server() as server:
            raw = SecureRaw(server.port)
            raw.line()
            self.assertEqual(raw.ask("AUTH TLS"), "534 Request denied for policy reasons.")
            self.assertEqual(raw.ask("USER anonymous"), "331 User name okay, need password.")

    def test_secure_login_is_required_of_named_users_only(self):
        accounts = [("alice", "secret", 15)]
        with Server(tls_settings(SysReqSSLLogin="true"), accounts=accounts) as server:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=20)
            with self.assertRaisesRegex(ftplib.error_perm, "^534"):
                ftp.login("alice", "secret")
            ftp.login("anonymous", "t@e")
            ftp.quit()
            secure = ftplib.FTP_TLS(context=client_context())
            secure.connect("127.0.0.1", server.port, timeout=20)
            secure.auth()
            self.assertEqual(secure.login("alice", "secret"), "230 User logged in, proceed.")
            secure.quit()

    def test_a_failed_handshake_ends_the_session(self):
        with Server(tls_settings()) as server:
            raw = SecureRaw(server.port)
            raw.line()
            self.assertEqual(raw.ask("AUTH TLS"), "234 Security data exchange complete.")
            raw.sock.sendall(b"\x16\x03\x01\x00\x05garbage that is no handshake\r\n")
            # At most an alert comes back, then the session is gone.
            received = b""
            while True:
                try:
                    chunk = raw.sock.recv(4096)
                except ConnectionResetError:
                    break
                if not chunk:
                    break
                received += chunk
            self.assertNotIn(b"\r\n", received)


class ProtectedTransfers(unittest.TestCase):
    def setUp(self):
        self.server = Server(tls_settings(SysDeflateState="true"))
        self.data = os.urandom(3 * 1024 * 1024 + 11)
        with open(os.path.join(self.server.root, "data.bin"), "wb") as f:
            f.write(self.data)
        self.url = f"ftp://127.0.0.1:{self.server.port}/pub/"

    def tearDown(self):
        self.server.stop()

    def stored(self, name):
        with open(os.path.join(self.server.root, name), "rb") as f:
            return f.read()

    def secure_ftp(self):
        ftp = ftplib.FTP_TLS(context=client_context())
        ftp.connect("127.0.0.1", self.server.port, timeout=20)
        ftp.auth()
        ftp.login("anonymous", "t@e")
        return ftp

    def test_python_tls_client_with_private_data(self):
        ftp = self.secure_ftp()
        ftp.prot_p()
        out = io.BytesIO()
        ftp.retrbinary("RETR /pub/data.bin", out.write)
        self.assertEqual(out.getvalue(), self.data)
        ftp.storbinary("STOR /pub/up.bin", io.BytesIO(self.data))
        self.assertEqual(self.stored("up.bin"), self.data)
        self.assertEqual(sorted(ftp.nlst("/pub")), ["data.bin", "up.bin"])
        # PROT E protects like P.
        ftp.voidcmd("PROT E")
        out = io.BytesIO()
        ftp.retrbinary("RETR /pub/data.bin", out.write)
        self.assertEqual(out.getvalue(), self.data)
        # Back to plain text on the control connection; the next command is read in clear.
        self.assertEqual(ftp.ccc(), "200 Command okay.")
        self.assertEqual(ftp.pwd(), "/")
        ftp.quit()

    def test_data_is_private_from_auth_on_without_prot(self):
        ftp = self.secure_ftp()
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("RETR /pub/data.bin")  # ftplib leaves it plain without prot_p
        conn = client_context().wrap_socket(conn)  # the handshake succeeds: it is TLS
        got = bytearray()
        while len(got) < len(self.data):
            chunk = conn.recv(65536)
            if not chunk:
                break
            got += chunk
        self.assertEqual(bytes(got), self.data)
        conn.unwrap()
        conn.close()
        self.assertEqual(ftp.voidresp(), "226 Closing data connection.")
        ftp.quit()

    def test_verified_data_connections_must_match_the_control_connection(self):
        self.server.stop()
        self.server = Server(tls_settings(SSLVerifyCert="true"))
        with open(os.path.join(self.server.root, "data.bin"), "wb") as f:
            f.write(self.data)
        ftp = self.secure_ftp()
        ftp.prot_p()
        out = io.BytesIO()
        ftp.retrbinary("RETR /pub/data.bin", out.write)  # neither side shows a certificate
        self.assertEqual(out.getvalue(), self.data)
        ftp.ccc()
        # Now the control connection is plain but the data connection is not: no match.
        with self.assertRaisesRegex(ftplib.error_temp, "^435"):
            ftp.retrbinary("RETR /pub/data.bin", out.write)
        ftp.quit()

    def test_curl_with_private_data_and_ccc(self):
        base = ["curl", "-s", "-S", "-k", "--max-time", "60", "--ssl-reqd"]
        got = subprocess.run(base + [self.url + "data.bin"], capture_output=True,
                             check=True).stdout
        self.assertEqual(got, self.data)
        source = os.path.join(self.server.dir, "source.bin")
        with open(source, "wb") as f:
            f.write(self.data)
        subprocess.run(base + ["-T", source, self.url + "curl.bin"], check=True)
        self.assertEqual(self.stored("curl.bin"), self.data)
        for mode in ("passive", "active"):
            got = subprocess.run(base + ["--ftp-ssl-ccc", "--ftp-ssl-ccc-mode", mode,
                                         self.url + "data.bin"],
                                 capture_output=True, check=True).stdout
            self.assertEqual(got, self.data, mode)

    def test_lftp_mirror_over_tls(self):
        local = os.path.join(self.server.dir, "tree")
        for i in range(30):
            os.makedirs(os.path.join(local, f"d{i % 3}"), exist_ok=True)
            with open(os.path.join(local, f"d{i % 3}", f"f{i}"), "wb") as f:
                f.write(os.urandom(i * 1000))
        back = os.path.join(self.server.dir, "back")
        script = ("set ssl:verify-certificate no; set ftp:ssl-force true; "
                  "set ftp:ssl-protect-data true; set cmd:fail-exit yes; set net:max-retries 1; "
                  f"open -u anonymous,t@e 127.0.0.1:{self.server.port}; "
                  f"mirror -R {local} /pub/tree; mirror /pub/tree {back}; bye")
        subprocess.run(["lftp", "-c", script], check=True, timeout=120, capture_output=True)
        diff = subprocess.run(["diff", "-r", local, back], capture_output=True)
        self.assertEqual(diff.returncode, 0, diff.stdout)
        diff = subprocess.run(["diff", "-r", local, os.path.join(self.server.root, "tree")],
                              capture_output=True)
        self.assertEqual(diff.returncode, 0, diff.stdout)


if __name__ == "__main__":
    unittest.main()
