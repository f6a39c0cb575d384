"""A folder of their own for each named user, and share points beside "pub": what each user
sees and may do there, with ftplib, curl and lftp, and the ways out that must stay shut."""

import ftplib
import io
import json
import os
import signal
import subprocess
import unittest

from server import BINARY, Server, admin, free_port, login, wait_until

RIGHTS_ALL = 15  # write, overwrite, delete, rename


def content(path):
    with open(path, "rb") as f:
        return f.read()


def fetch(ftp, path):
    data = io.BytesIO()
    ftp.retrbinary("RETR " + path, data.write)
    return data.getvalue()


class HomeFolders(unittest.TestCase):
    def setUp(self):
        self.console = free_port()
        self.server = Server(settings={"SysFsMapHome": "true", "SysHomeFolder": "{dir}/homes",
                                       "SysMlstState": "true", "SysConsoleState": "true",
                                       "SysConsolePort": str(self.console),
                                       "SysConsolePass": "pw"},
                             accounts=[("alice", "alicepw", RIGHTS_ALL),
                                       ("bob", "bobpw", 0)])
        self.addCleanup(self.server.stop)
        self.homes = os.path.join(self.server.dir, "homes")
        with open(os.path.join(self.server.root, "shared.txt"), "wb") as f:
            f.write(b"for everyone\n")

    def test_each_named_user_works_in_a_folder_of_their_own(self):
        alice = login(self.server.port, "alice", "alicepw")
        self.assertTrue(os.path.isdir(os.path.join(self.homes, "alice")), "made at first login")
        self.assertFalse(os.path.exists(os.path.join(self.homes, "bob")))
        self.assertEqual(alice.nlst("/"), ["pub"])
        self.assertEqual(alice.nlst("/pub"), [])
        alice.storbinary("STOR /pub/note.txt", io.BytesIO(b"alice's note\n"))
        alice.mkd("/pub/work")
        alice.rename("/pub/note.txt", "/pub/kept.txt")
        self.assertEqual(alice.size("/pub/kept.txt"), 13)
        self.assertTrue(alice.sendcmd("MDTM /pub/kept.txt").startswith("213 "))
        alice.cwd("/pub/work")
        alice.storbinary("STOR inner.bin", io.BytesIO(b"x" * 1000))
        self.assertEqual(sorted(os.path.basename(n) for n in alice.nlst("/pub")),
                         ["kept.txt", "work"])
        self.assertEqual(content(os.path.join(self.homes, "alice", "kept.txt")),
                         b"alice's note\n")
        self.assertFalse(os.path.exists(os.path.join(self.server.root, "kept.txt")))
        facts = dict(alice.mlsd("/pub"))
        self.assertEqual(set(facts), {".", "kept.txt", "work"} | ({".."} & set(facts)))

        # bob sees his own, empty folder and not alice's; he has no right to write there.
        bob = login(self.server.port, "bob", "bobpw")
        self.assertEqual(bob.nlst("/pub"), [])
        with self.assertRaisesRegex(ftplib.error_perm, "^550"):
            bob.size("/pub/kept.txt")
        with self.assertRaisesRegex(ftplib.error_perm, "^553"):
            bob.storbinary("STOR /pub/mine.txt", io.BytesIO(b"no"))
        self.assertEqual(os.listdir(os.path.join(self.homes, "bob")), [])

        # Anonymous keeps the shared folder.
        anonymous = login(self.server.port, "anonymous", "a@b")
        self.assertEqual(fetch(anonymous, "/pub/shared.txt"), b"for everyone\n")
        with self.assertRaisesRegex(ftplib.error_perm, "^550"):
            anonymous.size("/pub/kept.txt")
        # The console says which folder each session's "pub" is (as of the sessions' last
        # tick, half a second at most).
        def roots():
            listed = subprocess.run([BINARY, "console", "sessions", "--json", "--port",
                                     str(self.console)], capture_output=True, text=True,
                                    env=dict(os.environ, QUENLOWFTP_CONSOLE_PASSWORD="pw"),
                                    stdin=subprocess.DEVNULL, timeout=30)
            self.assertEqual(listed.returncode, 0, listed.stderr)
            rows = json.loads(listed.stdout)["sessions"]
            shown = {row["user"]: row["root"] for row in rows}
            return shown if len(shown) == 3 else None
        self.assertEqual(wait_until(roots, 5), {"alice": os.path.join(self.homes, "alice") + "/",
                                 "bob": os.path.join(self.homes, "bob") + "/",
                                 "a@b": self.server.root + "/"})
        for ftp in (alice, bob, anonymous):
            ftp.quit()

        # A real client sees the same.
        listing = subprocess.run(["curl", "-sS", "--list-only", "--user", "alice:alicepw",
                                  f"ftp://127.0.0.1:{self.server.port}/pub/"],
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertEqual(sorted(listing.stdout.split()), ["kept.txt", "work"])

    def test_no_way_leads_out_of_a_home(self):
        alice_home = os.path.join(self.homes, "alice")
        bob_home = os.path.join(self.homes, "bob")
        os.makedirs(bob_home)
        with open(os.path.join(bob_home, "secret.txt"), "wb") as f:
            f.write(b"bob's secret\n")
        os.makedirs(alice_home)
        os.symlink(bob_home, os.path.join(alice_home, "bobs"))
        os.symlink(os.path.join(bob_home, "secret.txt"), os.path.join(alice_home, "s.txt"))

        alice = login(self.server.port, "alice", "alicepw")
        for path in ("/pub/../bob/secret.txt", "/pub/../../homes/bob/secret.txt",
                     "../bob/secret.txt", "/pub/bobs/secret.txt", "/pub/s.txt",
                     bob_home + "/secret.txt", "/bob/secret.txt"):
            with self.assertRaisesRegex(ftplib.error_perm, "^550", msg=path):
                fetch(alice, path)
        for path in ("/pub/bobs", "/pub/../bob", "/bob", bob_home):
            with self.assertRaisesRegex(ftplib.error_perm, "^550", msg=path):
                alice.cwd(path)
        with self.assertRaises(ftplib.error_perm):
            alice.storbinary("STOR /pub/bobs/planted.txt", io.BytesIO(b"x"))
        with self.assertRaises(ftplib.error_perm):
            alice.delete("/pub/s.txt/..")
        alice.quit()
        self.assertEqual(sorted(os.listdir(bob_home)), ["secret.txt"])
        self.assertEqual(content(os.path.join(bob_home, "secret.txt")),
                         b"bob's secret\n")


class SharePoints(unittest.TestCase):
    def test_a_read_only_share_is_listed_served_and_left_as_it_is(self):
        with Server(settings={"SysMlstState": "true"},
                    accounts=[("alice", "alicepw", RIGHTS_ALL)]) as server:
            docs = os.path.join(server.dir, "docs")
            os.makedirs(os.path.join(docs, "manuals"))
            with open(os.path.join(docs, "guide.txt"), "wb") as f:
                f.write(b"read me\n")
            status, out, err = admin(server.config, "share", "add", "docs", docs, "--read-only")
            self.assertEqual(status, 0, err)
            self.assertIn(f'Added share point "docs" = {docs}/ (read-only).', out)
            for bad, why in ((["share", "add", "PUB", docs], "shared folder's name"),
                             (["share", "add", "docs", "/tmp"], "already"),
                             (["share", "add", "a/b", docs], "cannot hold /"),
                             (["share", "del", "nothing"], "no share point")):
                status, _, err = admin(server.config, *bad)
                self.assertEqual(status, 1, bad)
                self.assertIn(why, err)
            status, out, _ = admin(server.config, "share", "list")
            self.assertIn("read-only", out)
            server.process.send_signal(signal.SIGHUP)
            self.assertIn('"docs" = ' + docs + "/ (read-only)",
                          server.stderr_line_with("Reloaded"))

            alice = login(server.port, "alice", "alicepw")
            self.assertEqual(alice.nlst("/"), ["pub", "docs"])
            self.assertEqual(fetch(alice, "/docs/guide.txt"), b"read me\n")
            self.assertEqual(alice.size("/docs/guide.txt"), 8)
            refused = [
                lambda: alice.storbinary("STOR /docs/new.txt", io.BytesIO(b"x")),
                lambda: alice.storbinary("APPE /docs/guide.txt", io.BytesIO(b"x")),
                lambda: alice.delete("/docs/guide.txt"),
                lambda: alice.mkd("/docs/more"),
                lambda: alice.rmd("/docs/manuals"),
                lambda: alice.rename("/docs/guide.txt", "/docs/other.txt"),
                lambda: alice.sendcmd("MDTM 20200101000000 /docs/guide.txt"),
            ]
            for attempt in refused:
                with self.assertRaisesRegex(ftplib.error_perm, "^55[03]"):
                    attempt()
            alice.cwd("/docs")
            with self.assertRaisesRegex(ftplib.error_perm, "^55[03]"):
                alice.storbinary("STOU", io.BytesIO(b"x"))
            perms = {name: facts.get("perm") for name, facts in
                     alice.mlsd("/docs", facts=["perm"])}
            self.assertEqual(perms["guide.txt"], "r")
            self.assertEqual(perms["manuals"], "el")
            root = {name: facts.get("perm") for name, facts in alice.mlsd("/", facts=["perm"])}
            self.assertEqual(root["docs"], "el")
            self.assertIn("c", root["pub"])
            # "pub" keeps the user's rights.
            alice.storbinary("STOR /pub/new.txt", io.BytesIO(b"x"))
            alice.quit()
            self.assertEqual(sorted(os.listdir(docs)), ["guide.txt", "manuals"])
            self.assertEqual(content(os.path.join(docs, "guide.txt")), b"read me\n")

            mirror = os.path.join(server.dir, "mirror")
            done = subprocess.run(
                ["lftp", "-u", "alice,alicepw", "-p", str(server.port), "127.0.0.1", "-e",
                 f"set cmd:fail-exit yes; mirror /docs {mirror}; "
                 "put -O /docs /etc/hostname; quit"],
                capture_output=True, text=True, timeout=60)
            self.assertNotEqual(done.returncode, 0, "the upload into docs must fail")
            self.assertEqual(content(os.path.join(mirror, "guide.txt")), b"read me\n")

            status, out, _ = admin(server.config, "share", "del", "docs")
            self.assertEqual(status, 0)
            server.process.send_signal(signal.SIGHUP)
            server.stderr_line_with("Reloaded")
            alice = login(server.port, "alice", "alicepw")
            self.assertEqual(alice.nlst("/"), ["pub"])
            alice.quit()


if __name__ == "__main__":
    unittest.main()
