import ftplib
import hashlib
import os
import unittest
import warnings

from server import Raw, Server, anonymous_ftp, ask, logged_in, whole_reply

warnings.simplefilter("ignore", ResourceWarning)


class StatusAndFeatures(unittest.TestCase):
    def test_feat_lists_mode_z_only_with_deflate(self):
        common = [" REST STREAM", " MDTM ", " SIZE ", " AUTH TLS", " PBSZ ", " PROT ", " CCC ",
                  " TVFS", "211 End"]
        for deflate, middle in (("true", [" MODE Z"]), ("false", [])):
            with Server({"SysDeflateState": deflate}) as server:
                raw = Raw(server.port)
                raw.line()
                # Answered before login too.
                self.assertEqual(ask(raw, "FEAT"),
                                 ["211-Extensions supported:", " UTF8"] + middle + common)
                self.assertEqual(ask(raw, "FEAT x"),
                                 ["501 Syntax error in parameters or arguments."])

    def test_help_syst_and_site(self):
        with Server() as server:
            with open(os.path.join(server.root, "lines.txt"), "wb") as f:
                f.write(b"one\ntwo\r\nthree\n")
            raw = logged_in(server)
            listing = ask(raw, "HELP")
            self.assertEqual(listing[0], "214-The following commands are recognized:")
            self.assertEqual(listing[1], " LIST\tNLST\tCWD\tXCWD\tCDUP\tXCUP\tPORT")
            self.assertEqual(listing[-2], " EPRT\tEPSV\tHELP\tNOOP\tQUIT")
            self.assertEqual(listing[-1], "214 Send HELP <command> for additional information.")
            self.assertEqual(len(listing), 9)
            self.assertEqual(ask(raw, "HELP XCWD"), ["214 Syntax: CWD/XCWD <sp> directory"])
            self.assertEqual(ask(raw, "HELP retr"),
                             ["214 Syntax: RETR <sp> filename (download)"])
            self.assertEqual(ask(raw, "HELP FOO"), ["502 Unknown command FOO."])
            self.assertEqual(ask(raw, "SYST"), ["215 Windows_CE."])

            content = b"one\ntwo\r\nthree\n"
            ask(raw, "TYPE I")
            self.assertEqual(ask(raw, "SITE MD5 /pub/lines.txt"),
                             ["200 " + hashlib.md5(content).hexdigest()])
            ask(raw, "TYPE A")  # the digest covers what an ASCII download would carry
            self.assertEqual(ask(raw, "SITE md5 /pub/lines.txt"),
                             ["200 " + hashlib.md5(b"one\r\ntwo\r\nthree\r\n").hexdigest()])
            empty = open(os.path.join(server.root, "empty"), "wb")
            empty.close()
            self.assertEqual(ask(raw, "SITE MD5 /pub/empty"),
                             ["200 d41d8cd98f00b204e9800998ecf8427e"])
            self.assertEqual(ask(raw, "SITE MD5"), ["501 Syntax error in parameters or arguments."])
            self.assertEqual(ask(raw, "SITE CHMOD 644 x"),
                             ["500 Syntax error, command unrecognized."])
            self.assertEqual(ask(raw, "SITE MD5 /pub/none"), ["550 Requested action not taken."])

    def test_opts(self):
        with Server({"SysDeflateState": "true"}) as server:
            raw = Raw(server.port)
            raw.line()
            ok = ["200 Command okay."]
            for line, expected in [
                    ("OPTS UTF8 NLIST", ["451 Requested action aborted: local error in "
                                         "processing."]),
                    ("OPTS UTF8", ok),  # toggles: now on
                    ("OPTS UTF8 NLIST", ok),
                    ("OPTS UTF8 OFF", ok),
                    ("OPTS utf-8 on", ok),
                    ("OPTS UTF8 MAYBE", ["501 Syntax error in parameters or arguments."]),
                    ("OPTS", ["501 Syntax error in parameters or arguments."]),
                    ("OPTS MODE Z LEVEL 9", ok),
                    ("OPTS MODE Z LEVEL 10", ["501 Syntax error in parameters or arguments."]),
                    ("OPTS MODE Z FOO 1", ["501 Syntax error in parameters or arguments."]),
                    ("OPTS MODE Z", ok),
                    ("OPTS mode z; level 1;", ok),
                    ("OPTS RETR x", ["501 Option not recognized."]),
                    ("OPTS FEAT", ["501 Syntax error in parameters or arguments."]),
                    ("OPTS MODE S", ["501 Option not recognized."])]:
                self.assertEqual(ask(raw, line), expected, line)

    def test_utf8_names_follow_the_option(self):
        with Server() as server:
            open(os.path.join(server.root, "café.txt"), "wb").close()
            ftp = ftplib.FTP(encoding="latin-1")
            ftp.connect("127.0.0.1", server.port, timeout=20)
            ftp.login("anonymous", "t@e")
            self.assertEqual(ftp.nlst("/pub"), ["caf\xe9.txt"])  # the local code page
            ftp.sendcmd("OPTS UTF8 ON")
            ftp.sendcmd("OPTS UTF8 NLIST")
            self.assertEqual(ftp.nlst("/pub"), ["café.txt".encode().decode("latin-1")])
            ftp.quit()

    def test_stat(self):
        with Server({"SysAdminEmail": "admin@example.org"}) as server:
            with open(os.path.join(server.root, "big.bin"), "wb") as f:
                f.write(os.urandom(32 * 1024 * 1024))
            raw = logged_in(server)
            self.assertEqual(ask(raw, "STAT /pub"),
                             ["211-Begin status of /pub", "211 End status."])
            self.assertEqual(ask(raw, "STAT"), [
                "211-Begin status:", " Quenlow FTP Pro 1.70", " Connected to 127.0.0.1",
                " Contact is admin@example.org", " Logged in as anonymous", " AUTH: NONE",
                " TYPE: ASCII", " MODE: STREAM", " STRU: FILE", " FORM: NON-PRINT",
                " 0 bytes sent in 0 download(s)", " 0 bytes received in 0 upload(s)",
                " 0 bytes total in 0 file(s)", "211 End status."])

            ftp = anonymous_ftp(server)
            conn = ftp.transfercmd("RETR /pub/big.bin")
            conn.recv(1000)  # the rest waits in the buffers: the transfer is running
            ftp.putcmd("STAT")
            position = ftp.getline()
            self.assertRegex(position, r"^211 Position is \d+\.$")
            self.assertGreater(int(position.split()[3][:-1]), 0)
            conn.close()
            with self.assertRaisesRegex(ftplib.error_temp, "^426"):
                ftp.getresp()  # the client went away in the middle
            ftp.quit()


if __name__ == "__main__":
    unittest.main()
