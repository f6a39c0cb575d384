"""The monitoring console (quenlowftp console ...) against the real server, with ftplib
clients logged in and transferring."""

import ftplib
import json
import os
import pty
import socket
import struct
import subprocess
import tempfile
import termios
import threading
import time
import unittest

from server import BINARY, Server, free_port, read_until, wait_until

PASSWORD = "c0ns0le"
ACCOUNTS = [("alice", "a1", 15), ("bob", "b2", 15)]


def console(server, *args, password=PASSWORD, port=None, input=None, timeout=30):
    """Runs one console command; returns (status, stdout, stderr)."""
    env = dict(os.environ)
    env.pop("QUENLOWFTP_CONSOLE_PASSWORD", None)
    if password is not None:
        env["QUENLOWFTP_CONSOLE_PASSWORD"] = password
    command = [BINARY, "console", "--config-dir", server.config,
               "--port", str(port or server.console_port), *args]
    done = subprocess.run(command, capture_output=True, text=True, env=env, input=input,
                          stdin=None if input is not None else subprocess.DEVNULL,
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def console_server(**settings):
    port = free_port()
    values = {"SysConsoleState": "true", "SysConsolePort": str(port),
              "SysConsolePass": PASSWORD}
    values.update(settings)
    server = Server(values, accounts=ACCOUNTS,
                    files={"pub/small.bin": os.urandom(192 * 1024)})
    server.console_port = port
    return server


def login(server, user, password):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=20)
    ftp.login(user, password)
    return ftp


def download_seconds(ftp, path="/pub/small.bin"):
    start = time.monotonic()
    received = bytearray()
    ftp.retrbinary("RETR " + path, received.extend)
    return time.monotonic() - start, len(received)


def sessions(server):
    status, out, err = console(server, "sessions", "--json")
    if status != 0:
        raise AssertionError(err)
    return json.loads(out)["sessions"]


class ConsoleCommandsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = console_server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_sessions_list_the_logged_in_users_and_kick_ends_only_the_chosen_one(self):
        alice = login(self.server, "alice", "a1")
        bob = login(self.server, "bob", "b2")
        try:
            # A session's record names its user once the client has its 230: no waiting.
            rows = [r for r in sessions(self.server) if r["user"]]
            self.assertEqual(sorted(r["user"] for r in rows), ["alice", "bob"])
            for row in rows:
                self.assertEqual(row["peer"], "127.0.0.1")
                self.assertFalse(row["secure"])
                self.assertEqual(row["command"], "PASS *")
            # Each command shows as it is read, not at the session's next tick.
            for command in ("PWD", "CWD /pub", "SYST"):
                alice.sendcmd(command)
                row = next(r for r in sessions(self.server) if r["user"] == "alice")
                self.assertEqual(row["command"], command)
            text = console(self.server, "sessions")[1]
            self.assertIn("alice", text)
            self.assertIn("PEER", text.splitlines()[0])

            alice_index = next(r["index"] for r in rows if r["user"] == "alice")
            # The wrong peer changes nothing.
            status, _, err = console(self.server, "kick", str(alice_index), "--peer", "127.0.0.9")
            self.assertEqual(status, 1)
            self.assertIn("is from 127.0.0.1, not 127.0.0.9; nothing was done", err)
            alice.voidcmd("NOOP")

            status, out, err = console(self.server, "kick", str(alice_index),
                                       "--peer", "127.0.0.1")
            self.assertEqual(status, 0, err)
            self.assertIn("Disconnected session", out)
            self.assertIn("alice", out)
            with self.assertRaises((EOFError, OSError, ftplib.Error)):
                alice.voidcmd("NOOP")
            bob.voidcmd("NOOP")
            self.assertEqual([r["user"] for r in sessions(self.server)], ["bob"])

            status, _, err = console(self.server, "kick", "7")
            self.assertEqual(status, 1)
            self.assertIn("there is no session 7", err)
        finally:
            bob.close()
            alice.close()

    def test_the_running_transfer_shows_in_sessions_and_then_in_files(self):
        ftp = login(self.server, "bob", "b2")
        try:
            self.assertEqual(console(self.server, "schedule", "set", "-",
                                     input="enabled yes\nall 00:00 64\n")[0], 0)
            worker = threading.Thread(target=download_seconds, args=(ftp,))
            worker.start()
            try:
                # The name and the command follow at the server's next tick; the bytes are live.
                row = wait_until(lambda: next((r for r in sessions(self.server)
                                             if r.get("transfer_bytes") and
                                             r["command"].startswith("RETR")), None))
                self.assertIsNotNone(row, "a running download shows its bytes")
                self.assertEqual(row["user"], "bob")
                self.assertIn("RETR /pub/small.bin", row["command"])
            finally:
                worker.join()
                console(self.server, "schedule", "disable")
            files = json.loads(console(self.server, "files", "--json")[1])["file_events"]
            last = files[-1]
            self.assertEqual((last["user"], last["direction"], last["file_bytes"]),
                             ("bob", "download", 192 * 1024))
            self.assertTrue(last["path"].endswith("small.bin"))
            self.assertIn("small.bin", console(self.server, "files")[1])
        finally:
            ftp.close()

    def test_status_reports_the_ftp_port_counters_and_the_machine(self):
        ftp = login(self.server, "alice", "a1")
        try:
            status, out, err = console(self.server, "status", "--json")
            self.assertEqual(status, 0, err)
            doc = json.loads(out)
            self.assertEqual(doc["ftp"]["port"], self.server.port)
            self.assertGreaterEqual(doc["sessions"]["current"], 1)
            self.assertGreaterEqual(doc["sessions"]["accepted"], 1)
            self.assertGreater(doc["sockets_open"], 0)
            self.assertGreater(doc["bytes_sent"], 0)
            self.assertEqual(doc["host"]["processors"], os.cpu_count())
            self.assertEqual(doc["host"]["name"], os.uname().nodename)
            self.assertLess(doc["server"]["uptime_seconds"], 3600)
            text = console(self.server, "status")[1]
            self.assertIn(f"FTP        0.0.0.0:{self.server.port}", text)
            self.assertIn("Host       " + os.uname().nodename, text)
        finally:
            ftp.close()

    def test_events_list_is_empty_and_answers(self):
        status, out, _ = console(self.server, "events", "--json")
        self.assertEqual(status, 0)
        self.assertEqual(json.loads(out), {"events": []})


