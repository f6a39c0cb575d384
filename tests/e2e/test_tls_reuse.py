import ftplib
import io
import os
import shutil
import ssl
import subprocess
import tempfile
import unittest
import warnings

from server import Server, client_context, make_certificate

warnings.simplefilter("ignore", ResourceWarning)

CERT_DIR = tempfile.mkdtemp(prefix="qftp-reuse-")
CERT, KEY = make_certificate(CERT_DIR)
DATA = os.urandom(200000)


def tearDownModule():
    shutil.rmtree(CERT_DIR, ignore_errors=True)


class ResumingFTP(ftplib.FTP_TLS):
    """An FTP_TLS client that offers the control connection's session on its data
    connections, as FileZilla, lftp and curl do, and remembers whether each resumed."""

    resume = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.resumed = []

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            session = self.sock.session if self.resume else None
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session)
            self.resumed.append(conn.session_reused)
        return conn, size


def secure(server, resume=True, version=None):
    context = client_context()
    if version:
        context.minimum_version = context.maximum_version = version
    ftp = ResumingFTP(context=context)
    ftp.resume = resume
    ftp.connect("127.0.0.1", server.port, timeout=20)
    ftp.auth()
    ftp.login("anonymous", "t@e")
    ftp.prot_p()
    return ftp


def fetch(ftp):
    out = io.BytesIO()
    ftp.retrbinary("RETR /pub/data.bin", out.write)
    return out.getvalue()


class SessionReuse(unittest.TestCase):
    def start(self, **extra):
        settings = {"SSLState": "true", "SSLCertFile": CERT, "SSLKeyFile": KEY}
        settings.update(extra)
        server = Server(settings, files={"pub/data.bin": DATA})
        self.addCleanup(server.stop)
        return server

    def test_data_connections_resume_the_control_connections_session(self):
        server = self.start(SSLVerifyCert="true")
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            ftp = secure(server, version=version)
            for _ in range(3):
                self.assertEqual(fetch(ftp), DATA)
            ftp.storbinary("STOR /pub/up.bin", io.BytesIO(DATA))
            self.assertEqual(ftp.resumed, [True, True, True, True],
                             f"{version.name}: every data connection resumed, and passed the "
                             "certificate check")
            ftp.quit()
        ftp = secure(server, resume=False)
        self.assertEqual(fetch(ftp), DATA)
        self.assertEqual(ftp.resumed, [False], "by default a full handshake is let in too")
        ftp.quit()

    def test_when_reuse_is_required_only_a_resuming_data_connection_gets_through(self):
        server = self.start(SSLReqSessionReuse="true")
        ftp = secure(server, resume=False)
        with self.assertRaisesRegex(ftplib.error_temp, "^435"):
            fetch(ftp)
        self.assertEqual(ftp.pwd(), "/", "the session goes on")
        ftp.quit()
        ftp = secure(server)
        self.assertEqual(fetch(ftp), DATA)
        self.assertEqual(ftp.resumed, [True])
        ftp.quit()

    def test_curl_and_lftp_work_with_reuse_required(self):
        server = self.start(SSLReqSessionReuse="true")
        url = f"ftp://127.0.0.1:{server.port}/pub/data.bin"
        got = subprocess.run(["curl", "-s", "-S", "-k", "--max-time", "60", "--ssl-reqd", url],
                             capture_output=True, timeout=90)
        self.assertEqual((got.returncode, got.stdout == DATA), (0, True), got.stderr)
        # Several transfers on one connection: curl (OpenSSL, TLS 1.3) uses a session ticket
        # once, so each data connection needs the fresh one the server sent meanwhile.
        copies = [os.path.join(server.dir, f"curl{n}.bin") for n in range(3)]
        got = subprocess.run(["curl", "-s", "-S", "-k", "--max-time", "60", "--ssl-reqd"] +
                             [arg for copy in copies for arg in ("-o", copy, url)],
                             capture_output=True, timeout=90)
        self.assertEqual(got.returncode, 0, got.stderr)
        for copy in copies:
            with open(copy, "rb") as f:
                self.assertEqual(f.read(), DATA)
        got = subprocess.run(["curl", "-s", "-S", "-k", "--max-time", "60", "--ssl-reqd", "-T",
                              "{" + ",".join(copies) + "}", f"ftp://127.0.0.1:{server.port}/pub/"],
                             capture_output=True, timeout=90)
        self.assertEqual(got.returncode, 0, got.stderr)
        for n in range(3):
            with open(os.path.join(server.dir, "pub", f"curl{n}.bin"), "rb") as f:
                self.assertEqual(f.read(), DATA)
        back = os.path.join(server.dir, "lftp.bin")
        script = ("set ssl:verify-certificate no; set ftp:ssl-force true; "
                  "set ftp:ssl-protect-data true; set cmd:fail-exit yes; set net:max-retries 1; "
                  f"open -u anonymous,t@e 127.0.0.1:{server.port}; "
                  f"get /pub/data.bin -o {back}; ls /pub; bye")
        done = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(back, "rb") as f:
            self.assertEqual(f.read(), DATA)


if __name__ == "__main__":
    unittest.main()
