import ftplib
import os
import socket
import time
import unittest
import warnings

from server import Raw, Server, wait_until

# Tests drop their sockets without ceremony; the server must cope with that.
warnings.simplefilter("ignore", ResourceWarning)

ALICE = [("alice", "secret", 15), ("Bob", "pw", 0), ("Bob", "other", 15)]


class GreetingAndLogin(unittest.TestCase):
    def test_greeting_with_and_without_a_system_name(self):
        with Server() as server:
            ftp = ftplib.FTP()
            self.assertEqual(ftp.connect("127.0.0.1", server.port),
                             "220 Quenlow FTP Pro 1.70 (WINCE) Ready.")
            ftp.close()
        with Server({"SysName": "Lab"}) as server:
            self.assertEqual(Raw(server.port).line(), "220 Lab Quenlow FTP Pro 1.70 (WINCE) Ready.")

    def test_anonymous_needs_an_at_sign(self):
        with Server() as server:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            with self.assertRaisesRegex(ftplib.error_perm, "530 Not logged in."):
                ftp.login("anonymous", "guest")
            self.assertEqual(ftp.login("anonymous", "guest@example"), "230 User logged in, proceed.")
            ftp.quit()

    def test_named_users_are_exact_and_a_wrong_password_may_be_retried(self):
        with Server({"SysLoginAttempts": "10"}, accounts=ALICE) as server:
            raw = Raw(server.port)
            raw.line()
            raw.send("PASS nothing")
            self.assertEqual(raw.line(), "503 Bad sequence of commands.")
            raw.send("USER Alice")
            self.assertEqual(raw.line(), "331 User name okay, need password.")
            raw.send("PASS secret")
            self.assertEqual(raw.line(), "530 Not logged in.")
            raw.send("USER alice")
            raw.line()
            raw.send("PASS wrong")
            self.assertEqual(raw.line(), "530 Not logged in.")
            raw.send("PASS secret")
            self.assertEqual(raw.line(), "230 User logged in, proceed.")
            raw.send("USER alice")
            self.assertEqual(raw.line(), "502 Command not implemented.")
            raw.close()
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            with self.assertRaises(ftplib.error_perm):
                ftp.login("Bob", "other")  # only the first Bob counts
            ftp.close()

    def test_anonymous_switched_off_and_secure_login_required(self):
        with Server({"SysAnonState": "false", "SysReqSSLLogin": "true"}, accounts=ALICE) as server:
            raw = Raw(server.port)
            raw.line()
            raw.send("USER anonymous")
            self.assertEqual(raw.line(), "500 User not allowed.")
            raw.send("USER alice")
            self.assertEqual(raw.line(), "534 Secure login required.")
            raw.send("USER Anonymous")
            self.assertEqual(raw.line(), "534 Secure login required.")
        with Server({"SysReqSSLLogin": "true"}) as server:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            ftp.login("anonymous", "a@b")  # never needs TLS
            ftp.quit()

    def test_failed_login_limit_closes_without_a_reply(self):
        with Server({"SysLoginAttempts": "2"}) as server:
            raw = Raw(server.port)
            raw.line()
            for _ in range(2):
                raw.send("USER anonymous")
                raw.line()
                raw.send("PASS none")
                self.assertEqual(raw.line(), "530 Not logged in.")
            raw.send("USER anonymous")
            self.assertTrue(raw.closed_without_reply())

    def test_welcome_file_lines_precede_the_login_reply(self):
        settings = {"SysWelcomeMsgState": "true", "SysWelcomeMsg": "{dir}/Welcome.txt"}
        with Server(settings, files={"Welcome.txt": b"Hello\r\nthere\r\n"}) as server:
            raw = Raw(server.port)
            raw.line()
            raw.send("USER anonymous")
            raw.line()
            raw.send("PASS a@b")
            self.assertEqual([raw.line() for _ in range(3)],
                             ["230-Hello", "230-there", "230 User logged in, proceed."])

    def test_rein_logs_out_and_quit_says_goodbye(self):
        with Server() as server:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            ftp.login()
            self.assertEqual(ftp.sendcmd("REIN"), "220 Service ready for new user.")
            with self.assertRaisesRegex(ftplib.error_perm, "530"):
                ftp.sendcmd("NOOP")
            ftp.login()
            self.assertEqual(ftp.quit(), "221 Goodbye.")


