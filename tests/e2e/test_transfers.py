import ftplib
import hashlib
import io
import os
import subprocess
import unittest
import warnings
import zlib

from server import Raw, Server

warnings.simplefilter("ignore", ResourceWarning)


class Transfers(unittest.TestCase):
    def setUp(self):
        self.server = Server({"SysDeflateState": "true"})
        self.root = self.server.root
        self.big = os.urandom(3 * 1024 * 1024 + 17)
        with open(os.path.join(self.root, "big.bin"), "wb") as f:
            f.write(self.big)
        with open(os.path.join(self.root, "unix.txt"), "wb") as f:
            f.write(b"one\ntwo\r\nthree")
        self.ftp = ftplib.FTP()
        self.ftp.connect("127.0.0.1", self.server.port, timeout=20)
        self.ftp.login("anonymous", "t@e")
        self.ftp.cwd("/pub")

    def tearDown(self):
        try:
            self.ftp.quit()
        except Exception:
            pass
        self.server.stop()

    def download(self, name, rest=None):
        out = io.BytesIO()
        self.ftp.retrbinary("RETR " + name, out.write, rest=rest)
        return out.getvalue()

    def test_downloads_and_uploads_are_byte_identical_in_both_modes(self):
        for passive in (True, False):
            self.ftp.set_pasv(passive)
            self.assertEqual(self.download("big.bin"), self.big)
            name = f"up-{passive}.bin"
            self.assertEqual(self.ftp.storbinary("STOR " + name, io.BytesIO(self.big)),
                             "226 Closing data connection.")
            with open(os.path.join(self.root, name), "rb") as f:
                self.assertEqual(hashlib.md5(f.read()).digest(), hashlib.md5(self.big).digest())

    def test_ascii_type_converts_line_ends_on_download_only(self):
        self.ftp.sendcmd("TYPE A")
        data = []
        self.ftp.retrlines("RETR unix.txt", data.append)
        self.assertEqual(data, ["one", "two", "three"])
        raw = io.BytesIO()
        self.ftp.retrbinary("RETR unix.txt", raw.write)  # ftplib switches to TYPE I here
        self.assertEqual(raw.getvalue(), b"one\ntwo\r\nthree")
        self.ftp.sendcmd("TYPE A")
        self.ftp.storlines("STOR lines.txt", io.BytesIO(b"a\r\nb\r\n"))
        with open(os.path.join(self.root, "lines.txt"), "rb") as f:
            self.assertEqual(f.read(), b"a\r\nb\r\n")

    def test_restart_append_and_unique_names(self):
        self.assertEqual(self.download("big.bin", rest=1000), self.big[1000:])
        self.ftp.sendcmd("REST 1000")
        self.ftp.voidcmd("NOOP")  # a restart holds only for the line right after it
        self.assertEqual(self.download("big.bin"), self.big)
        with self.assertRaisesRegex(ftplib.error_perm, "^550"):
            self.download("/")
        self.assertEqual(self.download("big.bin", rest=len(self.big)), b"")
        with self.assertRaisesRegex(ftplib.error_perm, "^554"):
            self.download("big.bin", rest=len(self.big) + 1)
        with self.assertRaisesRegex(ftplib.error_perm, "^552"):
            self.ftp.storbinary("STOR fresh.bin", io.BytesIO(b"x"), rest=10)
        with self.assertRaisesRegex(ftplib.error_perm, "^554"):
            self.ftp.storbinary("APPE big.bin", io.BytesIO(b"x"), rest=10)
        self.ftp.storbinary("APPE big.bin", io.BytesIO(b"tail"))
        self.assertEqual(self.download("big.bin"), self.big + b"tail")
        self.ftp.storbinary("STOR part.bin", io.BytesIO(b"0123456789"))
        self.ftp.storbinary("STOR part.bin", io.BytesIO(b"AB"), rest=4)
        with open(os.path.join(self.root, "part.bin"), "rb") as f:
            self.assertEqual(f.read(), b"0123AB6789")
        for name in ("00000", "00001"):
            open(os.path.join(self.root, name), "wb").close()
        self.ftp.voidcmd("TYPE I")
        conn, _ = self.ftp.ntransfercmd("STOU")
        conn.sendall(b"unique")
        conn.close()
        self.assertEqual(self.ftp.voidresp(), "226 Closing data connection.")
        with open(os.path.join(self.root, "00002"), "rb") as f:
            self.assertEqual(f.read(), b"unique")

    def test_listings(self):
        self.ftp.cwd("/")
        self.assertEqual(self.ftp.nlst(), ["pub"])
        self.ftp.cwd("/pub")
        self.assertEqual(sorted(self.ftp.nlst()), ["big.bin", "unix.txt"])
        lines = []
        self.ftp.dir(lines.append)
        self.assertEqual(len(lines), 2)
        self.assertRegex(lines[0], r"^-rwxrwxrwx   1 owner    group +\d+ \w{3} \d\d .+ big\.bin$")
        self.assertEqual(sorted(self.ftp.nlst("/pub")), ["big.bin", "unix.txt"])
        lines = []
        self.ftp.retrlines("LIST -la", lines.append)
        self.assertEqual(len(lines), 2)

    def test_representation_commands(self):
        raw = Raw(self.server.port)
        raw.line()
        for line in ["USER anonymous", "PASS a@b"]:
            raw.send(line)
            raw.line()
        for line, reply in [("TYPE L 8", "200 Type set to L 8."),
                            ("TYPE a", "200 Type set to A."),
                            ("TYPE L8", "504 Command not implemented for that parameter."),
                            ("TYPE E", "504 Command not implemented for that parameter."),
                            ("STRU R", "200 File structure set to R."),
                            ("MODE Z", "200 Mode set to Z."),
                            ("MODE S", "200 Mode set to S."),
                            ("REST -1", "501 Syntax error in parameters or arguments."),
                            ("REST 10 ", "501 Syntax error in parameters or arguments."),
                            ("ALLO 100", "202 Command not implemented, superfluous at this site."),
                            ("ABOR", "226 Closing data connection.")]:
            raw.send(line)
            self.assertEqual(raw.line(), reply, line)

    def test_mode_z_download_inflates_with_an_independent_zlib(self):
        self.ftp.voidcmd("TYPE I")
        self.ftp.voidcmd("MODE Z")
        compressible = b"all work and no play " * 50000
        with open(os.path.join(self.root, "text.bin"), "wb") as f:
            f.write(compressible)
        packed = io.BytesIO()
        self.ftp.retrbinary("RETR text.bin", packed.write)
        self.assertLess(len(packed.getvalue()), len(compressible) // 10)
        self.assertEqual(zlib.decompress(packed.getvalue()), compressible)
        conn, _ = self.ftp.ntransfercmd("STOR z.bin")
        conn.sendall(zlib.compress(compressible))
        conn.close()
        self.ftp.voidresp()
        with open(os.path.join(self.root, "z.bin"), "rb") as f:
            self.assertEqual(f.read(), compressible)
        # Listings are deflated too.
        conn, _ = self.ftp.ntransfercmd("NLST")
        packed = b""
        while chunk := conn.recv(4096):
            packed += chunk
        conn.close()
        self.ftp.voidresp()
        names = zlib.decompress(packed).decode().split("\r\n")
        self.assertEqual(sorted(n for n in names if n),
                         ["big.bin", "text.bin", "unix.txt", "z.bin"])

    def test_curl_downloads_and_uploads(self):
        url = f"ftp://127.0.0.1:{self.server.port}/pub/"
        out = subprocess.run(["curl", "-s", "--max-time", "30", url + "big.bin"],
                             capture_output=True, check=True).stdout
        self.assertEqual(out, self.big)
        source = os.path.join(self.server.dir, "c.bin")
        with open(source, "wb") as f:
            f.write(self.big[:100000])
        subprocess.run(["curl", "-s", "--max-time", "30", "-T", source, url + "c.bin"], check=True)
        with open(os.path.join(self.root, "c.bin"), "rb") as f:
            self.assertEqual(f.read(), self.big[:100000])


class DeflateOff(unittest.TestCase):
    def test_mode_z_refused_when_switched_off(self):
        with Server({"SysDeflateState": "false"}) as server:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            ftp.login()
            with self.assertRaisesRegex(ftplib.error_perm, "^534"):
                ftp.voidcmd("MODE Z")
            ftp.quit()


if __name__ == "__main__":
    unittest.main()
