"""Clients nobody here wrote (curl, lftp) and the refusals a careful server must make."""

import ftplib
import io
import os
import re
import socket
import subprocess
import unittest
import warnings

from server import Raw, Server, anonymous_ftp, same_tree

warnings.simplefilter("ignore", ResourceWarning)


def curl(*args):
    return subprocess.run(["curl", "-s", "-S", "--max-time", "60", *args],
                          capture_output=True, check=True).stdout


class RealClients(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.root = self.server.root
        self.data = os.urandom(2 * 1024 * 1024 + 5)
        with open(os.path.join(self.root, "data.bin"), "wb") as f:
            f.write(self.data)
        self.url = f"ftp://127.0.0.1:{self.server.port}/pub/"

    def tearDown(self):
        self.server.stop()

    def local(self, name):
        return os.path.join(self.server.dir, name)

    def test_curl_active_mode_resume_and_listings(self):
        self.assertEqual(curl("-P", "127.0.0.1", self.url + "data.bin"), self.data)
        with open(self.local("part.bin"), "wb") as f:
            f.write(self.data[:777777])
        curl("-C", "-", "-o", self.local("part.bin"), self.url + "data.bin")
        with open(self.local("part.bin"), "rb") as f:
            self.assertEqual(f.read(), self.data)

        # An interrupted upload resumed: curl asks SIZE and appends the rest.
        with open(os.path.join(self.root, "up.bin"), "wb") as f:
            f.write(self.data[:1000])
        with open(self.local("whole.bin"), "wb") as f:
            f.write(self.data)
        curl("-C", "-", "-T", self.local("whole.bin"), self.url + "up.bin")
        curl("-P", "127.0.0.1", "-T", self.local("whole.bin"), self.url + "active.bin")
        for name in ("up.bin", "active.bin"):
            with open(os.path.join(self.root, name), "rb") as f:
                self.assertEqual(f.read(), self.data, name)

        listing = curl(self.url).decode().splitlines()
        self.assertEqual(len(listing), 3)
        self.assertTrue(any(line.endswith(" data.bin") and f" {len(self.data)} " in line
                            for line in listing), listing)
        names = curl("-l", self.url).decode().split()
        self.assertEqual(sorted(names), ["active.bin", "data.bin", "up.bin"])

    def test_lftp_mirrors_a_tree_up_and_back(self):
        source = self.local("src")
        for i in range(200):
            folder = os.path.join(source, f"d{i % 7}", f"e{i % 3}")
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, f"f{i}.bin"), "wb") as f:
                f.write(os.urandom(i * 97 % 20000))
        script = (f"set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 20; "
                  f"open -u anonymous,t@e 127.0.0.1:{self.server.port}; "
                  f"mirror -R {source} /pub/tree; mirror /pub/tree {self.local('back')}; bye")
        subprocess.run(["lftp", "-c", script], check=True, timeout=240, capture_output=True)
        for copy in (os.path.join(self.root, "tree"), self.local("back")):
            same_tree(self, source, copy, 200)

    def test_nlst_of_many_files(self):
        names = {f"file-{i:03}.txt" for i in range(300)}
        for name in names:
            open(os.path.join(self.root, name), "wb").close()
        ftp = anonymous_ftp(self.server)
        ftp.cwd("/pub")
        self.assertEqual(set(ftp.nlst()), names | {"data.bin"})
        lines = []
        ftp.dir(lines.append)
        self.assertEqual(len(lines), 301)
        ftp.quit()


class Bursts(unittest.TestCase):
    def test_a_burst_of_clients_is_greeted_without_waiting(self):
        # Clients that connect all at once must not fall out of a short listen backlog: with
        # SYN cookies they would believe they were connected and wait a minute for nothing.
        with Server({"NetMaxConnection": "64", "NetLoginsPerIp": "64"}) as server:
            clients = []
            for _ in range(60):  # started together, without waiting for each handshake
                client = socket.socket()
                client.setblocking(False)
                client.connect_ex(("127.0.0.1", server.port))
                clients.append(client)
            for client in clients:
                client.settimeout(5)
                self.assertTrue(client.recv(100).startswith(b"220 "))
                client.close()


class Abort(unittest.TestCase):
    def test_abort_during_a_download_and_with_only_a_data_connection(self):
        with Server() as server:
            with open(os.path.join(server.root, "big.bin"), "wb") as f:
                f.write(os.urandom(64 * 1024 * 1024))
            ftp = anonymous_ftp(server)
            ftp.voidcmd("TYPE I")
            conn = ftp.transfercmd("RETR /pub/big.bin")
            conn.recv(65536)
            # ftplib sends the line as urgent data, as RFC 959 asks.
            reply = ftp.abort()
            conn.close()
            self.assertIn(reply[:3], ("426", "226"))
            if reply.startswith("426"):
                self.assertEqual(ftp.getresp(), "226 Closing data connection.")
            self.assertEqual(ftp.voidcmd("NOOP"), "200 Command okay.")

            ftp.sendcmd("PASV")
            with self.assertRaisesRegex(ftplib.error_temp, "^426"):
                ftp.sendcmd("ABOR")
            self.assertEqual(ftp.getresp(), "226 Closing data connection.")
            out = io.BytesIO()
            ftp.retrbinary("RETR /pub/big.bin", out.write, rest=64 * 1024 * 1024 - 10)
            self.assertEqual(len(out.getvalue()), 10)
            ftp.quit()