class ScheduleTest(unittest.TestCase):
    def test_a_slow_zone_slows_downloads_and_disable_lifts_it(self):
        with console_server() as server:
            ftp = login(server, "alice", "a1")
            try:
                fast, size = download_seconds(ftp)
                self.assertEqual(size, 192 * 1024)
                # One zone a day from midnight covers now, whatever the day.
                status, out, err = console(server, "schedule", "set", "-",
                                           input="enabled yes\nall 00:00 64\n")
                self.assertEqual(status, 0, err)
                self.assertIn("7 zones, limiting on", out)
                # 192 KiB at 64 KB/s: a second's budget at once, then 128 KiB at the rate,
                # for the first transfer after the change as for the next ones.
                for which in ("first", "second"):
                    slow, _ = download_seconds(ftp)
                    self.assertGreater(slow, 1.7, f"64 KB/s, {which} transfer: {slow:.2f} s")
                    self.assertLess(slow, 4.0, f"64 KB/s, {which} transfer: {slow:.2f} s")
                self.assertEqual(console(server, "schedule", "disable")[0], 0)
                lifted, _ = download_seconds(ftp)
                self.assertLess(lifted, slow / 3)
            finally:
                ftp.close()

    def test_show_set_round_trips_and_bad_lines_change_nothing(self):
        with console_server() as server, tempfile.TemporaryDirectory() as work:
            text = ("enabled no\n"
                    "mon 08:00 512\nmon 20:00 2000\n"
                    "sat 00:00 100\n")
            path = os.path.join(work, "week.txt")
            with open(path, "w") as f:
                f.write(text)
            self.assertEqual(console(server, "schedule", "set", path)[0], 0)
            status, shown, _ = console(server, "schedule", "show")
            self.assertEqual(status, 0)
            self.assertEqual(shown, text)
            with open(path, "w") as f:
                f.write(shown)
            self.assertEqual(console(server, "schedule", "set", path)[0], 0)
            self.assertEqual(console(server, "schedule", "show")[1], text)
            doc = json.loads(console(server, "schedule", "show", "--json")[1])
            self.assertEqual(doc["days"]["mon"], [{"start": "08:00", "kbps": 512},
                                                  {"start": "20:00", "kbps": 2000}])
            self.assertEqual(doc["days"]["sun"], [])

            with open(path, "w") as f:
                f.write("enabled yes\nmon 8:00 fast\nmoon 09:00 5\n")
            status, _, err = console(server, "schedule", "set", path)
            self.assertEqual(status, 1)
            self.assertIn("line 2:", err)
            self.assertIn("line 3:", err)
            self.assertEqual(console(server, "schedule", "show")[1], text, "nothing changed")

            # The server keeps what it was given over a restart, with its own zone counts.
            self.assertEqual(console(server, "schedule", "enable")[0], 0)
            server.restart()
            self.assertEqual(console(server, "schedule", "show")[1],
                             text.replace("enabled no", "enabled yes"))

    def test_offline_commands_work_on_the_stored_schedule(self):
        with tempfile.TemporaryDirectory() as config:
            env = dict(os.environ, QUENLOWFTP_CONSOLE_PASSWORD="unused")
            run = lambda *args, **kw: subprocess.run(
                [BINARY, "console", "--config-dir", config, "schedule", "--offline", *args],
                capture_output=True, text=True, env=env, **kw)
            shown = run("show")
            self.assertEqual(shown.returncode, 0, shown.stderr)
            self.assertIn("sun 00:00 1000\nsun 06:00 1000\n", shown.stdout)
            done = run("set", "-", input="enabled yes\nall 09:30 256\n")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("at its next start", done.stdout)
            self.assertEqual(run("show").stdout, "enabled yes\n" + "".join(
                f"{day} 09:30 256\n" for day in ("sun", "mon", "tue", "wed", "thu", "fri", "sat")))
            self.assertEqual(run("disable").returncode, 0)
            self.assertTrue(run("show").stdout.startswith("enabled no\n"))


def wide(text):
    """A string in the console's archive encoding (short texts only)."""
    return b"\xff\xfe\xff" + bytes([len(text)]) + text.encode("utf-16-le")


def request(version, password, sessions=0, system=0):
    body = struct.pack("<BI", version, int(time.time()))
    body += bytes([system, system, sessions, 0, 0]) + struct.pack("<i", -1)
    body += wide("") + wide(password)
    body += b"\0" + b"\0" + struct.pack("<i", -1) + b"\0" * 3 + b"\0" * 2 + b"\0" * 3
    return struct.pack("<II", 1, len(body)) + body


def frames(sock, until):
    """Reads frames (type, payload) until until(type, payload) is true."""
    data, seen = b"", []
    while True:
        while len(data) >= 8 and len(data) >= 8 + struct.unpack_from("<I", data, 4)[0]:
            kind, length = struct.unpack_from("<II", data)
            seen.append((kind, data[8:8 + length]))
            data = data[8 + length:]
            if until(*seen[-1]):
                return seen
        chunk = sock.recv(65536)
        if not chunk:
            return seen
        data += chunk


