import ftplib
import io
import os
import re
import signal
import subprocess
import time
import unittest
import warnings

from server import BINARY, Server, free_port, wait_until

warnings.simplefilter("ignore", ResourceWarning)

ALICE_PASSWORD = "Pw-9z!q"
WRONG_PASSWORD = "Wr0ngPass#77"
GUEST_ID = "guest@secret.example"


def stop_and_read_stderr(server):
    server.process.send_signal(signal.SIGTERM)
    _, err = server.process.communicate(timeout=10)
    return err


def refused_login(server, name, password):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port)
    try:
        ftp.login(name, password)
    except ftplib.error_perm:
        pass
    ftp.quit()


class EventLog(unittest.TestCase):
    def test_info_shows_connections_logins_transfers_and_refusals_but_no_password(self):
        settings = {"LogInfoMsg": "true", "SysLoginAttempts": "10"}
        server = Server(settings, accounts=[("alice", ALICE_PASSWORD, 15)])
        try:
            refused_login(server, "alice", WRONG_PASSWORD)
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            ftp.login("alice", ALICE_PASSWORD)
            ftp.storbinary("STOR /pub/up.bin", io.BytesIO(b"u" * 3000))
            ftp.retrbinary("RETR /pub/up.bin", lambda data: None)
            ftp.quit()
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            ftp.login("anonymous", GUEST_ID)
            ftp.quit()
            err = stop_and_read_stderr(server)
        finally:
            server.stop()
        # With several session loops the line also names the loop the session went to.
        self.assertRegex(err, r"info: 127\.0\.0\.1: connected \(session 1, 1 connected now"
                              r"(, loop \d+)?\)")
        self.assertIn("info: 127.0.0.1 alice: logged in\n", err)
        self.assertRegex(err, r"info: 127\.0\.0\.1 alice: uploaded \S+/pub/up\.bin: 3000 bytes in "
                              r"\d+\.\d\d s, complete \(226\)")
        self.assertRegex(err, r"info: 127\.0\.0\.1 alice: downloaded \S+/pub/up\.bin: 3000 bytes")
        self.assertIn("warning: 127.0.0.1: login as alice refused: wrong name or password", err)
        self.assertIn("info: 127.0.0.1 anonymous: logged in", err)
        for secret in (ALICE_PASSWORD, WRONG_PASSWORD, GUEST_ID):
            self.assertNotIn(secret, err)

    def test_by_default_warnings_are_logged_without_info_and_log_state_false_logs_nothing(self):
        server = Server()
        try:
            refused_login(server, "nobody", WRONG_PASSWORD)
            err = stop_and_read_stderr(server)
        finally:
            server.stop()
        self.assertIn("warning: 127.0.0.1: login as nobody refused", err)
        self.assertNotIn("connected", err)
        self.assertNotIn("info:", err)

        server = Server({"LogState": "false", "LogInfoMsg": "true"})
        try:
            refused_login(server, "nobody", WRONG_PASSWORD)
            err = stop_and_read_stderr(server)
        finally:
            server.stop()
        # After the first line, read at start, only the notice of what anonymous users may
        # do, which is no log line.
        logged = [line for line in err.splitlines()
                  if not line.startswith(("quenlowftp: Anyone ", "quenlowftp: To let "))]
        self.assertEqual(logged, [])

    def test_refused_clients_and_the_console_kick_are_warnings(self):
        server = Server({"NetLoginsPerIp": "1", "SysIdleTimeout": "2"})
        try:
            first = ftplib.FTP()
            first.connect("127.0.0.1", server.port)
            second = ftplib.FTP()
            try:
                second.connect("127.0.0.1", server.port, timeout=2)
            except (EOFError, OSError):
                pass
            second.close()
            time.sleep(3.5)  # the idle time-out ends the first session
            err = stop_and_read_stderr(server)
        finally:
            server.stop()
        self.assertIn("warning: 127.0.0.1: refused: 1 sessions from this address already "
                      "(the limit is 1)", err)
        self.assertIn("warning: 127.0.0.1: idle for 2 seconds: closing the session", err)


