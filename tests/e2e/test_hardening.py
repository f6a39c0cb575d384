"""Faults from outside: telnet bytes, over-long lines, pipelined errors, full disks, lost
clients and connection bursts."""

import ftplib
import hashlib
import io
import os
import selectors
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import zlib
import unittest
import warnings

from server import Raw, Server, anonymous_ftp, login_when_free, make_certificate

warnings.simplefilter("ignore", ResourceWarning)

INPUT_BUFFER = 4096  # the control stream's input buffer


def read_exactly(sock, count, timeout=5):
    sock.settimeout(timeout)
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def login(raw):
    raw.line()
    raw.send("USER anonymous")
    raw.line()
    raw.send("PASS t@e")
    assert raw.line().startswith("230")


class WireFaults(unittest.TestCase):
    def test_telnet_option_replies_are_three_protocol_bytes(self):
        with Server() as server:
            sock = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            greeting = b""
            while not greeting.endswith(b"\r\n"):
                greeting += sock.recv(4096)
            # DO and DONT are answered WONT, WILL and WONT are answered DONT.
            sock.sendall(bytes([255, 253, 1, 255, 254, 2, 255, 251, 3, 255, 252, 4]))
            self.assertEqual(read_exactly(sock, 12),
                             bytes([255, 252, 1, 255, 252, 2, 255, 254, 3, 255, 254, 4]))
            # A request split over two writes, inside a command line.
            sock.sendall(b"NO" + bytes([255]))
            time.sleep(0.2)
            sock.sendall(bytes([253, 24]) + b"OP\r\n")
            self.assertEqual(read_exactly(sock, 3), bytes([255, 252, 24]))
            self.assertEqual(read_exactly(sock, 20), b"530 Not logged in.\r\n")
            sock.close()

    def test_overlong_lines_are_500_and_no_tail_runs(self):
        with Server() as server:
            victim = os.path.join(server.root, "x")
            with open(victim, "wb") as f:
                f.write(b"keep")
            raw = Raw(server.port)
            raw.line()
            raw.send("USER " + "u" * 5000)
            self.assertEqual(raw.line(), "500 Syntax error, command unrecognized.")
            raw.send("USER anonymous")
            raw.line()
            raw.send("PASS t@e")
            self.assertTrue(raw.line().startswith("230"))
            # The DELE lands on every position around the point where the buffer fills.
            replies = []
            for filler in range(INPUT_BUFFER - 16, INPUT_BUFFER + 9):
                raw.send("NOOP " + "a" * filler + "DELE /pub/x")
                replies.append(raw.line())
            raw.send("NOOP")
            self.assertEqual(raw.line(), "200 Command okay.")
            self.assertTrue(os.path.exists(victim))
            self.assertEqual(set(replies), {"500 Syntax error, command unrecognized."})
            # A long line that ends exactly with the buffer is still a whole line.
            raw.send("NOOP " + "a" * (INPUT_BUFFER - 7))
            self.assertEqual(raw.line(), "200 Command okay.")

    def test_no_command_delay_means_pipelined_errors_are_answered_at_once(self):
        with Server() as server:
            sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            start = time.monotonic()
            sock.sendall(b"USER anonymous\r\nPASS t@e\r\n" + b"SIZE nofile\r\n" * 50)
            data = b""
            while data.count(b"\r\n") < 53:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
            elapsed = time.monotonic() - start
            codes = [line[:3] for line in data.decode().split("\r\n") if line]
            self.assertEqual(codes, ["220", "331", "230"] + ["550"] * 50)
            self.assertLess(elapsed, 2.0)
            sock.close()