class Refusals(unittest.TestCase):
    def test_rights_switched_off(self):
        settings = {name: "false" for name in ("AnonWrite", "AnonDelete", "AnonRename")}
        with Server(settings) as server:
            os.makedirs(os.path.join(server.root, "folder"))
            with open(os.path.join(server.root, "keep.txt"), "wb") as f:
                f.write(b"keep")
            ftp = anonymous_ftp(server)
            ftp.cwd("/pub")
            for command in ("STOR new.txt", "APPE keep.txt", "STOU"):
                with self.assertRaisesRegex(ftplib.error_perm, "^553 Permission denied.$"):
                    ftp.storbinary(command, io.BytesIO(b"x"))
            for line in ("MKD made", "DELE keep.txt", "RMD folder", "RNFR keep.txt",
                         "RNTO other.txt"):
                with self.assertRaisesRegex(ftplib.error_perm, "^550 Requested action not "
                                            "taken.$"):
                    ftp.sendcmd(line)
            with self.assertRaisesRegex(ftplib.error_perm, "^553 Permission denied.$"):
                ftp.sendcmd("MDTM 20040102030405 keep.txt")
            self.assertEqual(ftp.sendcmd("MDTM keep.txt")[:4], "213 ")
            self.assertEqual(sorted(os.listdir(server.root)), ["folder", "keep.txt"])
            with open(os.path.join(server.root, "keep.txt"), "rb") as f:
                self.assertEqual(f.read(), b"keep")
            ftp.quit()

    def test_overwrite_needs_its_own_right(self):
        with Server({"AnonOverwrite": "false"}) as server:
            with open(os.path.join(server.root, "keep.txt"), "wb") as f:
                f.write(b"keep")
            ftp = anonymous_ftp(server)
            ftp.cwd("/pub")
            for command in ("STOR keep.txt", "APPE keep.txt"):
                with self.assertRaisesRegex(ftplib.error_perm, "^553"):
                    ftp.storbinary(command, io.BytesIO(b"x"))
            ftp.storbinary("STOR fresh.txt", io.BytesIO(b"fresh"))
            with open(os.path.join(server.root, "keep.txt"), "rb") as f:
                self.assertEqual(f.read(), b"keep")
            ftp.quit()

    def test_a_stranger_on_the_passive_port_is_turned_away(self):
        with Server() as server:
            with open(os.path.join(server.root, "secret.bin"), "wb") as f:
                f.write(b"secret")
            raw = Raw(server.port)
            raw.line()
            for line in ("USER anonymous", "PASS a@b"):
                raw.send(line)
                raw.line()
            raw.send("PASV")
            reply = raw.line()
            numbers = [int(n) for n in re.search(r"\((.*)\)", reply).group(1).split(",")]
            stranger = socket.socket()
            stranger.settimeout(5)
            stranger.bind(("127.0.0.2", 0))
            stranger.connect(("127.0.0.1", numbers[4] * 256 + numbers[5]))
            try:
                self.assertEqual(stranger.recv(100), b"")
            except ConnectionResetError:
                pass
            stranger.close()
            # The burnt port answers the transfer that asks for it, and nothing before.
            raw.send("NOOP")
            self.assertEqual(raw.line()[:4], "200 ")
            raw.send("RETR /pub/secret.bin")
            self.assertEqual(raw.line(), "425 Can't open data connection.")
            raw.send("NOOP")
            self.assertEqual(raw.line()[:4], "200 ")
            # A transfer already waiting on the port fails with it.
            raw.send("PASV")
            reply = raw.line()
            numbers = [int(n) for n in re.search(r"\((.*)\)", reply).group(1).split(",")]
            raw.send("RETR /pub/secret.bin")
            self.assertEqual(raw.line()[:4], "125 ")
            stranger = socket.create_connection(
                ("127.0.0.1", numbers[4] * 256 + numbers[5]), timeout=5,
                source_address=("127.0.0.2", 0))
            self.assertEqual(raw.line(), "425 Can't open data connection.")
            stranger.close()
            raw.send("NOOP")
            self.assertEqual(raw.line()[:4], "200 ")
            raw.close()


if __name__ == "__main__":
    unittest.main()