class TransferLog(unittest.TestCase):
    def test_xferlog_lines_and_a_new_file_after_sighup(self):
        server = Server({"LogXferFile": "{dir}/xferlog"}, files={"pub/a.bin": b"a" * 1234})
        path = os.path.join(server.dir, "xferlog")
        try:
            def fetch():
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", server.port)
                ftp.login("anonymous", GUEST_ID)
                ftp.retrbinary("RETR /pub/a.bin", lambda data: None)
                ftp.quit()

            def lines(name):
                try:
                    with open(name) as f:
                        return f.read().splitlines()
                except FileNotFoundError:
                    return []

            fetch()
            self.assertTrue(wait_until(lambda: len(lines(path)) == 1))
            words = lines(path)[0].split()
            self.assertEqual(len(words), 18, words)
            self.assertTrue(re.fullmatch(r"\d{4}", words[4]))
            self.assertEqual(words[6:8], ["127.0.0.1", "1234"])
            self.assertTrue(words[8].endswith("/pub/a.bin"))
            self.assertEqual(words[9:], ["b", "_", "o", "a", "anonymous", "ftp", "0", "*", "c"])
            self.assertNotIn(GUEST_ID, lines(path)[0])
            self.assertEqual(os.stat(path).st_mode & 0o007, 0)

            os.rename(path, path + ".1")  # logrotate's "create" rotation
            server.process.send_signal(signal.SIGHUP)
            self.assertIn("Reloaded", server.stderr_line_with("Reloaded"))
            self.assertTrue(os.path.exists(path), "reopened at its name")
            fetch()
            self.assertTrue(wait_until(lambda: len(lines(path)) == 1))
            self.assertEqual(len(lines(path + ".1")), 1)
        finally:
            server.stop()


class Journal(unittest.TestCase):
    def test_under_the_journal_lines_carry_priorities(self):
        with Server() as probe:
            config, root = probe.config, probe.root
            port = free_port()
            probe.stop(keep=True)
            log = os.path.join(probe.dir, "journal")
            with open(log, "w") as out:
                st = os.fstat(out.fileno())
                env = dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}")
                args = [BINARY, "--headless", "--config-dir", config, "--set",
                        f"NetTcpPort={port}", "--set", f"SysRootFolder={root}/",
                        "--set", "SysCmdTimeout=0"]
                process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=out, env=env,
                                           text=True)
                try:
                    self.assertIn("listening", process.stdout.readline())
                    ftp = ftplib.FTP()
                    ftp.connect("127.0.0.1", port)
                    with self.assertRaises(ftplib.error_perm):
                        ftp.login("nobody", WRONG_PASSWORD)
                    ftp.close()
                finally:
                    process.send_signal(signal.SIGTERM)
                    process.communicate(timeout=10)
            with open(log) as f:
                text = f.read()
        self.assertIn("\n<4>127.0.0.1: login as nobody refused: wrong name or password\n", text)
        self.assertNotRegex(text, r"\d\d:\d\d:\d\d (warning|info):")


class ServiceManager(unittest.TestCase):
    def test_systemd_hears_ready_reloading_and_stopping(self):
        import socket
        with Server() as probe:
            config, root = probe.config, probe.root
            probe.stop(keep=True)
            path = os.path.join(probe.dir, "notify")
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            listener.bind(path)
            listener.settimeout(10)
            port = free_port()
            env = dict(os.environ, NOTIFY_SOCKET=path)
            args = [BINARY, "--headless", "--config-dir", config, "--set", f"NetTcpPort={port}",
                    "--set", f"SysRootFolder={root}/"]
            process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       env=env, text=True)
            try:
                self.assertIn("listening", process.stdout.readline())
                ready = listener.recv(4096).decode()
                self.assertIn("READY=1", ready.splitlines())
                self.assertIn(f"STATUS=Quenlow FTP listening on 0.0.0.0:{port}", ready)
                process.send_signal(signal.SIGHUP)
                reloading = listener.recv(4096).decode().splitlines()
                self.assertEqual(reloading[0], "RELOADING=1")
                self.assertTrue(reloading[1].startswith("MONOTONIC_USEC="))
                self.assertIn("READY=1", listener.recv(4096).decode().splitlines())
                process.send_signal(signal.SIGTERM)
                self.assertEqual(listener.recv(4096).decode(), "STOPPING=1")
                self.assertEqual(process.wait(timeout=10), 0)
            finally:
                if process.poll() is None:
                    process.kill()
                process.stdout.close()
                listener.close()


if __name__ == "__main__":
    unittest.main()
