"""Sessions spread over several loop threads: transfers side by side, and what the controller
asks of sessions (stop, disconnect, reload, the bandwidth limit) reaches every loop."""

import ftplib
import io
import os
import random
import re
import signal
import threading
import time
import unittest

from server import Server, password_file, wait_until
from test_console import console, console_server, login, sessions


def log_of(server):
    """Ends the server and returns what it wrote to stderr."""
    server.process.send_signal(signal.SIGTERM)
    server.process.wait(timeout=10)
    return server.process.stderr.read()


def run_all(work, count):
    """Runs work(i) on count threads at once; the exceptions they raised."""
    errors = []

    def guarded(i):
        try:
            work(i)
        except Exception as error:  # reported by the test
            errors.append(f"{i}: {error!r}")

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    return errors


class SessionLoopsTest(unittest.TestCase):
    def test_sessions_on_every_loop_transfer_at_once_with_identical_bytes(self):
        rng = random.Random(7)
        files = {f"pub/f{i}.bin": rng.randbytes(rng.choice([0, 1, 1500, 70000, 900000]))
                 for i in range(12)}
        settings = {"SysSessionLoops": "4", "NetLoginsPerIp": "20", "LogState": "true",
                    "LogInfoMsg": "true"}
        server = Server(settings, files=files)
        try:
            barrier = threading.Barrier(8)

            def client(i):
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", server.port, timeout=30)
                ftp.login("anonymous", "t@e")
                barrier.wait(30)  # all eight connected: spread over the loops
                mine = os.urandom(50000 + i * 37000)
                ftp.storbinary(f"STOR /pub/up{i}.bin", io.BytesIO(mine))
                for name, content in files.items():
                    got = bytearray()
                    ftp.retrbinary("RETR /" + name, got.extend)
                    if bytes(got) != content:
                        raise AssertionError(f"{name}: {len(got)} bytes, {len(content)} sent")
                with open(os.path.join(server.root, f"up{i}.bin"), "rb") as f:
                    if f.read() != mine:
                        raise AssertionError(f"up{i}.bin differs")
                ftp.quit()

            self.assertEqual(run_all(client, 8), [])
            log = log_of(server)
            self.assertIn("sessions run on 4 loop threads", log)
            loops = set(re.findall(r"connected now, loop (\d+)\)", log))
            self.assertEqual(loops, {"1", "2", "3", "4"}, "the least busy loop takes each client")
        finally:
            server.stop()

    def test_stop_reaches_the_sessions_of_every_loop(self):
        server = Server({"SysSessionLoops": "3", "NetLoginsPerIp": "20"})
        try:
            clients = []
            for _ in range(6):
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", server.port, timeout=20)
                ftp.login("anonymous", "t@e")
                clients.append(ftp)
            server.process.send_signal(signal.SIGTERM)
            for ftp in clients:
                self.assertEqual(ftp.getline(), "421 Shutting system down.")
            self.assertEqual(server.process.wait(timeout=10), 0)
        finally:
            server.stop()

    def test_disconnect_and_reload_reach_the_sessions_of_every_loop(self):
        with console_server(SysSessionLoops="3", NetLoginsPerIp="20") as server:
            # Three sessions, one on each loop (the least busy takes the next client); the
            # console tells sessions apart by address, log-in time and user.
            clients = [login(server, "alice", "a1"), login(server, "bob", "b2"),
                       login(server, "anonymous", "x@y")]
            listed = wait_until(lambda: len(sessions(server)) == 3 and sessions(server))
            self.assertEqual(len(listed), 3)
            for index in reversed(range(3)):
                status, _, err = console(server, "kick", str(index))
                self.assertEqual(status, 0, err)
            self.assertTrue(wait_until(lambda: len(sessions(server)) == 0))
            for ftp in clients:
                with self.assertRaises((EOFError, ConnectionError, ftplib.Error)):
                    ftp.voidcmd("NOOP")
                ftp.close()

            # A reload gives sessions on every loop the new accounts.
            password_file(os.path.join(server.config, "users.dat"),
                          [("carol", "c3", 15), ("bob", "b2", 15)])
            server.process.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: _logs_in(server, "carol", "c3")))
            carols = [login(server, "carol", "c3") for _ in range(3)]
            with self.assertRaises(ftplib.error_perm):
                login(server, "alice", "a1")
            for ftp in carols:
                ftp.quit()

    def test_an_idle_session_shows_its_next_command_and_still_times_out(self):
        with console_server(SysSessionLoops="2", SysIdleTimeout="4") as server:
            alice = login(server, "alice", "a1")
            command = lambda: next((r["command"] for r in sessions(server)
                                    if r["user"] == "alice"), None)
            wait_until(lambda: command() == "PASS *")
            time.sleep(1.5)  # nothing to do: the session is left out of the ticks
            alice.sendcmd("CWD /pub")
            start = time.monotonic()
            wait_until(lambda: command() == "CWD /pub")
            self.assertLess(time.monotonic() - start, 1.5, "seen at the next tick")
            self.assertEqual(alice.getline(),
                             "421 Timeout (4 seconds): closing control connection.")
            self.assertTrue(2.5 < time.monotonic() - start < 6)

    def test_a_bandwidth_limit_holds_in_total_over_the_loops_both_ways(self):
        content = os.urandom(64 * 1024)
        with console_server(SysSessionLoops="4", NetLoginsPerIp="20") as server:
            with open(os.path.join(server.root, "quarter.bin"), "wb") as f:
                f.write(content)
            clients = [login(server, "alice", "a1") for _ in range(4)]
            status, _, err = console(server, "schedule", "set", "-",
                                     input="enabled yes\nall 00:00 64\n")
            self.assertEqual(status, 0, err)

            def fetch(i):
                got = bytearray()
                barrier.wait(30)
                clients[i].retrbinary("RETR /pub/quarter.bin", got.extend)
                if bytes(got) != content:
                    raise AssertionError("bytes differ")

            def store(i):
                barrier.wait(30)
                clients[i].storbinary(f"STOR /pub/up{i}.bin", io.BytesIO(content))

            for name, step in (("download", fetch), ("upload", store)):
                time.sleep(1.2)  # a fresh budget period for everyone
                barrier = threading.Barrier(4)
                start = time.monotonic()
                self.assertEqual(run_all(step, 4), [])
                elapsed = time.monotonic() - start
                # 256 KiB at 64 KB/s in total is 4 s; a limit per loop would let it through
                # in 1 s.
                self.assertGreater(elapsed, 2.8,
                                   f"{name}: 256 KiB in {elapsed:.2f} s at 64 KB/s in total")
            for i in range(4):
                with open(os.path.join(server.root, f"up{i}.bin"), "rb") as f:
                    self.assertEqual(f.read(), content)
            for ftp in clients:
                ftp.quit()


def _logs_in(server, user, password):
    try:
        login(server, user, password).quit()
        return True
    except ftplib.error_perm:
        return False


if __name__ == "__main__":
    unittest.main()