def console_frames(server, message, until, attempts=30):
    """Sends message on a console connection of its own and reads frames until until(). The
    server serves one console at a time and drops the next without a word; the one before
    (the console tool, a raw connection just closed) may not be let go yet, so a dropped
    connection is tried again."""
    for attempt in range(attempts):
        try:
            with socket.create_connection(("127.0.0.1", server.console_port), timeout=5) as sock:
                sock.sendall(message)
                got = frames(sock, until)
            if got:
                return got
        except (ConnectionResetError, BrokenPipeError):
            pass
        time.sleep(0.1)
    return []


class RawConsoleTest(unittest.TestCase):
    def test_record_version_follows_the_request_and_system_information_is_answered(self):
        with console_server() as server:
            ftp = login(server, "alice", "a1")
            try:
                wait_until(lambda: any(r["user"] == "alice" for r in sessions(server)))
                for version, record_version in ((5, 1), (6, 2)):
                    got = console_frames(server, request(version, PASSWORD, sessions=1),
                                         lambda kind, p: kind == 4 and
                                         struct.unpack_from("<i", p, 5)[0] == -1)
                    records = [p for kind, p in got if kind == 4]
                    self.assertEqual(len(records), 2, "one session and the end record")
                    self.assertEqual(records[0][0], record_version)
                    self.assertEqual(records[1][0], 1, "the end record stays version 1")
                got = console_frames(server, request(5, PASSWORD, system=1),
                                     lambda kind, p: kind == 3)
                self.assertEqual([kind for kind, _ in got], [2, 3])
                self.assertIn(os.uname().nodename.encode("utf-16-le"), got[0][1])
            finally:
                ftp.close()


class ConsoleFailuresTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = console_server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def assertFailsWith(self, result, text):
        status, out, err = result
        self.assertEqual(status, 1, out + err)
        self.assertEqual(len(err.splitlines()), 1, err)
        self.assertIn(text, err)

    def test_wrong_password_wrong_port_and_no_password(self):
        self.assertFailsWith(console(self.server, "status", password="guess"),
                             "without an answer: a wrong console password")
        self.assertFailsWith(console(self.server, "sessions", port=free_port()),
                             "refused or unreachable")
        # The FTP port answers, but not as a console.
        self.assertFailsWith(console(self.server, "sessions", port=self.server.port),
                             "not a console message")
        self.assertFailsWith(console(self.server, "status", password=None),
                             "no console password")
        # The server is not hurt: the next console is answered.
        self.assertEqual(console(self.server, "status")[0], 0)

    def test_the_password_comes_from_a_file_or_a_prompt_without_echo(self):
        with tempfile.NamedTemporaryFile("w") as f:
            f.write(PASSWORD + "\n")
            f.flush()
            self.assertEqual(console(self.server, "status", "--password-file", f.name,
                                     password=None)[0], 0)
        pid, fd = pty.fork()
        if pid == 0:
            os.environ.pop("QUENLOWFTP_CONSOLE_PASSWORD", None)
            os.execv(BINARY, [BINARY, "console", "--port", str(self.server.console_port),
                              "events"])
        seen = read_until(fd, b"Console password:")
        os.write(fd, PASSWORD.encode() + b"\n")
        seen += read_until(fd, None)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, seen)
        self.assertNotIn(PASSWORD.encode(), seen)
        self.assertIn(b"No events.", seen)

    def test_a_server_without_the_console_refuses(self):
        with Server() as plain:
            plain.console_port = free_port()
            self.assertFailsWith(console(plain, "status"), "SysConsoleState")


