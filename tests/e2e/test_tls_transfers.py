"""Transfers over protected data connections, ended the ways real TLS clients end them."""

import fcntl
import ftplib
import os
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import termios
import unittest
import warnings
import zlib

from server import Server, client_context, make_certificate, same_tree

warnings.simplefilter("ignore", ResourceWarning)

CERT_DIR = tempfile.mkdtemp(prefix="qftp-tlsdata-")
CERT, KEY = make_certificate(CERT_DIR)
TLS = {"SSLState": "true", "SSLCertFile": CERT, "SSLKeyFile": KEY}
VERSIONS = (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3)


def tearDownModule():
    shutil.rmtree(CERT_DIR, ignore_errors=True)


class WritingClient:
    """The TLS side of a data connection as Go's TLS (so rclone) uses it for an upload: after
    the handshake it only writes, and never reads what the server may send. Whatever the
    server does send stays in the socket, and closing a socket with unread input makes the
    kernel send a reset and drop what of the upload has not left yet."""

    def __init__(self, sock, context, session=None):
        self.sock = sock
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_hostname="127.0.0.1",
                                    session=session)
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                self.push()
                chunk = sock.recv(65536)
                if not chunk:
                    raise ConnectionError("closed during the handshake")
                self.incoming.write(chunk)
        self.push()
        self.resumed = self.tls.session_reused

    def push(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def write(self, data):
        for start in range(0, len(data), 65536):
            self.tls.write(data[start:start + 65536])
            self.push()

    def read_some(self):
        """Reads one piece of what the server sends; returns how many bytes it decrypted."""
        while True:
            try:
                return len(self.tls.read(65536))
            except ssl.SSLWantReadError:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return 0
                self.incoming.write(chunk)

    def unread(self):
        """How many bytes the server sent after the handshake that still wait in the socket."""
        return struct.unpack("i", fcntl.ioctl(self.sock, termios.FIONREAD, b"\0" * 4))[0]

    def close(self, notify=True):
        if notify:
            try:
                self.tls.unwrap()  # our close notification; we do not wait for theirs
            except (ssl.SSLWantReadError, ssl.SSLError):  # or data of theirs came first
                pass
            self.push()
        self.sock.close()


def session(version, settings=None):
    """A logged-in FTPS client of a new server, with PROT P, pinned to one TLS version."""
    server = Server(dict(TLS, **(settings or {})))
    context = client_context()
    context.minimum_version = context.maximum_version = version
    ftp = ftplib.FTP_TLS(context=context, timeout=20)
    ftp.connect("127.0.0.1", server.port)
    ftp.login("anonymous", "t@e")
    ftp.prot_p()
    ftp.voidcmd("TYPE I")
    return server, ftp, context


def plain_data(ftp, command):
    """The data connection of command before any TLS: the test makes its own."""
    return ftplib.FTP.ntransfercmd(ftp, command)[0]


def upload(ftp, context, name, body, resume, notify=True):
    """STOR through a WritingClient; returns it (closed) and the server's final reply."""
    client = WritingClient(plain_data(ftp, f"STOR /pub/{name}"), context,
                           ftp.sock.session if resume else None)
    client.write(body)
    client.after_upload = client.unread()
    client.close(notify)
    try:
        return client, ftp.voidresp()
    except ftplib.error_temp as error:
        return client, str(error)


class Uploads(unittest.TestCase):
    def test_a_client_that_only_writes_loses_nothing(self):
        """Every TLS version, with and without resuming the control connection's session, in
        stream mode and MODE Z, small and large: the server sends nothing after the handshake,
        so the client's close is an orderly one and every byte arrives."""
        sizes = (0, 1, 16384, 300_000, 4 * 1024 * 1024)
        for version in VERSIONS:
            server, ftp, context = session(version, {"SysDeflateState": "true"})
            with server:
                for mode in ("S", "Z"):
                    ftp.voidcmd(f"MODE {mode}")
                    for resume in (False, True):
                        for size in sizes:
                            case = f"{version.name} MODE {mode} resume={resume} {size} bytes"
                            data = os.urandom(size)
                            body = data
                            if mode == "Z":
                                packer = zlib.compressobj()
                                body = packer.compress(data) + packer.flush()
                            name = f"{mode}{resume}{size}"
                            client, reply = upload(ftp, context, name, body, resume)
                            self.assertEqual(client.after_upload, 0, case)
                            self.assertEqual(client.resumed, resume, case)
                            self.assertEqual(reply, "226 Closing data connection.", case)
                            with open(os.path.join(server.root, name), "rb") as f:
                                self.assertTrue(f.read() == data, case)
                ftp.quit()

    def test_a_client_gone_without_its_close_notification_fails_the_upload(self):
        """A TCP close with no close notification cannot be told from a cut connection. The
        session goes on, and its next data connection still resumes."""
        for version in VERSIONS:
            server, ftp, context = session(version)
            with server:
                data = os.urandom(200_000)
                _, reply = upload(ftp, context, "cut", data, True, notify=False)
                self.assertEqual(reply, "426 Connection closed; transfer aborted.", version)
                client, reply = upload(ftp, context, "whole", data, True)
                self.assertEqual((client.resumed, reply),
                                 (True, "226 Closing data connection."), version)
                ftp.quit()


class Downloads(unittest.TestCase):
    def test_a_download_closed_early_fails_and_the_session_goes_on(self):
        data = os.urandom(4 * 1024 * 1024)
        for version in VERSIONS:
            server, ftp, context = session(version)
            with server:
                with open(os.path.join(server.root, "big"), "wb") as f:
                    f.write(data)
                for notify in (True, False):
                    case = (version.name, "with" if notify else "without", "close notification")
                    client = WritingClient(plain_data(ftp, "RETR /pub/big"), context,
                                           ftp.sock.session)
                    self.assertTrue(client.resumed, case)
                    self.assertGreater(client.read_some(), 0, case)
                    client.close(notify)
                    with self.assertRaises(ftplib.error_temp, msg=case) as cut:
                        ftp.voidresp()
                    self.assertEqual(str(cut.exception),
                                     "426 Connection closed; transfer aborted.", case)
                    self.assertEqual(ftp.voidcmd("NOOP"), "200 Command okay.", case)
                # Read to its end, the same file arrives whole.
                got = bytearray()
                self.assertEqual(ftp.retrbinary("RETR /pub/big", got.extend),
                                 "226 Closing data connection.")
                self.assertTrue(bytes(got) == data)
                ftp.quit()


def mixed_tree(root, count):
    """count files from empty to 1 MiB, in a few folders."""
    for i in range(count):
        folder = os.path.join(root, f"d{i % 5}")
        os.makedirs(folder, exist_ok=True)
        size = (0, 1, 4095, 16384, 65537, 300_000, 1024 * 1024)[i % 7] + i
        with open(os.path.join(folder, f"f{i}.bin"), "wb") as f:
            f.write(os.urandom(size if i % 7 else 0))


class Rclone(unittest.TestCase):
    @unittest.skipUnless(shutil.which("rclone"), "rclone is not installed")
    def test_rclone_copies_over_explicit_tls_and_checks_both_ways(self):
        count = 105
        with Server(dict(TLS, SysMlstState="true", NetLoginsPerIp="32")) as server:
            source = os.path.join(server.dir, "src")
            mixed_tree(source, count)
            password = subprocess.run(["rclone", "obscure", "t@e"], capture_output=True,
                                      text=True, check=True).stdout.strip()
            remote = (f":ftp,host=127.0.0.1,port={server.port},user=anonymous,pass={password},"
                      "explicit_tls=true,no_check_certificate=true:/pub/tree")
            back = os.path.join(server.dir, "back")
            base = ["rclone", "--config", "/dev/null", "--retries", "1",
                    "--low-level-retries", "1", "--transfers", "8"]
            for step in (["copy", source, remote], ["check", source, remote],
                         ["copy", remote, back], ["check", remote, back]):
                run = subprocess.run(base + step, timeout=240, capture_output=True, text=True,
                                     errors="replace")
                self.assertEqual(run.returncode, 0, (step, run.stderr[-3000:]))
            same_tree(self, source, os.path.join(server.root, "tree"), count)
            same_tree(self, source, back, count)


if __name__ == "__main__":
    unittest.main()