class PassiveUnderLoad(unittest.TestCase):
    def test_busy_passive_ports_are_never_refused_or_failed(self):
        files, sessions, rounds = 20, 16, 200
        payload = os.urandom(16 * 1024)
        with Server({"NetMaxConnection": "64", "NetLoginsPerIp": "64"}) as server:
            for i in range(files):
                with open(os.path.join(server.root, f"f{i}"), "wb") as f:
                    f.write(payload)
            failures, unasked = [], []

            def client(index):
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", server.port, timeout=20)
                ftp.login("anonymous", "t@e")
                ftp.cwd("/pub")
                ftp.voidcmd("TYPE I")
                extended = index % 2 == 1  # half the sessions EPSV, half PASV
                for n in range(rounds):
                    try:
                        if extended:
                            host, port = ftplib.parse229(ftp.sendcmd("EPSV"),
                                                         ftp.sock.getpeername())
                        else:
                            host, port = ftplib.parse227(ftp.sendcmd("PASV"))
                        data = socket.create_connection(("127.0.0.1", port), timeout=10)
                        if n % 4 == 3:
                            ftp.sendcmd(f"STOR up{index}")
                            data.sendall(payload)
                            data.close()
                        else:
                            ftp.sendcmd(f"RETR f{n % files}")
                            got = b""
                            while chunk := data.recv(65536):
                                got += chunk
                            data.close()
                            if got != payload:
                                failures.append(f"{index}/{n}: {len(got)} bytes")
                        reply = ftp.getresp()
                        if not reply.startswith("226"):
                            unasked.append(f"{index}/{n}: {reply}")
                    except (OSError, ftplib.Error) as error:
                        failures.append(f"{index}/{n}: {error!r}")
                        return
                ftp.quit()

            threads = [threading.Thread(target=client, args=(i,)) for i in range(sessions)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            self.assertEqual(failures, [])
            self.assertEqual(unasked, [])


class CutShortUploads(unittest.TestCase):
    def test_a_mode_z_upload_without_its_stream_end_is_not_complete(self):
        with Server({"SysDeflateState": "true"}) as server:
            ftp = anonymous_ftp(server)
            ftp.voidcmd("TYPE I")
            ftp.voidcmd("MODE Z")
            data = os.urandom(200_000)
            for whole in (False, True):
                packer = zlib.compressobj()
                body = packer.compress(data) + (packer.flush() if whole else b"")
                conn = ftp.transfercmd(f"STOR /pub/z{whole}")
                conn.sendall(body)
                conn.close()  # an orderly close either way
                if whole:
                    self.assertEqual(ftp.voidresp(), "226 Closing data connection.")
                    with open(os.path.join(server.root, "zTrue"), "rb") as f:
                        self.assertEqual(f.read(), data)
                else:
                    with self.assertRaises(ftplib.error_temp) as cut:
                        ftp.voidresp()
                    self.assertEqual(str(cut.exception),
                                     "426 Connection closed; transfer aborted.")
            ftp.quit()


class TlsEndings(unittest.TestCase):
    def test_a_reset_after_the_close_notification_ends_a_complete_upload(self):
        folder = tempfile.mkdtemp(prefix="qftp-cert-")
        cert, key = make_certificate(folder)
        context = ssl.create_default_context(cafile=cert)
        context.check_hostname = False
        try:
            with Server({"SSLState": "true", "SSLCertFile": cert, "SSLKeyFile": key}) as server:
                ftp = ftplib.FTP_TLS(context=context)
                ftp.connect("127.0.0.1", server.port, timeout=10)
                ftp.login("anonymous", "t@e")
                ftp.prot_p()
                ftp.voidcmd("TYPE I")
                reset = struct.pack("ii", 1, 0)
                for ordered in (True, False):
                    data = os.urandom(300_000)
                    conn = ftp.transfercmd(f"STOR /pub/{ordered}")
                    conn.sendall(data)
                    if ordered:  # both close notifications, then a reset (as Go's TLS does)
                        conn = conn.unwrap()
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, reset)
                    conn.close()
                    if ordered:
                        self.assertEqual(ftp.getresp(), "226 Closing data connection.")
                        with open(os.path.join(server.root, "True"), "rb") as f:
                            self.assertEqual(f.read(), data)
                    else:  # a reset alone may have cut the upload short
                        with self.assertRaises(ftplib.error_temp) as failed:
                            ftp.getresp()
                        self.assertEqual(str(failed.exception),
                                         "426 Connection closed; transfer aborted.")
                ftp.quit()

                # An upload of whole 32 KiB steps ends with the client's close notification
                # waiting to be answered; unanswered, the client's unwrap would hang.
                ftp = ftplib.FTP_TLS(context=context, timeout=5)
                ftp.connect("127.0.0.1", server.port)
                ftp.login("anonymous", "t@e")
                ftp.prot_p()
                for size in (32768, 65535, 65536, 98304, 131072):
                    self.assertEqual(ftp.storbinary(f"STOR /pub/s{size}",
                                                    io.BytesIO(os.urandom(size))),
                                     "226 Closing data connection.", size)
                    self.assertEqual(os.path.getsize(os.path.join(server.root, f"s{size}")),
                                     size)
                ftp.quit()
        finally:
            shutil.rmtree(folder, ignore_errors=True)