class RemoteConsoleTest(unittest.TestCase):
    """TLS: the server speaks plain text only to 127.0.0.1, so a console at 127.0.0.2 is
    remote to it."""

    @classmethod
    def setUpClass(cls):
        cls.server = console_server()
        passphrase = os.path.join(cls.server.dir, "pass")
        with open(passphrase, "w") as f:
            f.write("pp\n")
        made = subprocess.run([BINARY, "--config-dir", cls.server.config, "cert", "create",
                               "--name", "server", "--cn", "127.0.0.2", "--state", "Ohio",
                               "--passphrase-file", passphrase, "--enable"],
                              capture_output=True, text=True)
        assert made.returncode == 0, made.stderr
        cls.cert = os.path.join(cls.server.config, "server.crt")
        cls.server.restart()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_verified_tls_from_another_loopback_address(self):
        ftp = login(self.server, "alice", "a1")
        try:
            wait_until(lambda: any(r["user"] == "alice" for r in sessions(self.server)))
            status, out, err = console(self.server, "--host", "127.0.0.2", "--cafile", self.cert,
                                       "sessions", "--json")
            self.assertEqual(status, 0, err)
            self.assertEqual([r["user"] for r in json.loads(out)["sessions"]], ["alice"])
            status, _, err = console(self.server, "--host", "127.0.0.2", "--insecure", "status")
            self.assertEqual(status, 0, err)
        finally:
            ftp.close()

    def test_untrusted_or_misnamed_certificates_and_wrong_passwords_fail_cleanly(self):
        status, _, err = console(self.server, "--host", "127.0.0.2", "status")
        self.assertEqual(status, 1)
        self.assertIn("certificate is not trusted (self-signed certificate)", err)
        self.assertIn("--insecure", err)
        status, _, err = console(self.server, "--host", "127.0.0.3", "--cafile", self.cert,
                                 "status")
        self.assertEqual(status, 1)
        self.assertIn("made out to another name", err)
        self.assertEqual(console(self.server, "--host", "127.0.0.3", "--cafile", self.cert,
                                 "--tls-name", "127.0.0.2", "status")[0], 0)
        status, _, err = console(self.server, "--host", "127.0.0.2", "--cafile", self.cert,
                                 "status", password="guess")
        self.assertEqual(status, 1)
        self.assertIn("wrong console password", err)


