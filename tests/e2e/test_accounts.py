"""Named accounts with passwords kept as hashes: long pass phrases, a version 1 password file
carried over, and a file that holds no password text."""

import ftplib
import os
import signal
import subprocess
import unittest

from server import Server, admin, login, password_file

PHRASE = "correct horse battery staple, " * 2 + "okay"  # 64 characters
assert len(PHRASE) == 64


class HashedPasswords(unittest.TestCase):
    def test_a_version_one_file_is_carried_over_and_long_phrases_log_in(self):
        with Server(settings={"SysPasswordHash": "true"}) as server:
            users = os.path.join(server.config, "QuenlowFTP.dat")
            password_file(users, [("alice", "alicepw1", 8), ("bob", "bobpw", 0)])
            server.process.send_signal(signal.SIGHUP)
            self.assertIn("Reloaded: 2 named users", server.stderr_line_with("Reloaded"))
            for name, password in (("alice", "alicepw1"), ("bob", "bobpw")):
                login(server.port, name, password).quit()

            # Hashing off: the 8-character rule of the version 1 file holds.
            status, _, err = admin(server.config, "user", "add", "carol", "--password", PHRASE)
            self.assertEqual(status, 1)
            self.assertIn("the password is longer than 8 characters", err)
            self.assertEqual(open(users, "rb").read()[0], 1, "the file is not rewritten")

            status, out, _ = admin(server.config, "config", "set", "SysPasswordHash", "true")
            self.assertEqual(status, 0)
            self.assertIn(f"2 passwords in {users} are now kept as a hash.", out)
            stored = open(users, "rb").read()
            self.assertEqual(stored[0], 2)
            self.assertNotIn(b"bobpw", stored)
            status, out, err = admin(server.config, "user", "add", "carol", "--password", PHRASE,
                                     "--rights", "W")
            self.assertEqual(status, 0, err)
            stored = open(users, "rb").read()
            self.assertEqual(stored[0], 2)
            for secret in ("alicepw1", "bobpw", PHRASE, "horse"):
                self.assertNotIn(secret.encode(), stored)
                self.assertNotIn(secret.encode("utf-16-le"), stored)
            status, out, _ = admin(server.config, "user", "list")
            self.assertEqual(status, 0)
            self.assertNotIn("$6$", out)

            server.process.send_signal(signal.SIGHUP)
            self.assertIn("Reloaded: 3 named users", server.stderr_line_with("Reloaded"))
            for name, password in (("alice", "alicepw1"), ("bob", "bobpw"), ("carol", PHRASE)):
                login(server.port, name, password).quit()
            for name, password in (("carol", PHRASE[:-1]), ("carol", PHRASE + "x"),
                                   ("alice", "alicepw"), ("bob", "")):
                with self.assertRaisesRegex(ftplib.error_perm, "^530"):
                    login(server.port, name, password)

            # A real client with the phrase, and the same after a restart.
            server.restart()
            listing = subprocess.run(
                ["curl", "-sS", "--user", f"carol:{PHRASE}", f"ftp://127.0.0.1:{server.port}/"],
                capture_output=True, text=True, timeout=60)
            self.assertEqual(listing.returncode, 0, listing.stderr)
            self.assertIn("pub", listing.stdout)
            login(server.port, "alice", "alicepw1").quit()

    def test_a_newer_file_is_refused_and_never_overwritten(self):
        with Server() as server:
            users = os.path.join(server.config, "QuenlowFTP.dat")
            newer = b"\x03\x00\x00\x00\x01\x00\x00\x00" + os.urandom(40)
            with open(users, "wb") as f:
                f.write(newer)
            status, _, err = admin(server.config, "user", "add", "dave", "--password", "pw")
            self.assertEqual(status, 1)
            self.assertIn("written by a newer release of this program", err)
            self.assertEqual(open(users, "rb").read(), newer)
            server.process.send_signal(signal.SIGHUP)
            line = server.stderr_line_with("password file")
            self.assertIn("newer release", line)
            self.assertEqual(open(users, "rb").read(), newer)


if __name__ == "__main__":
    unittest.main()
