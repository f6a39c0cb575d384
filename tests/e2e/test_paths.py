import os
import time
import unittest
import warnings

from server import Raw, Server

warnings.simplefilter("ignore", ResourceWarning)


class PathCommands(unittest.TestCase):
    def setUp(self):
        self.server = Server(files={"outside.txt": b"secret"})
        root = self.server.root
        os.makedirs(os.path.join(root, "docs", "sub"))
        with open(os.path.join(root, "docs", "three.txt"), "wb") as f:
            f.write(b"a\r\nb\r\nc\r\n")
        with open(os.path.join(root, "docs", "unix.txt"), "wb") as f:
            f.write(b"a\nb\nc\n")
        os.symlink(self.server.dir, os.path.join(root, "escape"))
        os.symlink(os.path.join(self.server.dir, "outside.txt"), os.path.join(root, "leak.txt"))
        self.raw = Raw(self.server.port)
        self.raw.line()
        self.ask("USER anonymous")
        self.ask("PASS a@b")

    def tearDown(self):
        self.raw.close()
        self.server.stop()

    def ask(self, line):
        self.raw.send(line)
        return self.raw.line()

    def test_walking_the_tree(self):
        self.assertEqual(self.ask("PWD"), '257 "/" is current directory.')
        for path in ["/pub", "pub", "\\PUB\\", "/pub/docs/sub/../.."]:
            self.ask("CWD /")
            self.assertEqual(self.ask("CWD " + path), "250 Requested file action okay, completed.",
                             path)
        self.assertEqual(self.ask("PWD")[:4], "257 ")
        self.assertEqual(self.ask("CWD /Windows"), "550 Requested action not taken.")
        self.assertEqual(self.ask("CWD /pub/docs/"), "250 Requested file action okay, completed.")
        self.assertEqual(self.ask("PWD"), '257 "/pub/docs" is current directory.')
        self.assertEqual(self.ask("CDUP"), "250 Requested file action okay, completed.")
        self.assertEqual(self.ask("XCUP"), "250 Requested file action okay, completed.")
        self.assertEqual(self.ask("XCUP"), "250 Requested file action okay, completed.")
        self.assertEqual(self.ask("XPWD"), '257 "/" is current directory.')
        self.assertEqual(self.ask("CWD a*"), "501 Syntax error in parameters or arguments.")
        self.assertEqual(self.ask("CWD"), "501 Syntax error in parameters or arguments.")

    def test_links_cannot_leave_the_shared_folder(self):
        self.assertEqual(self.ask("CWD /pub/escape"), "550 Requested action not taken.")
        self.assertEqual(self.ask("SIZE /pub/leak.txt"), "550 Requested action not taken.")
        self.assertEqual(self.ask("DELE /pub/leak.txt"), "550 Requested action not taken.")
        self.assertTrue(os.path.exists(os.path.join(self.server.dir, "outside.txt")))

    def test_making_removing_and_renaming(self):
        self.ask("CWD /pub")
        for bad in ["con", "a?b", "x" * 256]:
            self.assertEqual(self.ask("MKD " + bad), "550 Requested action not taken.", bad)
        self.assertEqual(self.ask("MKD con.txt"), '257 "con.txt" directory created.')
        self.assertEqual(self.ask("MKD docs"), '521 "docs" directory already exists; taking no action.')
        self.assertEqual(self.ask("RMD /pub"), "550 Requested action not taken.")
        self.assertEqual(self.ask("RNFR /pub"), "550 Requested action not taken.")
        self.assertEqual(self.ask("DELE docs"), "550 Requested action not taken.")
        self.assertEqual(self.ask("RMD con.txt"), "250 Requested file action okay, completed.")
        self.assertEqual(self.ask("RNFR docs/three.txt"),
                         "350 Requested file action pending further information.")
        self.assertEqual(self.ask("NOOP"), "200 Command okay.")
        self.assertEqual(self.ask("RNTO docs/3.txt"), "503 Bad sequence of commands.")
        self.ask("RNFR docs/three.txt")
        self.assertEqual(self.ask("RNTO other.txt"),
                         "553 Requested action not taken. File name not allowed.")
        self.ask("RNFR docs/three.txt")
        self.assertEqual(self.ask("RNTO docs/3.txt"), "250 Requested file action okay, completed.")
        self.assertTrue(os.path.exists(os.path.join(self.server.root, "docs", "3.txt")))
        self.assertEqual(self.ask("DELE docs/3.txt"), "250 Requested file action okay, completed.")
        self.assertEqual(self.ask("DELE /"), "550 Requested action not taken.")

    def test_sizes_and_times(self):
        self.ask("CWD /pub/docs")
        self.assertEqual(self.ask("SIZE three.txt"), "213 9")
        self.assertEqual(self.ask("SIZE unix.txt"), "213 9", "ASCII counts the CR LF to come")
        self.assertEqual(self.ask("SIZE /"), "550 Requested action not taken.")
        self.assertEqual(self.ask("MDTM 20040102030405 three.txt"), self.ask("MDTM three.txt"))
        expected = time.strftime("%Y%m%d%H%M%S",
                                 time.gmtime(time.mktime((2004, 1, 2, 3, 4, 5, 0, 0, -1))))
        self.assertEqual(self.ask("MDTM three.txt"), "213 " + expected)
        self.assertEqual(self.ask("MDTM 19691231235959 three.txt"),
                         "550 Requested action not taken.")


if __name__ == "__main__":
    unittest.main()