def make_certificate(config, *args):
    """cert create in a config folder; the server's pass phrase is "pp"."""
    passphrase = os.path.join(config, "..", "pass")
    with open(passphrase, "w") as f:
        f.write("pp\n")
    if "--client" not in args:
        args += ("--state", "Ohio", "--passphrase-file", passphrase, "--enable")
    made = subprocess.run([BINARY, "--config-dir", config, "cert", "create", *args],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert made.returncode == 0, made.stderr
    return made.stdout


class ClientCertificateTest(unittest.TestCase):
    """SysConsoleAuthPeer: a remote console shows a certificate the server's own signed."""

    @classmethod
    def setUpClass(cls):
        cls.server = console_server(SysConsoleAuthPeer="true")
        config = cls.server.config
        make_certificate(config, "--name", "server", "--cn", "127.0.0.2")
        cls.said = make_certificate(config, "--client", "--name", "admin", "--cn", "admin")
        cls.cert = os.path.join(config, "server.crt")
        cls.pair = ["--cert", os.path.join(config, "admin.crt"),
                    "--key", os.path.join(config, "admin.key")]
        cls.server.restart()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def remote(self, *args, **kwargs):
        return console(self.server, "--host", "127.0.0.2", "--cafile", self.cert, *args,
                       **kwargs)

    def test_the_signed_certificate_opens_the_console_and_none_or_another_does_not(self):
        self.assertIn("console --cert " + self.pair[1], self.said)
        self.assertEqual(os.stat(self.pair[3]).st_mode & 0o777, 0o600)
        status, out, err = self.remote(*self.pair, "sessions", "--json")
        self.assertEqual(status, 0, err)
        self.assertEqual(json.loads(out)["sessions"], [])

        status, _, err = self.remote("status")
        self.assertEqual(status, 1)
        self.assertIn("asks for a client certificate (certificate required): give --cert and "
                      "--key", err)
        # A pair the server did not sign: another server's.
        other = tempfile.mkdtemp(prefix="qftp-other-", dir=self.server.dir)
        make_certificate(other, "--name", "server", "--cn", "127.0.0.2")
        make_certificate(other, "--client", "--name", "admin", "--cn", "admin")
        status, _, err = self.remote("--cert", os.path.join(other, "admin.crt"),
                                     "--key", os.path.join(other, "admin.key"), "status")
        self.assertEqual(status, 1)
        self.assertIn("did not accept the client certificate", err)
        self.assertIn("(unknown CA)", err)
        # The server's own key is encrypted; the console says so rather than a library error.
        status, _, err = self.remote("--cert", self.cert, "--key",
                                     os.path.join(self.server.config, "server.key"), "status")
        self.assertEqual(status, 1)
        self.assertIn("is encrypted", err)
        # The right pair still needs the password, and the server took no harm.
        status, _, err = self.remote(*self.pair, "status", password="guess")
        self.assertEqual(status, 1)
        self.assertIn("wrong console password", err)
        self.assertEqual(self.remote(*self.pair, "status")[0], 0)

    def test_a_console_on_this_machine_needs_no_certificate(self):
        status, _, err = console(self.server, "status")
        self.assertEqual(status, 0, err)


class WatchTest(unittest.TestCase):
    """The view runs in a pseudo-terminal under a shell that notes the terminal's modes
    before and after it."""

    def watch(self, server, work):
        pid, fd = pty.fork()
        if pid == 0:
            os.environ["QUENLOWFTP_CONSOLE_PASSWORD"] = PASSWORD
            os.environ["TERM"] = "xterm"
            # The shell outlives a Ctrl-C meant for the view (a trap, unlike an ignored
            # signal, is not passed on to the program).
            script = (f"trap : INT; stty -g > {work}/before; {BINARY} console --port "
                      f"{server.console_port} watch; echo $? > {work}/status; "
                      f"stty -g > {work}/after")
            os.execv("/bin/sh", ["/bin/sh", "-c", script])
        return pid, fd

    def finish(self, pid, fd, work):
        seen = read_until(fd, None, seconds=10)
        os.waitpid(pid, 0)
        with open(f"{work}/before") as before, open(f"{work}/after") as after:
            self.assertEqual(before.read(), after.read(), "the terminal's modes are restored")
        with open(f"{work}/status") as status:
            return int(status.read()), seen

    def test_watch_shows_the_sessions_and_q_restores_the_terminal(self):
        with console_server() as server, tempfile.TemporaryDirectory() as work:
            ftp = login(server, "alice", "a1")
            try:
                wait_until(lambda: any(r["user"] == "alice" for r in sessions(server)))
                pid, fd = self.watch(server, work)
                screen = read_until(fd, b"q quit")
                self.assertIn(b"PEER", screen)
                self.assertIn(b"alice", screen)
                self.assertIn(b"q quit", screen)
                # k and a row disconnect that session.
                os.write(fd, b"k0\r")
                self.assertIn(b"to go.", read_until(fd, b"to go."))
                with self.assertRaises((EOFError, OSError, ftplib.Error)):
                    wait_until(lambda: ftp.voidcmd("NOOP") and False, seconds=3)
                os.write(fd, b"q")
                status, _ = self.finish(pid, fd, work)
                self.assertEqual(status, 0)
            finally:
                ftp.close()

    def test_ctrl_c_and_a_server_that_goes_restore_the_terminal(self):
        with console_server() as server, tempfile.TemporaryDirectory() as work:
            pid, fd = self.watch(server, work)
            read_until(fd, b"q quit")
            os.write(fd, b"\x03")
            status, _ = self.finish(pid, fd, work)
            self.assertEqual(status, 0)
        with tempfile.TemporaryDirectory() as work:
            server = console_server()
            try:
                pid, fd = self.watch(server, work)
                read_until(fd, b"q quit")
            finally:
                server.stop()
            status, seen = self.finish(pid, fd, work)
            self.assertEqual(status, 1)
            self.assertIn(b"the server closed the console connection", seen)


if __name__ == "__main__":
    unittest.main()
