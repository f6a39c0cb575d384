"""Bans after failed logins: a guesser from 127.0.0.2 against the real server, seen and lifted
with quenlowftp ban list | del from another process."""

import ftplib
import json
import os
import signal
import subprocess
import unittest

from server import BINARY, Raw, Server, free_port

PASSWORD = "c0ns0le"
ACCOUNTS = [("alice", "a1", 15)]
GUESSER = "127.0.0.2"


def ban_server(**settings):
    port = free_port()
    values = {"SysConsoleState": "true", "SysConsolePort": str(port),
              "SysConsolePass": PASSWORD}
    values.update(settings)
    server = Server(values, accounts=ACCOUNTS)
    server.console_port = port
    return server


def program(server, command, *args):
    """quenlowftp ban|console ... against the server's console; (status, stdout, stderr)."""
    env = dict(os.environ, QUENLOWFTP_CONSOLE_PASSWORD=PASSWORD)
    done = subprocess.run([BINARY, command, "--config-dir", server.config,
                           "--port", str(server.console_port), *args],
                          capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL, timeout=30)
    return done.returncode, done.stdout, done.stderr


def wrong_passwords(test, server, count, user="alice", source=GUESSER):
    """count wrong passwords from source, three to a connection (the attempt limit)."""
    while count:
        raw = Raw(server.port, source=source)
        try:
            test.assertTrue(raw.line().startswith("220 "))
            for _ in range(min(3, count)):
                raw.send("USER " + user)
                test.assertTrue(raw.line().startswith("331 "))
                raw.send("PASS not-" + user)
                test.assertTrue(raw.line().startswith("530 "))
                count -= 1
        finally:
            raw.close()


def greeted(server, source=GUESSER):
    raw = Raw(server.port, source=source)
    try:
        return not raw.closed_without_reply()
    finally:
        raw.close()


def login(server, source):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=20, source_address=(source, 0))
    ftp.login("alice", "a1")
    return ftp


def stop_and_read_log(server):
    server.process.send_signal(signal.SIGTERM)
    server.process.wait(timeout=10)
    log = server.process.stderr.read()
    server.stop()
    return log


class BanTest(unittest.TestCase):
    def test_ten_failures_ban_the_guesser_alone_until_the_ban_is_lifted(self):
        server = ban_server(SysBanFailures="10")
        try:
            # Unknown users count, and a good login in between forgives nothing.
            wrong_passwords(self, server, 5, user="mallory")
            login(server, GUESSER).quit()
            wrong_passwords(self, server, 3)
            raw = Raw(server.port, source=GUESSER)
            self.assertTrue(raw.line().startswith("220 "), "eight failures so far")
            for line, code in (("USER alice", "331"), ("PASS x", "530"),
                               ("USER alice", "331"), ("PASS x", "530")):
                raw.send(line)
                self.assertTrue(raw.line().startswith(code), line)
            # The session that made the tenth failure ends at its next command.
            raw.send("USER alice")
            self.assertTrue(raw.closed_without_reply())
            raw.close()

            self.assertFalse(greeted(server), "closed without a greeting")
            self.assertFalse(greeted(server))
            login(server, "127.0.0.1").quit()

            status, out, err = program(server, "ban", "list")
            self.assertEqual((status, err), (0, ""))
            lines = out.splitlines()
            self.assertEqual(lines[0], "Bans: 10 failed logins in 10 minutes ban an address for "
                                       "60 minutes.")
            self.assertTrue(lines[1].startswith("ADDRESS"))
            self.assertEqual(lines[2].split()[0], GUESSER)
            self.assertEqual(lines[2].split()[-1], "10")
            status, out, _ = program(server, "ban", "list", "--json")
            doc = json.loads(out)
            self.assertEqual(doc["rules"], {"failures": 10, "window_minutes": 10,
                                            "ban_minutes": 60})
            [ban] = doc["bans"]
            self.assertEqual((ban["address"], ban["failures"]), (GUESSER, 10))
            self.assertEqual(ban["until"] - ban["since"], 3600)

            status, out, _ = program(server, "console", "status")
            self.assertIn("Bans       1 now (10 failed logins in 10 minutes ban an address for "
                          "60 minutes)\n", out)
            status, out, _ = program(server, "console", "status", "--json")
            self.assertEqual(json.loads(out)["bans"], {"current": 1, "failures": 10,
                                                       "window_minutes": 10, "ban_minutes": 60})

            self.assertEqual(program(server, "ban", "del", GUESSER),
                             (0, "Lifted the ban on 127.0.0.2.\n", ""))
            self.assertTrue(greeted(server))
            login(server, GUESSER).quit()
            self.assertEqual(program(server, "ban", "del", GUESSER),
                             (1, "127.0.0.2 is not banned.\n", ""))
            self.assertEqual(program(server, "ban", "list")[1],
                             "Bans: 10 failed logins in 10 minutes ban an address for "
                             "60 minutes.\nNo address is banned.\n")
            self.assertEqual(program(server, "ban", "del", "127.0.0.256")[0], 2)
        finally:
            log = stop_and_read_log(server)
        began = "127.0.0.2 is banned for 60 minutes after 10 failed logins in 10 minutes"
        self.assertEqual(log.count(began), 1, log)
        self.assertIn("127.0.0.2: ban lifted by the console", log)

    def test_with_the_defaults_twenty_failures_ban_nothing(self):
        server = ban_server()
        try:
            wrong_passwords(self, server, 20)
            self.assertTrue(greeted(server))
            login(server, GUESSER).quit()
            status, out, err = program(server, "ban", "list")
            self.assertEqual((status, out, err), (0, "Bans are off (SysBanFailures is 0).\n", ""))
            status, out, _ = program(server, "console", "status")
            self.assertEqual(status, 0)
            self.assertNotIn("Bans", out)
            status, out, _ = program(server, "console", "status", "--json")
            self.assertNotIn("bans", json.loads(out))
            self.assertEqual(program(server, "ban", "del", GUESSER),
                             (1, "127.0.0.2 is not banned.\n", ""))
        finally:
            log = stop_and_read_log(server)
        self.assertNotIn("banned", log)


if __name__ == "__main__":
    unittest.main()