class RefusalsAndLimits(unittest.TestCase):
    def test_refused_and_unknown_commands_in_each_state(self):
        with Server() as server:
            raw = Raw(server.port)
            raw.line()
            raw.send("NOOP")
            self.assertEqual(raw.line(), "530 Not logged in.")
            raw.send("FROB")
            self.assertEqual(raw.line(), "530 Not logged in.")
            raw.send("USER anonymous")
            raw.line()
            raw.send("PASS a@b")
            raw.line()
            raw.send("FROB")
            self.assertEqual(raw.line(), "502 Command not implemented.")
            raw.send("no-op")
            self.assertEqual(raw.line(), "200 Command okay.")
            raw.send("ACCT x")
            self.assertEqual(raw.line(),
                             "202 Command not implemented, superfluous at this site.")
            raw.send("REIN now")
            self.assertEqual(raw.line(), "500 Syntax error, command unrecognized.")

    def test_pipelined_commands_are_answered_in_order(self):
        with Server() as server:
            sock = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            sock.sendall(b"USER anonymous\r\nPASS a@b\r\nNOOP\r\nFROB\r\nQUIT\r\n")
            data = b""
            while data.count(b"\r\n") < 6:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
            codes = [line[:3] for line in data.decode().split("\r\n") if line]
            self.assertEqual(codes, ["220", "331", "230", "200", "502", "221"])

    def test_command_delay_holds_the_next_line(self):
        with Server({"SysCmdTimeout": "2"}) as server:
            raw = Raw(server.port)
            raw.line()
            start = time.monotonic()
            raw.send("FROB")
            raw.send("NOOP")
            self.assertEqual(raw.line()[:3], "530")
            self.assertEqual(raw.line(), "530 Not logged in.")
            waited = time.monotonic() - start
            self.assertGreater(waited, 0.9)
            self.assertLess(waited, 4.0)

    def test_idle_timeout(self):
        with Server({"SysIdleTimeout": "2"}) as server:
            raw = Raw(server.port, timeout=10)
            raw.line()
            self.assertEqual(raw.line(), "421 Timeout (2 seconds): closing control connection.")
            self.assertTrue(raw.closed_without_reply())

    def test_pool_exhausted_gets_421(self):
        with Server({"NetMaxConnection": "1"}) as server:
            first = Raw(server.port)
            first.line()
            second = Raw(server.port)
            self.assertEqual(second.line(), "421 Service not available.")
        # A pool of none turns everyone away: the operator's pause.
        with Server({"NetMaxConnection": "0"}) as server:
            for _ in range(2):
                self.assertEqual(Raw(server.port).line(), "421 Service not available.")

    def test_logins_per_address_and_ip_rules_close_without_a_reply(self):
        with Server({"NetLoginsPerIp": "1"}) as server:
            first = Raw(server.port)
            first.line()
            second = Raw(server.port)
            self.assertTrue(second.closed_without_reply())
            first.send("NOOP")
            self.assertEqual(first.line(), "530 Not logged in.")
            # Counted per address: another address is admitted, and the first one again once
            # its session has ended.
            self.assertEqual(Raw(server.port, source="127.0.0.2").line()[:4], "220 ")
            first.send("QUIT")
            self.assertEqual(first.line()[:4], "221 ")
            first.sock.close()

            def greeted():
                try:
                    return Raw(server.port).line()[:4] == "220 "
                except (EOFError, OSError):
                    return False
            self.assertTrue(wait_until(greeted))
        with Server({"NetPolicy": "false"}) as server:
            self.assertTrue(Raw(server.port).closed_without_reply())

    def test_stopping_the_server_tells_logged_in_clients(self):
        server = Server()
        try:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port)
            ftp.login()
            raw = Raw(server.port)
            raw.line()
        finally:
            code = server.stop()
        self.assertEqual(code, 0)
        self.assertEqual(ftp.getline(), "421 Shutting system down.")
        self.assertEqual(raw.line(), "421 Shutting system down.")


if __name__ == "__main__":
    unittest.main()