class Bursts(unittest.TestCase):
    def test_a_burst_beyond_every_limit_is_answered_and_the_server_goes_on(self):
        attempts = 600  # more than the backlog of old and than the socket engine's 512 records
        with Server({"NetMaxConnection": "64", "NetLoginsPerIp": "64"}) as server:
            selector = selectors.DefaultSelector()
            sockets = []
            for _ in range(attempts):
                sock = socket.socket()
                sock.setblocking(False)
                sock.connect_ex(("127.0.0.1", server.port))
                selector.register(sock, selectors.EVENT_READ)
                sockets.append(sock)
            answers = {}
            deadline = time.monotonic() + 30
            while len(answers) < attempts and time.monotonic() < deadline:
                for key, _ in selector.select(timeout=1):
                    sock = key.fileobj
                    try:
                        data = sock.recv(4096)
                    except ConnectionError:
                        data = b""
                    answers[sock] = data[:3].decode() or "closed"
                    selector.unregister(sock)
                    if data[:3] != b"220":
                        sock.close()
            counts = {}
            for answer in answers.values():
                counts[answer] = counts.get(answer, 0) + 1
            self.assertEqual(len(answers), attempts, f"unanswered: {attempts - len(answers)}")
            self.assertEqual(counts.get("220"), 64, counts)
            self.assertLessEqual(set(counts), {"220", "421", "closed"})
            for sock in sockets:
                sock.close()
            selector.close()
            ftp = login_when_free(server)
            self.assertEqual(ftp.voidcmd("NOOP"), "200 Command okay.")
            ftp.quit()
            self.assertIsNone(server.process.poll())


def raw_passive(raw):
    raw.send("PASV")
    reply = raw.line()
    assert reply.startswith("227"), reply
    numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
    return socket.create_connection(("127.0.0.1", int(numbers[4]) * 256 + int(numbers[5])))


class AbortEdges(unittest.TestCase):
    """One reply per command, however an ABOR or a lost data connection meets a transfer."""

    def test_abor_after_the_last_byte_answers_the_transfer_and_the_abor(self):
        with Server() as server:
            with open(os.path.join(server.root, "big"), "wb") as f:
                f.write(os.urandom(200000))
            raw = Raw(server.port)
            login(raw)
            raw.send("TYPE I")
            raw.line()
            data = raw_passive(raw)
            raw.send("RETR /pub/big")
            self.assertTrue(raw.line().startswith("125"))
            read_exactly(data, 65536)
            time.sleep(0.1)  # the server has sent everything and waits for our close
            raw.send("ABOR")
            time.sleep(0.1)  # ABOR first, then our close
            data.close()
            raw.send("NOOP")
            self.assertEqual([raw.line()[:3] for _ in range(3)], ["426", "226", "200"])

    def test_a_data_connection_lost_before_it_is_taken_is_one_425(self):
        with Server() as server:
            raw = Raw(server.port)
            login(raw)
            for attempt in range(12):
                data = raw_passive(raw)
                data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                data.close()  # a reset, often before the server has taken the connection
                time.sleep(0.05)
                raw.send(f"STOR /pub/lost{attempt}")
                first = raw.line()[:3]
                if first == "125":
                    self.assertEqual(raw.line()[:3], "426")
                else:
                    self.assertEqual(first, "425")
                raw.send("NOOP")
                self.assertEqual(raw.line()[:3], "200", f"attempt {attempt}")


class VanishingClients(unittest.TestCase):
    def test_clients_gone_mid_transfer_give_back_their_slots_and_descriptors(self):
        with Server({"NetMaxConnection": "2", "SysSessionLoops": "2"}) as server:
            with open(os.path.join(server.root, "big.bin"), "wb") as f:
                f.write(os.urandom(32 * 1024 * 1024))
            fds = f"/proc/{server.process.pid}/fd"
            # Each loop keeps a pipe for uploads from its first one on: one upload on each.
            first = [login_when_free(server), login_when_free(server)]
            for n, ftp in enumerate(first):
                ftp.storbinary(f"STOR /pub/first{n}", io.BytesIO(b"x" * 1000))
            for ftp in first:
                ftp.quit()
            time.sleep(1.5)
            baseline = len(os.listdir(fds))
            reset = struct.pack("ii", 1, 0)
            for command in ("RETR /pub/big.bin", "STOR /pub/up"):
                clients = []
                for n in range(2):
                    ftp = login_when_free(server)
                    ftp.voidcmd("TYPE I")
                    conn = ftp.transfercmd(command + (str(n) if command[0] == "S" else ""))
                    if command.startswith("RETR"):
                        conn.recv(65536)
                    else:
                        conn.sendall(os.urandom(1024 * 1024))
                    clients.append((ftp, conn))
                for ftp, conn in clients:  # gone without a word: resets on both connections
                    for sock in (conn, ftp.sock):
                        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, reset)
                        sock.close()
                    ftp.file.close()  # the control socket's last reference
                # Both slots come back: two clients log in again.
                again = [login_when_free(server), login_when_free(server)]
                self.assertEqual([ftp.voidcmd("NOOP") for ftp in again], ["200 Command okay."] * 2)
                for ftp in again:
                    ftp.quit()
            deadline = time.monotonic() + 10
            while len(os.listdir(fds)) != baseline and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertEqual(len(os.listdir(fds)), baseline)


