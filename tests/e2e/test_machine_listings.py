"""Machine-readable listings (MLSD, MLST) behind SysMlstState, with real clients and raw lines."""
import ftplib
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import warnings

from server import (Raw, Server, anonymous_ftp, ask, client_context, logged_in,
                    make_certificate, same_tree, whole_reply)

warnings.simplefilter("ignore", ResourceWarning)

ON = {"SysMlstState": "true"}
CERT_DIR = tempfile.mkdtemp(prefix="qftp-mlst-cert-")
CERT, KEY = make_certificate(CERT_DIR)


def put(server, files):
    """Files under the share, their folders made as needed."""
    for name, content in files.items():
        path = os.path.join(server.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def stamp(path):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(os.stat(path).st_mtime))


def make_tree(root, count, ascii=False):
    for i in range(count):
        folder = os.path.join(root, f"d {i % 4}", f"{'a' if ascii else 'ä'}{i % 3}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"f {i}.bin"), "wb") as f:
            f.write(os.urandom(i * 131 % 9000))


class WhileOff(unittest.TestCase):
    def test_nothing_on_the_wire_changes_without_the_setting(self):
        with Server() as server:
            raw = logged_in(server)
            feat = ask(raw, "FEAT")
            self.assertFalse(any("MLST" in line for line in feat), feat)
            help = ask(raw, "HELP")
            self.assertEqual(help[-2], " EPRT\tEPSV\tHELP\tNOOP\tQUIT")
            self.assertEqual(ask(raw, "HELP MLST"), ["502 Unknown command MLST."])
            for line in ("MLST", "MLSD", "MLST /pub"):
                self.assertEqual(ask(raw, line), ["502 Command not implemented."], line)
            self.assertEqual(ask(raw, "OPTS MLST size;"),
                             ["501 Syntax error in parameters or arguments."])


class Facts(unittest.TestCase):
    def test_feat_help_and_mlst_of_a_file_a_folder_and_both_roots(self):
        files = {"a.txt": b"hello\n", "sub/b.bin": b"12345678"}
        with Server(ON) as server:
            put(server, files)
            raw = Raw(server.port)
            raw.line()
            self.assertEqual(ask(raw, "MLST /pub"), ["530 Not logged in."])
            self.assertIn(" MLST type*;size*;modify*;perm*;", ask(raw, "FEAT"))
            for line in ("USER anonymous", "PASS a@b"):
                ask(raw, line)
            feat = ask(raw, "FEAT")
            self.assertEqual(feat[-3:], [" MLST type*;size*;modify*;perm*;", " TVFS", "211 End"])
            help = ask(raw, "HELP")
            self.assertEqual(help[-2], " EPRT\tEPSV\tHELP\tNOOP\tQUIT\tMLSD\tMLST")
            self.assertEqual(ask(raw, "HELP mlsd"), ["214 Syntax: MLSD [<sp> directory]"])

            a = os.path.join(server.root, "a.txt")
            self.assertEqual(ask(raw, "MLST /pub/a.txt"), [
                "250-Listing /pub/a.txt",
                f" type=file;size=6;modify={stamp(a)};perm=adfrw; /pub/a.txt", "250 End"])
            # Relative to the current folder, and the share point's own folder.
            ask(raw, "CWD /pub")
            self.assertEqual(ask(raw, "MLST sub")[1],
                             f" type=dir;modify={stamp(os.path.join(server.root, 'sub'))};"
                             "perm=cdeflm; /pub/sub")
            self.assertEqual(ask(raw, "MLST")[1],
                             f" type=dir;modify={stamp(server.root)};perm=cdeflm; /pub")
            # The virtual root holds the share points: entered and listed, nothing more.
            self.assertEqual(ask(raw, "MLST /"), ["250-Listing /", " type=dir;perm=el; /",
                                                  "250 End"])
            self.assertEqual(ask(raw, "MLST nothing"), ["550 Requested action not taken."])

            # A choice of facts, unknown names left out; FEAT stars what is chosen.
            self.assertEqual(ask(raw, "OPTS MLST Size;bogus;"), ["200 MLST OPTS size;"])
            self.assertEqual(ask(raw, "MLST a.txt")[1], " size=6; /pub/a.txt")
            self.assertIn(" MLST type;size*;modify;perm;", ask(raw, "FEAT"))
            self.assertEqual(ask(raw, "OPTS MLST"), ["200 MLST OPTS"])
            self.assertEqual(ask(raw, "MLST a.txt")[1], "  /pub/a.txt")
            # A new login starts from all facts again.
            ask(raw, "REIN")
            for line in ("USER anonymous", "PASS a@b"):
                ask(raw, line)
            self.assertEqual(ask(raw, "MLST /pub/a.txt")[1],
                             f" type=file;size=6;modify={stamp(a)};perm=adfrw; /pub/a.txt")

    def test_perm_follows_the_rights_and_the_read_only_flag(self):
        files = {"a.txt": b"x", "locked.txt": b"y", "sub/c": b"z"}
        none = dict(ON, AnonWrite="false", AnonOverwrite="false", AnonDelete="false",
                    AnonRename="false")
        for settings, file, locked, folder in ((ON, "adfrw", "dfr", "cdeflm"),
                                                (none, "r", "r", "el"),
                                                (dict(ON, AnonOverwrite="false"), "dfr", "dfr",
                                                 "cdeflm")):
            with Server(settings) as server:
                put(server, files)
                os.chmod(os.path.join(server.root, "locked.txt"), 0o444)
                ftp = anonymous_ftp(server)
                entries = dict(ftp.mlsd("/pub", ["perm"]))
                self.assertEqual(entries["a.txt"]["perm"], file, settings)
                self.assertEqual(entries["locked.txt"]["perm"], locked, settings)
                self.assertEqual(entries["sub"]["perm"], folder, settings)
                ftp.quit()


class Listings(unittest.TestCase):
    def test_mlsd_of_300_files_plain_and_over_tls(self):
        files = {f"many/n{i:03}.dat": b"q" * i for i in range(300)}
        settings = dict(ON, SSLState="true", SSLCertFile=CERT, SSLKeyFile=KEY)
        with Server(settings) as server:
            put(server, files)
            plain = anonymous_ftp(server)
            tls = ftplib.FTP_TLS(context=client_context())
            tls.connect("127.0.0.1", server.port, timeout=20)
            tls.login("anonymous", "t@e")
            tls.prot_p()
            for ftp in (plain, tls):
                entries = list(ftp.mlsd("/pub/many"))
                self.assertEqual(entries[0][0], ".")
                self.assertEqual(entries[0][1]["type"], "cdir")
                self.assertEqual((entries[1][0], entries[1][1]["type"]), ("..", "pdir"))
                got = {name: facts for name, facts in entries[2:]}
                self.assertEqual(len(got), 300)
                for i in range(300):
                    facts = got[f"n{i:03}.dat"]
                    self.assertEqual((facts["type"], facts["size"]), ("file", str(i)))
                ftp.quit()

    def test_mode_z_listing_arrives_whole(self):
        files = {f"z/n{i:03}.dat": b"" for i in range(300)}
        import socket
        import zlib
        with Server(dict(ON, SysDeflateState="true")) as server:
            put(server, files)
            raw = logged_in(server)
            self.assertEqual(ask(raw, "MODE Z"), ["200 Mode set to Z."])
            passive = ask(raw, "PASV")[0]
            numbers = passive[passive.index("(") + 1:passive.index(")")].split(",")
            data = socket.create_connection(
                ("127.0.0.1", int(numbers[4]) * 256 + int(numbers[5])), timeout=10)
            self.assertIn(ask(raw, "MLSD /pub/z")[0][:4], ("125 ", "150 "))
            body = b""
            while chunk := data.recv(65536):
                body += chunk
            data.close()
            self.assertEqual(whole_reply(raw), ["226 Closing data connection."])
            lines = zlib.decompress(body).decode().split("\r\n")
            self.assertEqual(lines[-1], "")
            self.assertEqual(len(lines[2:-1]), 300)
            self.assertTrue(all(line.startswith("type=file;size=0;modify=")
                                for line in lines[2:-1]))

    def test_what_is_not_a_folder_of_the_share_is_refused(self):
        files = {"a.txt": b"x"}
        with Server(ON) as server:
            put(server, files)
            os.symlink("/etc", os.path.join(server.root, "outside"))
            raw = logged_in(server)
            self.assertEqual(ask(raw, "MLSD /pub/a.txt"),
                             ["501 Syntax error in parameters or arguments."])
            for path in ("/pub/outside", "/pub/nothing", "/etc"):
                self.assertEqual(ask(raw, "MLSD " + path), ["550 Requested action not taken."],
                                 path)
                self.assertEqual(ask(raw, "MLST " + path), ["550 Requested action not taken."],
                                 path)
            # Above the root is the root: its share points and nothing of the machine's.
            ftp = anonymous_ftp(server)
            self.assertEqual([name for name, _ in ftp.mlsd("/../..")], [".", "pub"])

    def test_names_with_blanks_and_beyond_ascii(self):
        names = ["a b.txt", "ünïcödé ß.txt", " lead", "semi;colon=x"]
        files = {"n/" + name: name.encode() for name in names}
        with Server(ON) as server:
            put(server, files)
            ftp = anonymous_ftp(server)
            ftp.encoding = "utf-8"
            self.assertEqual(ftp.sendcmd("OPTS UTF8 ON"), "200 Command okay.")
            got = {name: facts for name, facts in ftp.mlsd("/pub/n") if name not in (".", "..")}
            self.assertEqual(sorted(got), sorted(names))
            for name in names:
                self.assertEqual(got[name]["size"], str(len(name.encode())))
                line = ftp.sendcmd("MLST /pub/n/" + name).split("\n")[1]
                self.assertTrue(line.endswith("; /pub/n/" + name), line)


class RealClients(unittest.TestCase):
    def test_lftp_mirrors_down_and_up_over_mlsd_plain_and_tls(self):
        settings = dict(ON, SSLState="true", SSLCertFile=CERT, SSLKeyFile=KEY)
        with Server(settings) as server:
            source = os.path.join(server.dir, "src")
            make_tree(source, 60)
            for tls, name in ((False, "plain"), (True, "tls")):
                back = os.path.join(server.dir, "back-" + name)
                secure = ("set ssl:verify-certificate no; set ftp:ssl-force true; "
                          "set ftp:ssl-protect-data true; ") if tls else "set ftp:ssl-allow no; "
                script = (secure + "set ftp:use-mlsd true; set cmd:fail-exit yes; "
                          "set net:max-retries 1; set net:timeout 20; "
                          f"open -u anonymous,t@e 127.0.0.1:{server.port}; "
                          f"mirror -R {source} /pub/{name}; mirror /pub/{name} {back}; "
                          f"cls -1 --sort=name /pub/{name}; bye")
                run = subprocess.run(["lftp", "-d", "-c", script], timeout=240,
                                     capture_output=True, text=True)
                self.assertEqual(run.returncode, 0, run.stderr[-2000:])
                self.assertIn("MLSD", run.stderr)
                same_tree(self, source, os.path.join(server.root, name), 60)
                same_tree(self, source, back, 60)

    @unittest.skipUnless(shutil.which("rclone"), "rclone is not installed")
    def test_rclone_copies_and_checks_both_ways_with_and_without_mlsd(self):
        for mlst in ("true", "false"):
            settings = {"SysMlstState": mlst, "NetLoginsPerIp": "16"}
            with Server(settings) as server:
                source = os.path.join(server.dir, "src")
                # LIST names go out in the local code page, which rclone cannot read: only
                # the machine listings carry UTF-8 names.
                make_tree(source, 40, ascii=mlst == "false")
                remote = (f":ftp,host=127.0.0.1,port={server.port},user=anonymous,"
                          f"pass={obscured('t@e')}:/pub/tree")
                back = os.path.join(server.dir, "back")
                base = ["rclone", "--config", "/dev/null", "--low-level-retries", "1",
                        "--retries", "1", "--ftp-concurrency", "8"]
                for step in (["copy", source, remote], ["check", source, remote],
                             ["copy", remote, back], ["check", remote, back]):
                    run = subprocess.run(base + step, timeout=240, capture_output=True,
                                         text=True, errors="replace")
                    self.assertEqual(run.returncode, 0, (settings, step, run.stderr[-2000:]))
                same_tree(self, source, back, 40)


def obscured(password):
    return subprocess.run(["rclone", "obscure", password], capture_output=True, text=True,
                          check=True).stdout.strip()


if __name__ == "__main__":
    unittest.main()