class SlotsComeBackAtOnce(unittest.TestCase):
    def test_short_sessions_in_a_row_are_never_turned_away(self):
        """Clients that connect, fetch one file and leave, faster than one a second each: none
        may meet "421". A client that reconnects at once may find its last session still
        closing (the server has yet to read its end), so the pool holds two per client."""
        payload = os.urandom(16 * 1024)
        with Server({"NetMaxConnection": "4", "NetLoginsPerIp": "4"}) as server:
            with open(os.path.join(server.root, "f.bin"), "wb") as f:
                f.write(payload)
            refused, done = [], []

            def cycles(index, count):
                for n in range(count):
                    try:
                        ftp = anonymous_ftp(server)
                    except ftplib.error_temp as reply:
                        refused.append(str(reply))
                        continue
                    got = io.BytesIO()
                    ftp.retrbinary("RETR /pub/f.bin", got.write)
                    self.assertEqual(got.getvalue(), payload)
                    if (index + n) % 2:
                        ftp.quit()
                    else:
                        ftp.close()  # gone without QUIT
                    done.append(n)

            started = time.monotonic()
            threads = [threading.Thread(target=cycles, args=(i, 40)) for i in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            self.assertEqual(refused, [])
            self.assertEqual(len(done), 80)
            self.assertLess(time.monotonic() - started, 20)
            raw = Raw(server.port)
            self.assertEqual(raw.line()[:3], "220")


def stderr_after_stop(server):
    server.process.send_signal(15)
    _, err = server.process.communicate(timeout=10)
    return err


class StoredValues(unittest.TestCase):
    def test_out_of_range_values_are_clamped_and_said(self):
        for given, used in (("100000", "10000 (the highest)"), ("-5", "0 (the lowest)")):
            started = time.monotonic()
            server = Server({"NetMaxConnection": given, "SysCwdMsgState": "maybe"})
            try:
                self.assertLess(time.monotonic() - started, 5)
                if given == "-5":  # no session at all: everyone is refused
                    self.assertEqual(Raw(server.port).line(), "421 Service not available.")
                else:
                    ftp = anonymous_ftp(server)
                    self.assertEqual(ftp.voidcmd("NOOP"), "200 Command okay.")
                    ftp.close()
                err = stderr_after_stop(server)
                self.assertIn(f'warning: --set NetMaxConnection="{given}" is out of range; '
                              f"{used} is used", err)
                self.assertIn('warning: --set SysCwdMsgState="maybe" is neither true nor false',
                              err)
            finally:
                server.stop()

    def test_misspelt_names_are_said_once_and_not_used(self):
        server = Server({"SysIdleTimout": "5"})
        try:
            with open(os.path.join(server.config, "registry.reg"), "w") as f:
                f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Orv\\Quenlow FTP\\'
                        'Settings]\n"NetTcpPrt"="2121"\n')
            os.kill(server.process.pid, signal.SIGHUP)  # a reload does not say them again
            ftp = anonymous_ftp(server)
            self.assertEqual(ftp.voidcmd("NOOP"), "200 Command okay.")
            ftp.close()
            first = stderr_after_stop(server)
            server.start()
            second = stderr_after_stop(server)
            unknown_set = ('--set SysIdleTimout="5" is ignored: there is no setting named '
                           '"SysIdleTimout"; did you mean SysIdleTimeout?')
            unknown_stored = ('registry.reg: "NetTcpPrt"="2121" is not read: there is no '
                              'setting named "NetTcpPrt"; did you mean NetTcpPort?')
            self.assertEqual(first.count(unknown_set), 1, first)
            self.assertIn("Reloaded", first)
            self.assertNotIn(unknown_stored, first)
            self.assertEqual(second.count(unknown_set), 1, second)
            self.assertEqual(second.count(unknown_stored), 1, second)
        finally:
            server.stop()

    def test_a_cut_password_file_serves_its_whole_records_and_is_left_alone(self):
        server = Server(accounts=[("alice", "a1", 15), ("bob", "b2", 15), ("carol", "c3", 15)])
        try:
            path = os.path.join(server.config, "users.dat")
            with open(path, "rb") as f:
                whole = f.read()
            server.stop(keep=True)
            with open(path, "wb") as f:
                f.write(whole[:8 + 2 * 88 + 40])
            server.start()
            for user, password in (("alice", "a1"), ("bob", "b2")):
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", server.port, timeout=10)
                ftp.login(user, password)
                ftp.close()
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=10)
            with self.assertRaises(ftplib.error_perm):
                ftp.login("carol", "c3")
            ftp.close()
            err = stderr_after_stop(server)
            self.assertIn(f"warning: password file {path}: it says it holds 3 accounts but has "
                          "only 2 whole records and 40 bytes of a cut-off one", err)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), whole[:8 + 2 * 88 + 40])
        finally:
            server.stop()


class DiskFull(unittest.TestCase):
    """A small tmpfs inside the shared folder stands for a full disk."""

    def setUp(self):
        self.server = Server()
        self.full = os.path.join(self.server.root, "full")
        os.makedirs(self.full)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.full],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.server.stop()
            self.skipTest("cannot mount a tmpfs here: " + mounted.stderr.decode().strip())
        self.ftp = ftplib.FTP()
        self.ftp.connect("127.0.0.1", self.server.port, timeout=20)
        self.ftp.login("anonymous", "t@e")
        self.ftp.cwd("/pub/full")

    def tearDown(self):
        try:
            self.ftp.close()
        finally:
            self.server.stop(keep=True)
            subprocess.run(["umount", self.full], capture_output=True)
            self.server.stop()

    def put(self, name, data):
        with open(os.path.join(self.full, name), "wb") as f:
            f.write(data)

    def stored(self, name):
        with open(os.path.join(self.full, name), "rb") as f:
            return f.read()

    def store(self, name, data, rest=None):
        return self.ftp.storbinary("STOR " + name, io.BytesIO(data), rest=rest)

    def test_a_full_disk_is_452_and_what_was_written_can_be_resumed(self):
        self.put("filler", b"f" * 600_000)
        data = os.urandom(800_000)
        with self.assertRaises(ftplib.error_temp) as refused:
            self.store("new.bin", data)
        self.assertEqual(str(refused.exception),
                         "452 Requested action not taken. Insufficient storage space in system.")
        self.assertEqual(self.ftp.voidcmd("NOOP"), "200 Command okay.")
        kept = self.stored("new.bin")
        self.assertLess(len(kept), len(data))
        self.assertEqual(kept, data[:len(kept)])
        os.remove(os.path.join(self.full, "filler"))
        self.assertEqual(self.store("new.bin", data[len(kept):], rest=len(kept)),
                         "226 Closing data connection.")
        self.assertEqual(self.stored("new.bin"), data)

    def test_a_failed_or_aborted_overwrite_keeps_the_original(self):
        original = os.urandom(200_000)
        self.put("keep.bin", original)
        self.put("filler", b"f" * 700_000)
        digest = hashlib.sha256(original).digest()
        with self.assertRaises(ftplib.error_temp):
            self.store("keep.bin", os.urandom(300_000))
        self.assertEqual(hashlib.sha256(self.stored("keep.bin")).digest(), digest)
        self.assertEqual(sorted(os.listdir(self.full)), ["filler", "keep.bin"])
        os.remove(os.path.join(self.full, "filler"))

        # Cut off by ABOR half-way: still the original.
        conn = self.ftp.transfercmd("STOR keep.bin")
        conn.sendall(os.urandom(100_000))
        time.sleep(0.2)
        self.ftp.putcmd("ABOR")
        self.assertEqual([self.ftp.getline()[:3], self.ftp.getline()[:3]], ["426", "226"])
        conn.close()
        self.assertEqual(hashlib.sha256(self.stored("keep.bin")).digest(), digest)
        self.assertEqual(os.listdir(self.full), ["keep.bin"])

        # Complete: replaced, with the original's mode.
        os.chmod(os.path.join(self.full, "keep.bin"), 0o640)
        new = os.urandom(300_000)
        self.assertEqual(self.store("keep.bin", new), "226 Closing data connection.")
        self.assertEqual(self.stored("keep.bin"), new)
        self.assertEqual(os.stat(os.path.join(self.full, "keep.bin")).st_mode & 0o777, 0o640)
        self.assertEqual(os.listdir(self.full), ["keep.bin"])


if __name__ == "__main__":
    unittest.main()
