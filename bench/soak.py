#!/usr/bin/env python3
"""Soak (not a test): mixed FTP load with injected faults, every downloaded byte checked.

Many clients do mixed work against the server for minutes while a fault injector kills
sessions, holds idle connections, sends garbage and fills the disk.

Every byte downloaded is compared with what was uploaded. The server's open descriptors and
resident memory are read before the load, at their peak and after the load, and the end values
are compared with the start. Needs root: the shared folder is a tmpfs mounted for the run.

    python3 bench/soak.py                 # 10 minutes, 32 clients
    python3 bench/soak.py --minutes 60    # the long run

Exit status 0 when no byte mismatched, the server stayed alive and its descriptors came back
to their start value; 1 otherwise (130 when interrupted).
"""

import _socket
import argparse
import collections
import errno
import ftplib
import hashlib
import io
import os
import random
import re
import shutil
import signal
import socket
import ssl
import string
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BINARY = os.path.join(HERE, "..", "build", "quenlowftp")
HOST = "127.0.0.1"
TIMEOUT = 30
MiB = 1 << 20
KiB = 1 << 10
IAC, DONT, DO, WONT, WILL, SB, SE, IP, DM = 255, 254, 253, 252, 251, 250, 240, 244, 242
LINGER_RESET = struct.pack("ii", 1, 0)
CLOSE_NOTIFY_WAIT = 5.0  # seconds a TLS data connection waits for the server's close_notify
FILL_GRACE = 3.0  # seconds after a fill during which a failed upload is still put down to it


class Refused(Exception):
    """The server answered a command with a reply we did not ask for (usually 4xx or 5xx)."""

    def __init__(self, op, reply):
        super().__init__(f"{op}: {reply}")
        self.op = op
        self.reply = reply
        self.code = reply[:3]


class SessionClosed(Exception):
    """421: the server is closing the control connection."""


class Killed(Exception):
    """The injector ended this session."""


class DataKilled(Exception):
    """The injector reset this data connection."""


def reset_close(sock):
    """Closes a socket so that the peer sees a reset rather than an orderly end."""
    if sock is None:
        return
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_RESET)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


def wake(sock):
    """Wakes whoever blocks reading this socket, from another thread, without touching its TLS
    state (SSLSocket.shutdown would drop the TLS object under the reader's feet)."""
    try:
        _socket.socket.shutdown(sock, socket.SHUT_RD)
    except (OSError, ValueError, TypeError):
        pass


def sha(data):
    return hashlib.sha256(data).hexdigest()[:16]


def first_difference(a, b):
    n = min(len(a), len(b))
    step = 65536
    for start in range(0, n, step):
        if a[start:start + step] != b[start:start + step]:
            for i in range(start, min(start + step, n)):
                if a[i] != b[i]:
                    return i
    return n if len(a) != len(b) else -1


def human(n):
    for unit, size in (("GiB", 1 << 30), ("MiB", MiB), ("KiB", KiB)):
        if abs(n) >= size:
            return f"{n / size:.1f} {unit}"
    return f"{n} B"


def process_snapshot(pid):
    """(open descriptors, VmRSS in kB) of a process, or None when it is gone."""
    try:
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        with open(f"/proc/{pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
        return fds, rss
    except (OSError, StopIteration):
        return None


def memory_breakdown(pid):
    """Resident anonymous kB of a process by kind of mapping, from /proc/PID/smaps."""
    kinds = {}
    kind = None
    try:
        with open(f"/proc/{pid}/smaps") as f:
            for line in f:
                head = line.split()
                if not head:
                    continue
                if "-" in head[0] and not head[0].endswith(":"):
                    name = head[5] if len(head) > 5 else ""
                    perms = head[1]
                    if name == "[heap]":
                        kind = "heap"
                    elif name.startswith("[stack"):
                        kind = "main stack"
                    elif name.startswith("["):
                        kind = "other"
                    elif name:
                        kind = "file " + os.path.basename(name)
                    elif perms.startswith("---"):
                        kind = "guard"
                    else:
                        kind = "anonymous"
                elif head[0] == "Anonymous:" and kind is not None:
                    kinds[kind] = kinds.get(kind, 0) + int(head[1])
    except OSError:
        return {}
    return {k: v for k, v in kinds.items() if v}


def allocator_report(pid, stderr_path):
    """glibc's malloc_stats() of the running server, asked through gdb; '' without gdb."""
    gdb = shutil.which("gdb")
    if not gdb:
        return ""
    before = os.path.getsize(stderr_path) if os.path.exists(stderr_path) else 0
    subprocess.run([gdb, "-p", str(pid), "-batch", "-nx", "-ex", "call (void)malloc_stats()"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    with open(stderr_path, "rb") as f:
        f.seek(before)
        return f.read().decode(errors="replace")


def memory_report(pid, stderr_path, with_allocator):
    parts = memory_breakdown(pid)
    lines = ["resident anonymous kB by mapping: " + ", ".join(
        f"{k} {v}" for k, v in sorted(parts.items(), key=lambda kv: -kv[1]))]
    if with_allocator:
        text = allocator_report(pid, stderr_path).splitlines()
        arenas = sum(1 for l in text if l.startswith("Arena"))
        lines.append(f"allocator ({arenas} arenas), malloc_stats:")
        lines += ["  " + l for l in text if l.strip()]
    return "\n".join(lines)


class Entry:
    """What a client knows about one of its files.

    complete: the server holds exactly `data`.
    partial:  if the file exists at all, it holds a prefix of `data`.
    dirty:    an in-place rewrite was interrupted; the content is not known, only DELE it.
    """
    __slots__ = ("data", "state", "settle")

    def __init__(self, data, state, settle=0.0):
        self.data = data
        self.state = state
        self.settle = settle


class Soak:
    """Shared state and counters of a run."""

    def __init__(self, options, share):
        self.options = options
        self.share = share
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.started = time.monotonic()
        self.stopped = None
        self.done = collections.Counter()
        self.codes = collections.Counter()
        self.odd = collections.Counter()
        self.odd_examples = {}
        self.failures = collections.Counter()
        self.failure_examples = []
        self.reconnects = collections.Counter()
        self.injected = collections.Counter()
        self.tls_stalls = collections.Counter()  # (upload/download, bytes) -> count
        self.garbage = collections.Counter()
        self.mismatches = []
        self.bytes_verified = 0
        self.bytes_uploaded = 0
        self.used = 0
        self.budget = int(options.tmpfs_mb * MiB * 0.6)
        self.fill_active = False
        self.fill_epoch = 0
        self.fill_ended = -1e9
        self.last_success = time.monotonic()
        self.port = 0
        self.tls_context = None
        self.password = ""
        self.clients = []
        rng = random.Random(options.seed)
        words = ["".join(rng.choice(string.ascii_lowercase)
                         for _ in range(rng.randint(2, 9))).encode() for _ in range(300)]
        self.lines = []
        for _ in range(512):
            line = b" ".join(rng.choice(words) for _ in range(12))
            self.lines.append((line + b" " * 64)[:63] + b"\n")

    def elapsed(self):
        return time.monotonic() - self.started

    def load_seconds(self):
        return (self.stopped or time.monotonic()) - self.started

    # ---- counters ----

    def success(self, kind, verified=0, uploaded=0):
        with self.lock:
            self.done[kind] += 1
            self.bytes_verified += verified
            self.bytes_uploaded += uploaded
            self.last_success = time.monotonic()

    def verified(self, n):
        with self.lock:
            self.bytes_verified += n

    def bump(self, counter, key, n=1):
        with self.lock:
            counter[key] += n

    def code(self, op, code, context=""):
        with self.lock:
            self.codes[f"{op} {code}" + (f" ({context})" if context else "")] += 1

    def strange(self, what, example):
        with self.lock:
            self.odd[what] += 1
            self.odd_examples.setdefault(what, example)
        log(f"odd: {what}: {example}")

    def failure(self, client, op, error):
        kind = type(error).__name__
        text = str(error).strip() or kind
        key = f"{kind}: {text[:60]}"
        with self.lock:
            self.failures[key] += 1
            if len(self.failure_examples) < 12:
                self.failure_examples.append(
                    f"t={self.elapsed():.0f}s client {client.index} ({client.describe()}) "
                    f"during {op}: {kind}: {text[:200]}")

    def mismatch(self, client, what, name, expected, got, detail=""):
        info = {
            "t": f"{self.elapsed():.1f}s", "client": client.index, "session": client.describe(),
            "op": client.doing[0], "what": what, "file": f"{client.folder}/{name}",
            "expected": f"{len(expected)} bytes sha256 {sha(expected)}",
            "got": f"{len(got)} bytes sha256 {sha(got)}",
            "first difference at": first_difference(expected, got), "detail": detail,
        }
        with self.lock:
            self.mismatches.append(info)
        log("MISMATCH: " + "; ".join(f"{k} {v}" for k, v in info.items()))

    # ---- disk space ----

    def account(self, delta):
        with self.lock:
            self.used += delta

    def room_for(self, size):
        with self.lock:
            return self.used + size <= self.budget

    def fill_state(self):
        with self.lock:
            return self.fill_active, self.fill_epoch

    def during_fill(self, at_start):
        """True if a fill was under way at the start of an operation or since."""
        active, epoch = self.fill_state()
        return (active or at_start[0] or epoch != at_start[1] or
                time.monotonic() - self.fill_ended < FILL_GRACE)


LOG_LOCK = threading.Lock()


def log(text):
    with LOG_LOCK:
        print(text, file=sys.stderr, flush=True)


class Client(threading.Thread):
    """One client in its own folder, doing mixed work in a loop and reconnecting on failure."""

    def __init__(self, soak, index):
        super().__init__(name=f"client-{index}", daemon=True)
        self.soak = soak
        self.index = index
        self.rng = random.Random(soak.options.seed * 1009 + index)
        self.tls = soak.tls_context is not None and index % 3 == 0
        self.named = index % 2 == 0
        self.folder = f"/pub/c{index:02}"
        self.files = {}
        self.loose = set()  # folder names whose existence is not known
        self.counter = 0
        self.lock = threading.Lock()
        self.ftp = None
        self.data = None
        self.streaming = False  # the data connection is set up and bytes flow
        self.passive = ""
        self.last_store = ""
        self.kill = None
        self.mode = "S"
        self.zsession = False
        self.doing = ("start", time.monotonic())
        self.sessions = 0

    def describe(self):
        return ("TLS" if self.tls else "plain") + (", MODE Z" if self.zsession else "") + \
            (", named user" if self.named else ", anonymous")

    # ---- the loop ----

    def run(self):
        delay = 0
        while not self.soak.stop.is_set():
            if delay:
                self.soak.stop.wait(delay)
                delay = 0
                continue
            op = "connect"
            try:
                if self.ftp is None:
                    self.connect()
                op = self.doing[0]
                self.step()
            except Exception as error:  # every failure ends the session; the loop goes on
                op = self.doing[0]
                with self.lock:
                    kill = self.kill
                self.drop_session()
                settle = time.monotonic() + 5
                for entry in self.files.values():
                    if entry.state != "complete":
                        entry.settle = settle
                if self.soak.stop.is_set() and not isinstance(error, Killed):
                    break
                if kill == "session" or isinstance(error, Killed):
                    self.soak.bump(self.soak.reconnects, "after an injected kill")
                elif isinstance(error, Refused) and op == "connect":
                    self.soak.code("connect", error.code)
                    self.soak.bump(self.soak.reconnects, f"connect refused ({error.code})")
                    delay = 0.5 + self.rng.random()
                elif isinstance(error, SessionClosed):
                    self.soak.code(op, "421")
                    self.soak.bump(self.soak.reconnects, "421 from the server")
                    delay = 0.2
                else:
                    self.soak.failure(self, op, error)
                    self.soak.bump(self.soak.reconnects, "after an error")
                    delay = 0.2
        self.quit()

    def connect(self):
        self.doing = ("connect", time.monotonic())
        with self.lock:
            self.kill = None
        ftp = ftplib.FTP_TLS(context=self.soak.tls_context) if self.tls else ftplib.FTP()
        with self.lock:
            self.ftp = ftp
        try:
            ftp.connect(HOST, self.soak.port, timeout=TIMEOUT)
            user, password = ("soak", self.soak.password) if self.named else \
                ("anonymous", f"client{self.index}@soak")
            if self.tls:
                ftp.auth()
            ftp.login(user, password)
            if self.tls:
                ftp.prot_p()
        except ftplib.error_temp as e:
            raise Refused("connect", str(e)) from None
        except ftplib.error_perm as e:
            raise Refused("connect", str(e)) from None
        self.sessions += 1
        self.mode = "S"
        self.expect("TYPE I", "200")
        reply = self.cmd(f"CWD {self.folder}")
        if not reply.startswith("250"):
            self.expect(f"MKD {self.folder}", "257")
            self.expect(f"CWD {self.folder}", "250")
        self.zsession = not self.tls and self.rng.random() < 0.5

    def drop_session(self):
        with self.lock:
            ftp, data = self.ftp, self.data
            self.ftp = self.data = None
            self.kill = None
        reset_close(data)
        if ftp is not None:
            reset_close(ftp.sock)
            try:
                ftp.file.close()
            except Exception:
                pass

    def quit(self):
        with self.lock:
            ftp = self.ftp
            self.ftp = None
        if ftp is None:
            return
        try:
            ftp.sock.settimeout(5)
            ftp.quit()
        except Exception:
            pass
        try:
            ftp.close()
        except Exception:
            pass

    # ---- protocol helpers ----

    def cmd(self, line):
        self.check_kill()
        self.ftp.putcmd(line)
        reply = self.reply()
        return reply

    def reply(self):
        reply = self.ftp.getmultiline()
        if reply.startswith("421"):
            raise SessionClosed(reply)
        return reply

    def expect(self, line, code):
        reply = self.cmd(line)
        if not reply.startswith(code):
            raise Refused(line.split()[0], reply)
        return reply

    def check_kill(self, data=False):
        kill = self.kill
        if kill == "session":
            raise Killed()
        if data and kill == "data":
            raise DataKilled()

    def set_mode(self, z):
        want = "Z" if z else "S"
        if want != self.mode:
            self.expect(f"MODE {want}", "200")
            self.mode = want

    def open_data(self, command, rest=None):
        """Passive data connection (PASV or EPSV), then the command; the data socket after
        the 1xx reply. Raises Refused for any other reply."""
        if self.rng.random() < 0.3:
            reply = self.expect("EPSV", "229")
            match = re.search(r"\(\|\|\|(\d+)\|\)", reply)
            if not match:
                self.soak.strange("EPSV reply without a port", reply)
                raise Refused("EPSV", reply)
            port = int(match.group(1))
            self.passive = "EPSV"
        else:
            self.passive = "PASV"
            reply = self.expect("PASV", "227")
            host, port = ftplib.parse227(reply)
            if host != HOST:
                self.soak.strange("PASV names another address than the control connection's",
                                  reply)
        conn = socket.create_connection((HOST, port), timeout=TIMEOUT)
        with self.lock:
            self.data = conn
        try:
            if rest is not None:
                reply = self.cmd(f"REST {rest}")
                if not reply.startswith("350"):
                    raise Refused("REST", reply)
            reply = self.cmd(command)
            if reply[:1] == "2":
                self.soak.strange("transfer command answered 2xx without a 1xx first", reply)
            if reply[:1] != "1":
                raise Refused(command.split()[0], reply)
            if self.tls:
                wrapped = self.soak.tls_context.wrap_socket(conn, server_hostname=HOST,
                                                            suppress_ragged_eofs=False)
                with self.lock:
                    self.data = conn = wrapped
        except BaseException:
            self.end_data(conn, reset=False)
            raise
        with self.lock:
            self.streaming = True
        return conn

    def end_data(self, conn, reset):
        """Closes the data connection; True if the injector meant to reset it meanwhile."""
        with self.lock:
            killed = self.kill == "data"
            if killed:
                self.kill = None
            self.data = None
            self.streaming = False
        if reset or killed:
            reset_close(conn)
        else:
            try:
                conn.close()
            except OSError:
                pass
        return killed

    def close_tls(self, conn, kind, size):
        """Our close_notify, then the server's. The server's answer should come at once; when
        it does not, the wait is cut short and counted, and the data connection is closed
        (the server then answers on the control connection)."""
        conn.settimeout(CLOSE_NOTIFY_WAIT)
        try:
            conn.unwrap()
            return True
        except (TimeoutError, socket.timeout):
            self.soak.bump(self.soak.tls_stalls, (kind, size))
            return False
        finally:
            conn.settimeout(TIMEOUT)

    def context(self, killed, fill):
        if killed:
            return "after data reset"
        return "disk full" if fill is not None and self.soak.during_fill(fill) else ""

    def retr(self, name, expected, rest=None, z=False, stop_after=None, fill=None):
        """RETR (optionally from an offset, in MODE Z, or cut short). Returns (reply, got,
        clean): clean is true when the data came to an orderly end and nobody reset anything.
        Whatever arrived must be a prefix of `expected`; a mismatch is reported here."""
        self.set_mode(z)
        conn = self.open_data(f"RETR {name}", rest)
        inflater = zlib.decompressobj() if z else None
        got = bytearray()
        error = None
        reset = False
        try:
            while stop_after is None or len(got) < stop_after:
                self.check_kill(data=True)
                block = conn.recv(65536)
                if not block:
                    break
                got += inflater.decompress(block) if z else block
            else:
                return conn, bytes(got)  # the caller aborts
            if self.tls:
                self.close_tls(conn, "download", len(got))
        except DataKilled:
            reset = True
        except zlib.error as e:
            error = e
            self.soak.mismatch(self, "MODE Z data does not inflate", name, expected, bytes(got),
                               str(e))
        except (OSError, ssl.SSLError) as e:
            error = e
        killed = self.end_data(conn, reset) or reset
        reply = self.reply()
        got = bytes(got)
        if expected[:len(got)] != got:
            self.soak.mismatch(self, "downloaded bytes differ from the upload", name,
                               expected[:len(got)], got, f"reply {reply!r}, MODE {self.mode}")
        clean = error is None and not killed and self.kill is None
        if clean and z and not inflater.eof:
            clean = False
            if reply.startswith("226"):
                self.soak.mismatch(self, "MODE Z stream has no end although the reply is 226",
                                   name, expected, got)
        if not reply.startswith("226"):
            self.soak.code("RETR", reply[:3], self.context(killed, fill))
        elif error is not None and not killed and self.kill is None:
            self.soak.strange("RETR answered 226 although the data connection failed",
                              f"{type(error).__name__}: {error}")
        return reply, got, clean

    def store(self, verb, name, payload, rest=None, z=False, stop_after=None, fill=None):
        """STOR/APPE of payload. Returns (reply, clean) or, with stop_after, the open data
        socket after that many bytes (the caller aborts)."""
        self.set_mode(z)
        conn = self.open_data(f"{verb} {name}", rest)
        deflater = zlib.compressobj(self.rng.randint(1, 9)) if z else None
        chunk = self.rng.choice((4096, 8192, 65536, 262144))
        error = None
        reset = False
        sent_all = False
        note = ""
        try:
            self.sent = 0
            for offset in range(0, len(payload), chunk):
                if stop_after is not None and offset >= stop_after:
                    self.sent = offset
                    return conn
                self.check_kill(data=True)
                piece = payload[offset:offset + chunk]
                conn.sendall(deflater.compress(piece) if z else piece)
            if stop_after is not None:
                self.sent = len(payload)
                return conn
            if z:
                conn.sendall(deflater.flush())
            sent_all = True  # with TLS: once our close_notify is out, the upload is whole
            if self.tls and not self.close_tls(conn, "upload", len(payload)):
                note = ", the server never answered our close_notify"
        except DataKilled:
            reset = True
        except (OSError, ssl.SSLError) as e:
            error = e
        killed = self.end_data(conn, reset) or reset
        reply = self.reply()
        clean = error is None and not killed and self.kill is None
        label = "REST STOR" if verb == "STOR" and rest is not None else verb
        self.last_store = (f"{label} of {len(payload)} bytes" +
                           (f" at {rest}" if rest is not None else "") +
                           f", blocks of {chunk}, {self.passive}, MODE {self.mode}, "
                           f"reply {reply[:3]}{note}")
        if not reply.startswith("226"):
            self.soak.code(label, reply[:3], self.context(killed, fill))
        elif killed and sent_all:
            pass  # the reset came after the upload was complete: 226 is right
        elif killed:
            self.soak.strange(f"{label} answered 226 although the client reset the data "
                              "connection before sending everything",
                              f"{self.folder}/{name}, {len(payload)} bytes, MODE {self.mode}")
        elif error is not None and self.kill is None:
            self.soak.strange(f"{label} answered 226 although sending failed",
                              f"{type(error).__name__}: {error}")
        return reply, clean

    def abort(self, conn, kind, sent=None):
        """ABOR the running transfer; checks the replies that come before the next NOOP's."""
        fill = self.soak.fill_state()
        if self.tls:
            self.ftp.sock.sendall(b"ABOR\r\n")
            way = "ABOR"
        elif self.rng.random() < 0.5:
            self.ftp.sock.sendall(b"ABOR\r\n", socket.MSG_OOB)  # as Python's ftplib does
            way = "ABOR urgent"
        else:
            # As the BSD client does: IP and synch (the last IAC urgent), then DM and ABOR.
            self.ftp.sock.send(bytes((IAC, IP, IAC)), socket.MSG_OOB)
            self.ftp.sock.sendall(bytes((DM,)) + b"ABOR\r\n")
            way = "IAC IP IAC DM ABOR"
        self.end_data(conn, reset=self.rng.random() < 0.2)
        codes = []
        first = self.reply()
        codes.append(first[:3])
        self.ftp.putcmd("NOOP")
        while True:
            reply = self.reply()
            if reply.startswith("200"):
                break
            codes.append(reply[:3])
            if len(codes) > 4:
                break
        # Two replies: the transfer's (426 when ABOR cut it, 226 when it had just ended,
        # 451/452 when it had failed on its own, 425 when a reset of the data connection
        # came before the server took it) and then ABOR's 226.
        if codes == ["226"]:
            self.soak.strange(f"{kind}: one reply (226) for the transfer and ABOR together",
                              f"{self.describe()}, {self.passive}, {way}"
                              + (f", {sent} bytes sent" if sent is not None else ""))
        elif not (len(codes) == 2 and codes[0] in ("226", "425", "426", "451", "452") and
                  codes[1] == "226"):
            self.soak.strange(f"{kind}: replies to {way}",
                              " ".join(codes) + f" ({self.describe()}, {self.passive}, "
                              + (f"{sent} bytes sent, " if sent is not None else "")
                              + ("during a disk fill" if self.soak.during_fill(fill)
                                 else "no disk fill") + ")")
        return codes

    # ---- file bookkeeping ----

    def new_name(self, prefix="f"):
        self.counter += 1
        return f"{prefix}{self.counter:06}.bin"

    def put(self, name, data, state, settle=0.0):
        old = self.files.pop(name, None)
        if old is not None:
            self.soak.account(-len(old.data))
        self.files[name] = Entry(data, state, settle)
        self.soak.account(len(data))

    def forget(self, name):
        old = self.files.pop(name, None)
        if old is not None:
            self.soak.account(-len(old.data))

    def uncertain(self, name, killed_soon=True):
        """After an interrupted change the file holds a prefix of its data, or nothing."""
        entry = self.files.get(name)
        if entry is not None and entry.state == "complete":
            entry.state = "partial"
        if entry is not None:
            entry.settle = time.monotonic() + (5 if killed_soon else 0)

    def pick_size(self):
        rng = self.rng
        top = self.soak.options.max_kib * KiB
        r = rng.random()
        if r < 0.06:
            size = 0
        elif r < 0.14:
            size = rng.choice((1, 8191, 8192, 8193, 65535, 65536, 65537, 262144, MiB))
        elif r < 0.50:
            size = rng.randint(1, 4096)
        elif r < 0.76:
            size = rng.randint(4097, 64 * KiB)
        elif r < 0.93:
            size = rng.randint(64 * KiB, 512 * KiB)
        else:
            size = rng.randint(512 * KiB, max(512 * KiB, top))
        return min(size, top)

    def make_data(self, size, compressible):
        if not compressible:
            return self.rng.randbytes(size)
        return b"".join(self.rng.choices(self.soak.lines, k=size // 64 + 1))[:size]

    def make_room(self, size):
        """Deletes own files until the upload fits this client's share of the disk; returns
        the size to use (smaller when the whole disk budget is taken)."""
        quota = self.soak.budget // max(1, self.soak.options.clients)
        mine = sum(len(e.data) for e in self.files.values())
        for name in sorted(self.files):
            if mine + size <= max(quota, size) and len(self.files) < 12:
                break
            mine -= len(self.files[name].data)
            self.delete(name)
        if not self.soak.room_for(size):
            size = min(size, 64 * KiB)
        return size

    def want_z(self):
        return self.zsession and self.rng.random() < 0.7

    def complete_files(self, at_least=0):
        return [n for n, e in self.files.items() if e.state == "complete" and
                len(e.data) >= at_least]

    # ---- operations ----

    def step(self):
        rng = self.rng
        now = time.monotonic()
        waiting = [n for n, e in self.files.items() if e.state != "complete" and e.settle <= now]
        if waiting and rng.random() < 0.5:
            return self.op("resolve", self.resolve, rng.choice(waiting))
        ops = [("upload", 22, self.upload), ("download", 18, self.download),
               ("REST download", 8, self.rest_download), ("split upload", 7, self.split_upload),
               ("REST STOR patch", 3, self.patch), ("ABOR RETR", 4, self.abort_retr),
               ("ABOR STOR", 3, self.abort_stor), ("listing", 7, self.listing),
               ("SIZE", 4, self.size), ("rename", 5, self.rename), ("DELE", 4, self.dele),
               ("folder", 2, self.folder_work), ("refusals", 2, self.refusals),
               ("MODE Z cut short", 1 if self.zsession else 0, self.deflate_cut),
               ("NOOP", 1, self.noop)]
        name, _, function = rng.choices(ops, weights=[w for _, w, _ in ops])[0]
        self.op(name, function)

    def op(self, name, function, *args):
        self.doing = (name, time.monotonic())
        function(*args)
        self.doing = ("idle", time.monotonic())

    def refused(self, op, error, fill_at_start):
        context = "disk full" if self.soak.during_fill(fill_at_start) else ""
        self.soak.code(error.op if error.op not in ("PASV", "EPSV", "REST") else
                       f"{op} ({error.op})", error.code, context)

    def upload(self, name=None, verify=None):
        rng = self.rng
        size = self.make_room(self.pick_size())
        z = self.want_z()
        data = self.make_data(size, z or rng.random() < 0.3)
        name = name or self.new_name()
        self.put(name, data, "partial")
        fill = self.soak.fill_state()
        try:
            reply, clean = self.store("STOR", name, data, z=z, fill=fill)
        except Refused as e:
            self.refused("STOR", e, fill)
            return False
        if reply.startswith("226") and clean:
            if not self.check_size(name, size):
                self.files[name].state = "dirty"
                return False
            self.files[name].state = "complete"
            self.soak.success("STOR" + (" MODE Z" if z else ""), uploaded=size)
            if verify or (verify is None and rng.random() < 0.4):
                self.fetch(name)
            return True
        self.uncertain(name, killed_soon=False)
        return False

    def check_size(self, name, expected):
        """SIZE right after an upload the server confirmed: it must hold every byte."""
        reply = self.cmd(f"SIZE {name}")
        if not (reply.startswith("213") and reply[4:].strip() == str(expected)):
            self.soak.mismatch(self, "SIZE right after a 226 upload is not what was sent", name,
                               b"", b"", f"expected {expected} bytes, {reply!r}; "
                               f"last upload: {self.last_store}")
            return False
        return True

    def fetch(self, name, rest=None):
        """Downloads a complete file (all of it or from `rest`) and compares every byte."""
        entry = self.files[name]
        z = self.want_z()
        expected = entry.data[rest or 0:]
        fill = self.soak.fill_state()
        try:
            reply, got, clean = self.retr(name, expected, rest=rest, z=z, fill=fill)
        except Refused as e:
            self.refused("RETR", e, fill)
            if e.code == "550" and e.op == "RETR":
                self.soak.mismatch(self, "RETR of a complete file refused with 550", name,
                                   expected, b"", e.reply)
                self.forget(name)
            return
        if reply.startswith("226") and clean:
            if got != expected:
                self.soak.mismatch(self, "RETR answered 226 but the data is short"
                                   if expected.startswith(got) else
                                   "RETR answered 226 with different data",
                                   name, expected, got, f"MODE {self.mode}")
            else:
                kind = ("REST RETR" if rest is not None else "RETR") + (" MODE Z" if z else "")
                self.soak.success(kind, verified=len(got))
                return
        else:
            self.soak.verified(len(got))

    def download(self):
        names = self.complete_files()
        if not names:
            return self.upload()
        self.fetch(self.rng.choice(names))

    def rest_download(self):
        names = self.complete_files(at_least=1)
        if not names:
            return self.upload()
        name = self.rng.choice(names)
        length = len(self.files[name].data)
        offset = self.rng.choice((0, length, self.rng.randint(0, length),
                                  self.rng.randint(0, length)))
        self.fetch(name, rest=offset)

    def finish(self, name, how, fill):
        """Sends the rest of a partial file (APPE or REST+STOR from what is there); returns
        True when the server confirmed it."""
        entry = self.files[name]
        z = self.want_z()
        reply = self.cmd(f"SIZE {name}")
        if reply.startswith("550"):
            return None  # not there
        if not reply.startswith("213"):
            self.soak.code("SIZE", reply[:3])
            return False
        there = int(reply.split()[1])
        if there > len(entry.data):
            self.soak.mismatch(self, "partial file is longer than anything sent", name,
                               entry.data, b"", reply)
            entry.state = "dirty"
            return False
        if how == "APPE" and there == len(entry.data) and self.rng.random() < 0.5:
            how = "REST STOR"
        try:
            if how == "APPE":
                reply, clean = self.store("APPE", name, entry.data[there:], z=z, fill=fill)
            else:
                reply, clean = self.store("STOR", name, entry.data[there:], rest=there, z=z,
                                          fill=fill)
        except Refused as e:
            self.refused(how, e, fill)
            return False
        if reply.startswith("226") and clean:
            if not self.check_size(name, len(entry.data)):
                entry.state = "dirty"
                return False
            entry.state = "complete"
            self.soak.success(f"{how} (resume)" + (" MODE Z" if z else ""),
                              uploaded=len(entry.data) - there)
            return True
        self.uncertain(name, killed_soon=False)
        return False

    def resolve(self, name):
        """A file left partial (interrupted or refused): check what is there, then finish it."""
        entry = self.files[name]
        fill = self.soak.fill_state()
        if entry.state == "dirty":
            return self.delete(name)
        reply = self.cmd(f"SIZE {name}")
        if reply.startswith("550"):
            self.forget(name)
            return
        if not reply.startswith("213"):
            self.soak.code("SIZE", reply[:3])
            return
        # What is there must be a prefix of what was sent.
        try:
            reply, got, clean = self.retr(name, entry.data, z=self.want_z(), fill=fill)
        except Refused as e:
            self.refused("RETR", e, fill)
            return
        self.soak.verified(len(got))
        if not (reply.startswith("226") and clean):
            return
        if self.finish(name, self.rng.choice(("APPE", "REST STOR")), fill):
            self.fetch(name)

    def split_upload(self):
        """STOR the first part, then the rest with APPE or REST+STOR; then the whole is checked."""
        rng = self.rng
        size = self.make_room(max(2, self.pick_size()))
        data = self.make_data(size, rng.random() < 0.5)
        cut = rng.randint(0, size)
        name = self.new_name("s")
        self.put(name, data, "partial")
        fill = self.soak.fill_state()
        z = self.want_z()
        if not self.first_store(name, data[:cut], fill, z):
            return
        how = rng.choice(("APPE", "REST STOR"))
        try:
            if how == "APPE":
                reply, clean = self.store("APPE", name, data[cut:], z=self.want_z(),
                                          fill=fill)
            else:
                reply, clean = self.store("STOR", name, data[cut:], rest=cut,
                                          z=self.want_z(), fill=fill)
        except Refused as e:
            self.refused(how, e, fill)
            return
        if reply.startswith("226") and clean:
            if not self.check_size(name, size):
                self.files[name].state = "dirty"
                return
            self.files[name].state = "complete"
            self.soak.success(f"STOR + {how}", uploaded=size)
            self.fetch(name)
        else:
            self.uncertain(name, killed_soon=False)

    def first_store(self, name, payload, fill, z=False):
        """The STOR that a resume or a repair builds on: True when it is complete and on disk
        at its full length; otherwise the file is marked as it stands."""
        try:
            reply, clean = self.store("STOR", name, payload, z=z, fill=fill)
        except Refused as e:
            self.refused("STOR", e, fill)
            return False
        if not (reply.startswith("226") and clean):
            self.uncertain(name, killed_soon=False)
            return False
        if not self.check_size(name, len(payload)):
            self.files[name].state = "dirty"
            return False
        return True

    def patch(self):
        """REST+STOR in the middle of a file: a STOR with a damaged middle is repaired in place
        (REST STOR does not truncate)."""
        rng = self.rng
        size = self.make_room(rng.randint(16, 300 * KiB))
        data = self.make_data(size, rng.random() < 0.5)
        a = rng.randint(1, size - 1)  # REST 0 + STOR is a plain STOR, which truncates
        b = rng.randint(a + 1, size)
        damaged = data[:a] + bytes(x ^ 0x5A for x in data[a:b]) + data[b:]
        name = self.new_name("p")
        self.put(name, damaged, "partial")
        fill = self.soak.fill_state()
        if not self.first_store(name, damaged, fill):
            return
        self.files[name] = Entry(data, "dirty")  # same length, so the disk budget holds
        try:
            reply, clean = self.store("STOR", name, data[a:b], rest=a, fill=fill)
        except Refused as e:
            self.refused("REST STOR", e, fill)
            return
        if reply.startswith("226") and clean:
            if not self.check_size(name, size):
                return
            self.files[name].state = "complete"
            self.soak.success("REST STOR in place", uploaded=b - a)
            self.fetch(name)


    def abort_retr(self):
        names = self.complete_files(at_least=128 * KiB)
        if not names:
            return self.upload(verify=False)
        name = self.rng.choice(names)
        data = self.files[name].data
        z = self.want_z()
        fill = self.soak.fill_state()
        try:
            result = self.retr(name, data, z=z, fill=fill,
                               stop_after=self.rng.randint(1, len(data) // 2))
        except Refused as e:
            self.refused("RETR", e, fill)
            return
        if len(result) == 3:
            return  # it ended before the cut (e.g. a reset); counted there
        conn, got = result
        if data[:len(got)] != got:
            self.soak.mismatch(self, "bytes before ABOR differ from the upload", name,
                               data[:len(got)], got)
        self.soak.verified(len(got))
        self.abort(conn, "ABOR RETR")
        self.soak.success("ABOR RETR")

    def abort_stor(self):
        rng = self.rng
        size = self.make_room(rng.randint(256 * KiB, 2 * MiB))
        data = self.make_data(size, rng.random() < 0.5)
        name = self.new_name("a")
        self.put(name, data, "partial")
        fill = self.soak.fill_state()
        try:
            conn = self.store("STOR", name, data, z=self.want_z(),
                              stop_after=rng.randint(1, size // 2), fill=fill)
        except Refused as e:
            self.refused("STOR", e, fill)
            return
        if isinstance(conn, tuple):
            return
        self.abort(conn, "ABOR STOR", sent=self.sent)
        self.uncertain(name, killed_soon=False)
        self.soak.success("ABOR STOR")

    def deflate_cut(self):
        """MODE Z upload whose deflate stream ends early (no final block) before an orderly
        close: the data is incomplete, so the server should not answer 226."""
        size = self.make_room(self.rng.randint(20 * KiB, 400 * KiB))
        data = self.make_data(size, self.rng.random() < 0.5)
        name = self.new_name("z")
        self.put(name, data, "partial")
        fill = self.soak.fill_state()
        self.set_mode(True)
        try:
            conn = self.open_data(f"STOR {name}")
        except Refused as e:
            self.refused("STOR", e, fill)
            return
        deflater = zlib.compressobj()
        packed = deflater.compress(data)  # without flush(): the stream has no end
        error = None
        try:
            self.check_kill(data=True)
            conn.sendall(packed)
        except DataKilled:
            error = "reset"
        except OSError as e:
            error = e
        killed = self.end_data(conn, error == "reset")
        reply = self.reply()
        self.uncertain(name, killed_soon=False)
        if killed or error is not None or self.kill is not None:
            return
        if reply.startswith("226"):
            self.soak.strange("MODE Z upload whose deflate stream has no end answered 226",
                              f"{self.folder}/{name}: {len(packed)} deflated bytes of "
                              f"{size}, never finished")
        else:
            self.soak.code("STOR", reply[:3], "MODE Z stream cut short")
        self.soak.success("MODE Z cut short")

    def listing(self):
        rng = self.rng
        verb = rng.choice(("LIST", "LIST -la", "NLST", "NLST"))
        z = self.want_z()
        self.set_mode(z)
        fill = self.soak.fill_state()
        try:
            conn = self.open_data(verb)
        except Refused as e:
            self.refused(verb.split()[0], e, fill)
            return
        inflater = zlib.decompressobj() if z else None
        raw = bytearray()
        error = None
        try:
            while True:
                self.check_kill(data=True)
                block = conn.recv(65536)
                if not block:
                    break
                raw += inflater.decompress(block) if z else block
            if self.tls:
                self.close_tls(conn, "listing", len(raw))
        except DataKilled:
            error = "reset"
        except (OSError, ssl.SSLError, zlib.error) as e:
            error = e
        killed = self.end_data(conn, error == "reset")
        reply = self.reply()
        if not reply.startswith("226") or error is not None or killed or self.kill:
            if not reply.startswith("226"):
                self.soak.code(verb.split()[0], reply[:3], self.context(killed, fill))
            return
        text = raw.decode("latin-1")
        lines = [line for line in text.split("\r\n") if line]
        if verb.startswith("LIST"):
            seen = {}
            for line in lines:
                fields = line.split(None, 8)
                if len(fields) < 9:
                    self.soak.strange("LIST line of an unexpected shape", line)
                    continue
                seen[fields[8]] = (fields[0][:1], fields[4])
        else:
            seen = {line: None for line in lines}
        complete = {n for n, e in self.files.items() if e.state == "complete"}
        allowed = set(self.files) | self.loose
        missing = sorted(complete - set(seen))
        extra = sorted(set(seen) - allowed)
        wrong = []
        if verb.startswith("LIST"):
            for n in complete & set(seen):
                kind, size = seen[n]
                if kind != "-" or size != str(len(self.files[n].data)):
                    wrong.append(f"{n}: listed {kind} {size}, uploaded {len(self.files[n].data)}")
        if missing or extra or wrong:
            detail = f"{verb}: missing {missing[:5]}, unexpected {extra[:5]}, wrong {wrong[:5]}"
            self.soak.mismatch(self, "listing disagrees with the uploads", self.folder, b"",
                               b"", detail)
            for n in missing:
                self.forget(n)
        else:
            self.soak.success(verb.split()[0] + (" MODE Z" if z else ""))

    def size(self):
        names = self.complete_files()
        if not names:
            return self.upload()
        name = self.rng.choice(names)
        reply = self.cmd(f"SIZE {name}")
        expected = len(self.files[name].data)
        if reply.startswith("213") and reply[4:].strip() == str(expected):
            self.soak.success("SIZE")
        else:
            self.soak.mismatch(self, "SIZE disagrees with the upload", name,
                               self.files[name].data, b"", reply)

    def rename(self):
        names = self.complete_files()
        if not names:
            return self.upload()
        old = self.rng.choice(names)
        new = self.new_name("r")
        entry = self.files[old]
        entry.state = "partial"
        self.files[new] = Entry(entry.data, "partial", time.monotonic() + 5)
        self.soak.account(len(entry.data))
        reply = self.cmd(f"RNFR {old}")
        if not reply.startswith("350"):
            self.soak.strange("RNFR of a complete file refused", reply)
            self.forget(new)
            return
        reply = self.cmd(f"RNTO {new}")
        if not reply.startswith("250"):
            self.soak.strange("RNTO refused", reply)
            self.forget(new)
            return
        self.forget(old)
        self.files[new].state = "complete"
        self.soak.success("RNFR/RNTO")

    def delete(self, name):
        entry = self.files[name]
        was = entry.state
        entry.state = "partial" if was == "complete" else was
        entry.settle = time.monotonic() + 5
        reply = self.cmd(f"DELE {name}")
        if reply.startswith("250"):
            self.forget(name)
            self.soak.success("DELE")
        elif reply.startswith("550") and was != "complete":
            self.forget(name)  # a partial upload that never made the file
        else:
            self.soak.code("DELE", reply[:3])
            if was == "complete":
                self.soak.strange("DELE of a complete file refused", reply)

    def dele(self):
        if not self.files:
            return self.upload()
        self.delete(self.rng.choice(sorted(self.files)))

    def folder_work(self):
        """MKD, a file inside, NLST of it, DELE, RMD."""
        self.counter += 1
        folder = f"d{self.counter:06}"
        self.loose.add(folder)
        reply = self.cmd(f"MKD {folder}")
        if not reply.startswith("257"):
            self.soak.code("MKD", reply[:3])
            return
        data = self.make_data(self.rng.randint(0, 3000), True)
        fill = self.soak.fill_state()
        try:
            reply, clean = self.store("STOR", f"{folder}/x.bin", data, fill=fill)
        except Refused as e:
            self.refused("STOR", e, fill)
            reply, clean = e.reply, False
        if reply.startswith("226") and clean:
            try:
                conn = self.open_data(f"NLST {folder}")
            except Refused as e:
                self.refused("NLST", e, fill)
            else:
                raw = b""
                while block := conn.recv(65536):
                    raw += block
                if self.tls:
                    self.close_tls(conn, "listing", len(raw))
                killed = self.end_data(conn, False)
                reply = self.reply()
                names = [os.path.basename(n) for n in raw.decode("latin-1").split("\r\n") if n]
                if reply.startswith("226") and not killed and self.kill is None and \
                        names != ["x.bin"]:
                    self.soak.mismatch(self, "NLST of a new folder", folder, b"x.bin", raw)
        self.cmd(f"DELE {folder}/x.bin")
        reply = self.cmd(f"RMD {folder}")
        if reply.startswith("250"):
            self.loose.discard(folder)
            self.soak.success("MKD/RMD")
        else:
            self.soak.code("RMD", reply[:3])

    def refusals(self):
        """Requests that must be refused."""
        missing = "nothing-here.bin"
        checks = [(f"SIZE {missing}", "550"), (f"RETR {missing}", "550"),
                  (f"DELE {missing}", "550"), (f"RNFR {missing}", "550"),
                  ("RNTO lonely.bin", "503")]
        checks = [[c] for c in self.rng.sample(checks, 2)]
        names = self.complete_files()
        if names and self.rng.random() < 0.5:
            name = self.rng.choice(names)
            checks.append([(f"REST {len(self.files[name].data) + 1}", "350"),
                           (f"RETR {name}", "554")])
        for line, code in [c for group in checks for c in group]:
            reply = self.cmd(line)
            if not reply.startswith(code):
                self.soak.strange(f"{line.split()[0]} where {code} was expected", reply)
                if reply[:1] in "12":
                    raise Refused(line.split()[0], reply)  # the session is in an odd state
        self.soak.success("refusals")

    def noop(self):
        self.expect(self.rng.choice(("NOOP", "PWD", "SYST", "FEAT", "STAT")),
                    "2")
        self.soak.success("NOOP/PWD/SYST/FEAT/STAT")


class Injector(threading.Thread):
    """Kills clients mid-transfer, holds idle connections and sends garbage."""

    def __init__(self, soak):
        super().__init__(name="injector", daemon=True)
        self.soak = soak
        self.rng = random.Random(soak.options.seed * 7919 + 1)
        self.idle = []  # (due time, socket, how to drop)
        self.helpers = []

    def run(self):
        rng = self.rng
        now = time.monotonic()
        next_kill, next_idle, next_garbage = now + 3, now + 1, now + 2
        while not self.soak.stop.is_set():
            now = time.monotonic()
            for item in [i for i in self.idle if i[0] <= now]:
                self.idle.remove(item)
                self.drop(item[1], item[2])
            if now >= next_kill:
                self.kill()
                next_kill = now + rng.expovariate(1 / 4.0)
            if now >= next_idle:
                if len(self.idle) < 6:
                    self.open_idle()
                next_idle = now + rng.expovariate(1 / 3.0)
            self.helpers = [t for t in self.helpers if t.is_alive()]
            if now >= next_garbage:
                if len(self.helpers) < 2:
                    t = threading.Thread(target=self.garbage, args=(rng.random(),),
                                         daemon=True)
                    t.start()
                    self.helpers.append(t)
                next_garbage = now + rng.expovariate(1 / 2.5)
            self.soak.stop.wait(0.1)
        for _, sock, _ in self.idle:
            reset_close(sock)
        self.idle = []
        for t in self.helpers:
            t.join(20)

    def kill(self):
        clients = self.soak.clients
        busy = [c for c in clients if c.streaming and c.ftp is not None]
        if busy and self.rng.random() < 0.85:
            client = self.rng.choice(busy)
        else:
            client = self.rng.choice(clients)
        only_data = self.rng.random() < 0.4
        with client.lock:
            if client.ftp is None or client.kill:
                return
            if only_data and not client.streaming:
                only_data = False
            client.kill = "data" if only_data else "session"
            data, control = client.data, client.ftp.sock
        if only_data:
            self.soak.bump(self.soak.injected, "data connections reset")
            wake(data)
        else:
            self.soak.bump(self.soak.injected, "sessions killed" + (" mid-transfer" if data else ""))
            if data is not None:
                wake(data)
            if control is not None:
                wake(control)

    def connect(self, timeout=5):
        sock = socket.create_connection((HOST, self.soak.port), timeout=timeout)
        return sock

    @staticmethod
    def read_line(sock, buffer=b""):
        while b"\r\n" not in buffer:
            chunk = sock.recv(4096)
            if not chunk:
                raise EOFError("closed")
            buffer += chunk
        line, _, rest = buffer.partition(b"\r\n")
        return line.decode("latin-1"), rest

    def open_idle(self):
        rng = self.rng
        how = rng.choice(("silent", "greeted", "USER only", "logged in", "half a line",
                          "PASV left open") + (("TLS",) if self.soak.tls_context else ()))
        try:
            sock = self.connect()
            if how != "silent":
                greeting, _ = self.read_line(sock)
                if not greeting.startswith("220"):
                    self.soak.garbage[f"idle connection greeted with {greeting[:3]}"] += 1
                    reset_close(sock)
                    return
            if how == "USER only":
                sock.sendall(b"USER anonymous\r\n")
                self.read_line(sock)
            elif how in ("logged in", "PASV left open"):
                sock.sendall(b"USER anonymous\r\nPASS idle@soak\r\n")
                _, rest = self.read_line(sock)
                self.read_line(sock, rest)
                if how == "PASV left open":
                    sock.sendall(b"PASV\r\n")
                    reply, _ = self.read_line(sock)
                    if reply.startswith("227"):
                        _, port = ftplib.parse227(reply)
                        data = socket.create_connection((HOST, port), timeout=5)
                        self.idle.append((time.monotonic() + rng.uniform(1, 10), data,
                                          rng.choice(("reset", "close"))))
            elif how == "half a line":
                sock.sendall(b"NOO")
            elif how == "TLS":
                sock.sendall(b"AUTH TLS\r\n")
                reply, _ = self.read_line(sock)
                if reply.startswith("234"):
                    sock = self.soak.tls_context.wrap_socket(sock, server_hostname=HOST)
        except (OSError, EOFError, ssl.SSLError, ValueError) as e:
            self.soak.bump(self.soak.garbage, f"idle connection ({how}) failed: {type(e).__name__}")
            try:
                sock.close()
            except Exception:
                pass
            return
        self.soak.bump(self.soak.injected, "idle connections")
        drop = rng.choice(("reset", "close", "QUIT"))
        self.idle.append((time.monotonic() + rng.uniform(2, 25), sock, drop))

    def drop(self, sock, how):
        try:
            if how == "QUIT":
                sock.settimeout(2)
                sock.sendall(b"QUIT\r\n")
                sock.close()
            elif how == "close":
                sock.close()
            else:
                reset_close(sock)
        except (OSError, ssl.SSLError):
            reset_close(sock)

    def garbage(self, seed):
        rng = random.Random(seed)
        iac = bytes
        kinds = {
            "random bytes": lambda: rng.randbytes(rng.randint(1, 300)) + b"\r\n",
            "random bytes, no line end": lambda: rng.randbytes(rng.randint(1, 3000)),
            "2 KiB line": lambda: b"NOOP " + b"A" * 2048 + b"\r\n",
            "64 KiB line": lambda: b"STOR " + b"x" * 65536 + b"\r\n",
            "1 MiB without a line end": lambda: b"B" * MiB + b"\r\n",
            "telnet options": lambda: iac((IAC, WILL, 1, IAC, DO, 3, IAC, WONT, 24, IAC, DONT,
                                           31)) + b"NOOP\r\n",
            "telnet IP DM": lambda: iac((IAC, IP, IAC, DM)) + b"STAT\r\n",
            "escaped IAC": lambda: b"NO" + iac((IAC, IAC)) + b"OP\r\n",
            "subnegotiation": lambda: iac((IAC, SB, 24, 0)) + b"xterm" + iac((IAC, SE)) +
            b"NOOP\r\n",
            "unended subnegotiation": lambda: iac((IAC, SB, 24)) + b"vt100\r\nNOOP\r\n",
            "IAC at line end": lambda: b"NOOP" + iac((IAC,)) + b"\r\n",
            "lone IAC bytes": lambda: iac((IAC,)) * rng.randint(1, 9) + b"\r\n",
            "NUL in command": lambda: b"NO\x00OP\r\nCWD \x00/\r\n",
            "bare LF and CR": lambda: b"NOOP\nPWD\rPWD\n\r\n",
            "8-bit names": lambda: b"CWD \xff\xfe\x80\x81/\xc3\x28\r\nMKD \xe9\xe8\r\n",
            "500 pipelined NOOPs": lambda: b"NOOP\r\n" * 500,
            "commands before login": lambda: b"RETR x\r\nLIST\r\nPASV\r\nSTOR y\r\n",
            "bad PORT and EPRT": lambda: b"PORT 999,1,1,1,1,1\r\nEPRT |9|x|y|\r\n"
                                         b"PORT 127,0,0,1,0,1\r\nEPSV ALL\r\n",
            "bad REST and TYPE": lambda: b"REST -5\r\nREST 99999999999999999999999\r\n"
                                         b"TYPE Q\r\nMODE X\r\nSTRU Z\r\n",
        }
        if self.soak.tls_context is not None:
            kinds["AUTH TLS then junk"] = lambda: None
        kind = rng.choice(sorted(kinds))
        login = rng.random() < 0.5 and kind != "commands before login"
        sock = None
        try:
            sock = self.connect(timeout=15)
            line, rest = self.read_line(sock)
            if not line.startswith("220"):
                self.soak.garbage[f"garbage connection greeted with {line[:3]}"] += 1
                return
            if login:
                sock.sendall(b"USER anonymous\r\nPASS junk@soak\r\n")
                _, rest = self.read_line(sock, rest)
                _, rest = self.read_line(sock, rest)
            payload = kinds[kind]()
            if payload is None:
                sock.sendall(b"AUTH TLS\r\n")
                line, rest = self.read_line(sock, rest)
                # A whole handshake record of junk: the server has all of it and must give up.
                body = rng.randbytes(rng.randint(5, 600))
                sock.sendall(b"\x16\x03\x01" + struct.pack(">H", len(body)) + body)
                payload = b""
            marker, answer = (b"SYST", "215") if login else (b"USER marker", "331")
            sock.sendall(payload + b"\r\n" + marker + b"\r\n")
            # Read until the marker's reply (or the end of the connection).
            codes = collections.Counter()
            outcome = "silent"
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                sock.settimeout(max(0.1, deadline - time.monotonic()))
                try:
                    line, rest = self.read_line(sock, rest)
                except (EOFError, ConnectionResetError) as e:
                    outcome = "closed by server" if isinstance(e, EOFError) else "reset by server"
                    break
                except socket.timeout:
                    break
                if line[:3].isdigit() and line[3:4] == " ":
                    codes[line[:3]] += 1
                    if line.startswith(answer):
                        outcome = "answered"
                        break
            self.soak.bump(self.soak.injected, "garbage sessions")
            summary = " ".join(f"{c}x{n}" for c, n in sorted(codes.items()))
            self.soak.garbage[f"{kind}: {outcome}" + (f" [{summary}]" if summary else "")] += 1
        except (OSError, EOFError, ssl.SSLError) as e:
            self.soak.bump(self.soak.garbage, f"{kind}: {type(e).__name__}")
        finally:
            if sock is not None:
                if rng.random() < 0.5:
                    reset_close(sock)
                else:
                    sock.close()


class Filler(threading.Thread):
    """Every few minutes fills the shared tmpfs from outside, holds it full, then frees it."""

    def __init__(self, soak, duration):
        super().__init__(name="filler", daemon=True)
        self.soak = soak
        self.duration = duration
        self.path = os.path.join(soak.share, ".soak-fill")
        self.fills = []  # (start second, bytes written)

    def run(self):
        options = self.soak.options
        at = min(60.0, self.duration / 3)
        while not self.soak.stop.is_set():
            if at + options.fill_hold + 10 > self.duration:
                return
            if self.soak.stop.wait(max(0, at - self.soak.elapsed())):
                return
            self.fill(options.fill_hold)
            at += options.fill_every

    def fill(self, hold):
        soak = self.soak
        with soak.lock:
            soak.fill_active = True
            soak.fill_epoch += 1
        start = soak.elapsed()
        written = 0
        block = b"\0" * MiB
        fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            def top_up():
                nonlocal written
                piece = block
                while True:
                    try:
                        written += os.write(fd, piece)
                    except OSError as e:
                        if e.errno != errno.ENOSPC:
                            raise
                        if len(piece) <= 4096:
                            return
                        piece = piece[:len(piece) // 16]
            top_up()
            log(f"[{start:5.0f}s] disk filled ({human(written)} filler), holding {hold:.0f} s")
            end = time.monotonic() + hold
            while time.monotonic() < end and not soak.stop.is_set():
                soak.stop.wait(0.5)
                top_up()  # what clients free meanwhile is taken again
        finally:
            os.close(fd)
            os.unlink(self.path)
            with soak.lock:
                soak.fill_active = False
                soak.fill_epoch += 1
                soak.fill_ended = time.monotonic()
            self.fills.append((start, written))
            soak.bump(soak.injected, "disk fills")
            log(f"[{soak.elapsed():5.0f}s] disk freed")


class Sampler(threading.Thread):
    """Reads the server's descriptors and memory every second and watches it stays alive."""

    def __init__(self, soak, process):
        super().__init__(name="sampler", daemon=True)
        self.soak = soak
        self.process = process
        self.peak_fds = 0
        self.peak_rss = 0
        self.last = None
        self.died = False
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            if self.process.poll() is not None:
                self.died = True
                self.soak.stop.set()
                return
            snap = process_snapshot(self.process.pid)
            if snap:
                self.last = snap
                self.peak_fds = max(self.peak_fds, snap[0])
                self.peak_rss = max(self.peak_rss, snap[1])
            self.halt.wait(1)


# ---- set-up ----


def run_admin(binary, config, *args, stdin=None):
    result = subprocess.run([binary, "--config-dir", config, *args], input=stdin,
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(args[:2])} failed ({result.returncode}): "
                           f"{result.stdout}{result.stderr}")
    return result.stdout


def copy_binary(source, target):
    """The program is rebuilt by others meanwhile: take a copy that runs."""
    for attempt in range(10):
        try:
            shutil.copy2(source, target)
            subprocess.run([target, "--help"], capture_output=True, timeout=20, check=True)
            return
        except (OSError, subprocess.SubprocessError):
            time.sleep(2)
    raise RuntimeError(f"could not take a working copy of {source}")


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def tail(path, lines=30):
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 16384))
            return "\n".join(f.read().decode("utf-8", "replace").splitlines()[-lines:])
    except OSError:
        return ""


def wait_listening(process, out_path, port, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with open(out_path, "rb") as f:
                if b"listening" in f.read():
                    with socket.create_connection((HOST, port), timeout=2) as s:
                        s.recv(512)
                    return True
        except OSError:
            pass
        time.sleep(0.1)
    return False


def warm_pool(soak, sessions):
    """Every session object of the server's pool busy at once, each with a MODE Z upload and
    download, a plain download and a listing. The pool's buffers and zlib streams are made at
    start-up but their pages are first touched by use, and zlib makes an inflate window at a
    session object's first compressed upload; without this the RSS would climb during the run
    until the load has reached every object of the pool."""
    text = b"".join(b"%06d warm the pool with something that compresses\n" % i
                    for i in range(20000))
    data = text + os.urandom(256 * KiB)
    errors = []
    ready = threading.Barrier(sessions)

    def one(index):
        try:
            deadline = time.monotonic() + 20
            while True:
                ftp = ftplib.FTP()
                try:
                    # The warm-up's last sessions may still be on their way back to the pool.
                    ftp.connect(HOST, soak.port, timeout=TIMEOUT)
                    break
                except ftplib.error_temp:
                    ftp.close()
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.2)
            ftp.login("anonymous", "pool@soak")
            ftp.voidcmd("TYPE I")
            ready.wait(TIMEOUT)
            name = f"/pub/pool{index:02}.bin"
            ftp.voidcmd("MODE Z")
            packer = zlib.compressobj(6)
            packed = packer.compress(data) + packer.flush()
            ftp.storbinary("STOR " + name, io.BytesIO(packed))
            back = bytearray()
            ftp.retrbinary("RETR " + name, back.extend)
            ftp.voidcmd("MODE S")
            plain = bytearray()
            ftp.retrbinary("RETR " + name, plain.extend)
            ftp.retrlines("LIST /pub", lambda line: None)
            ftp.delete(name)
            ftp.quit()
            if zlib.decompress(bytes(back)) != data or bytes(plain) != data:
                errors.append(f"pool session {index}: download differs from its upload")
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(f"pool session {index}: {e!r}")
            ready.abort()

    threads = [threading.Thread(target=one, args=(i,)) for i in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise RuntimeError("pool warm-up failed: " + "; ".join(errors[:3]))


def warm_up(soak, clients):
    """One round of each kind of session before the start values are taken, so that whatever
    the server sets up once (TLS, deflate, the listing code) is in place. Also makes the
    clients' folders."""
    ftp = ftplib.FTP()
    ftp.connect(HOST, soak.port, timeout=TIMEOUT)
    ftp.login("anonymous", "warmup@soak")
    ftp.voidcmd("TYPE I")
    for i in range(clients):
        ftp.mkd(f"/pub/c{i:02}")
    data = os.urandom(300 * KiB)
    ftp.storbinary("STOR /pub/warm.bin", io.BytesIO(data))
    got = bytearray()
    ftp.retrbinary("RETR /pub/warm.bin", got.extend)
    ftp.voidcmd("MODE Z")
    inflater = zlib.decompressobj()
    packed = bytearray()
    ftp.retrbinary("RETR /pub/warm.bin", packed.extend)
    ftp.voidcmd("MODE S")
    ftp.nlst("/pub")
    ftp.retrlines("LIST /pub", lambda line: None)
    ftp.quit()
    if bytes(got) != data or inflater.decompress(bytes(packed)) != data:
        raise RuntimeError("warm-up download differs from its upload")
    if soak.tls_context is not None:
        tls = ftplib.FTP_TLS(context=soak.tls_context)
        tls.connect(HOST, soak.port, timeout=TIMEOUT)
        tls.auth()
        tls.login("soak", soak.password)
        tls.prot_p()
        got = bytearray()
        tls.retrbinary("RETR /pub/warm.bin", got.extend)
        tls.storbinary("STOR /pub/warm2.bin", io.BytesIO(data))
        tls.delete("/pub/warm2.bin")
        tls.quit()
        if bytes(got) != data:
            raise RuntimeError("warm-up TLS download differs from its upload")
    ftp = ftplib.FTP()
    ftp.connect(HOST, soak.port, timeout=TIMEOUT)
    ftp.login("anonymous", "warmup@soak")
    ftp.delete("/pub/warm.bin")
    ftp.quit()


def settled_snapshot(pid, least=3.0, most=12.0):
    """Waits until the descriptor count has held still for a second."""
    start = time.monotonic()
    last = None
    steady_since = None
    while True:
        snap = process_snapshot(pid)
        now = time.monotonic()
        if snap is None:
            return last
        if last is None or snap[0] != last[0]:
            steady_since = now
        last = snap
        if now - start >= least and now - steady_since >= 1.0 or now - start >= most:
            return last
        time.sleep(0.25)


def final_check(soak):
    """A fresh session after the load: the server still logs in and lists."""
    try:
        ftp = ftplib.FTP()
        ftp.connect(HOST, soak.port, timeout=10)
        ftp.login("anonymous", "final@soak")
        names = ftp.nlst("/pub")
        ftp.quit()
        return f"ok ({len(names)} entries in /pub)"
    except Exception as e:
        return f"FAILED: {type(e).__name__}: {e}"


def progress(soak, sampler, fill_note):
    with soak.lock:
        total = sum(soak.done.values())
        failed = sum(soak.codes.values())
        reconnects = sum(soak.reconnects.values())
        verified = soak.bytes_verified
        mismatches = len(soak.mismatches)
    snap = sampler.last or (0, 0)
    log(f"[{soak.elapsed():5.0f}s] ops {total}, verified {human(verified)}, "
        f"mismatches {mismatches}, failed/refused {failed}, reconnects {reconnects}, "
        f"kills {soak.injected['sessions killed'] + soak.injected['sessions killed mid-transfer']}"
        f"+{soak.injected['data connections reset']} data, server fds {snap[0]} "
        f"RSS {snap[1] / 1024:.1f} MiB, TLS close stalls {sum(soak.tls_stalls.values())}"
        f"{fill_note}")


def report(soak, options, start, sampler, end, end_note, final, server_code, stderr_path,
           filler, interrupted):
    out = []
    p = out.append
    tls_clients = sum(1 for c in soak.clients if c.tls)
    p("")
    p(f"== soak: {soak.load_seconds() / 60:.1f} min of load, {options.clients} clients "
      f"({tls_clients} TLS, {options.clients - tls_clients} plain, MODE Z on some plain "
      f"sessions), tmpfs {options.tmpfs_mb} MiB, seed {options.seed}"
      + (" (INTERRUPTED)" if interrupted else ""))
    p("transfers and operations done:")
    for kind, n in sorted(soak.done.items()):
        p(f"  {kind:34} {n:8}")
    p(f"  {'total':34} {sum(soak.done.values()):8}")
    p(f"bytes verified: {human(soak.bytes_verified)} ({soak.bytes_verified} bytes compared "
      f"with what was uploaded); uploaded {human(soak.bytes_uploaded)}")
    p(f"mismatches: {len(soak.mismatches)}")
    for m in soak.mismatches[:20]:
        p("  " + "; ".join(f"{k} {v}" for k, v in m.items()))
    p("refused / failed operations by reply code:")
    for key, n in sorted(soak.codes.items()):
        p(f"  {key:40} {n:8}")
    if not soak.codes:
        p("  none")
    p(f"reconnects: {sum(soak.reconnects.values())}")
    for key, n in sorted(soak.reconnects.items()):
        p(f"  {key:40} {n:8}")
    if soak.failures:
        p("errors that ended a session (not injected):")
        for key, n in soak.failures.most_common():
            p(f"  {n:6} x {key}")
        for example in soak.failure_examples:
            p(f"    e.g. {example}")
    if soak.odd:
        p("odd replies (worth a look):")
        for key, n in soak.odd.most_common():
            p(f"  {n:6} x {key}   e.g. {soak.odd_examples[key]!r}")
    if soak.tls_stalls:
        total = sum(soak.tls_stalls.values())
        p(f"PROT P data connections where the server never answered our close_notify "
          f"(cut off after {CLOSE_NOTIFY_WAIT:.0f} s each): {total}")
        for kind in ("upload", "download", "listing"):
            sizes = sorted((size, n) for (k, size), n in soak.tls_stalls.items() if k == kind)
            if sizes:
                multiple = sum(n for size, n in sizes if size and size % 32768 == 0)
                p(f"  {kind}s: {sum(n for _, n in sizes)} ({multiple} of them a multiple of "
                  f"32 KiB); sizes: " + ", ".join(f"{size}x{n}" for size, n in sizes[:25]))
    p("fault injection:")
    for key, n in sorted(soak.injected.items()):
        p(f"  {key:40} {n:8}")
    for when, written in filler.fills if filler else ():
        p(f"  disk fill at {when:.0f} s: {human(written)} filler, held {options.fill_hold:.0f} s")
    if soak.garbage:
        p("garbage and idle connections, by outcome:")
        for key, n in sorted(soak.garbage.items()):
            p(f"  {n:6} x {key}")
    ok_fds = start is not None and end is not None and end[0] == start[0]
    if start is not None and end is None:
        p(f"server descriptors: start {start[0]}, peak {sampler.peak_fds}, end not taken")
        p(f"server RSS: start {start[1] / 1024:.1f} MiB, peak {sampler.peak_rss / 1024:.1f} "
          f"MiB, end not taken")
    elif start is not None:
        p(f"server descriptors: start {start[0]}, peak {sampler.peak_fds}, end {end[0]} "
          f"(difference {end[0] - start[0]:+d}){end_note}")
        p(f"server RSS: start {start[1] / 1024:.1f} MiB, peak {sampler.peak_rss / 1024:.1f} "
          f"MiB, end {end[1] / 1024:.1f} MiB (difference {(end[1] - start[1]) / 1024:+.1f} "
          f"MiB)")
    p(f"session after the load: {final}")
    alive = not sampler.died
    p(f"server: {'alive through the run' if alive else 'DIED'}"
      + (f", exit status {server_code} after SIGTERM" if server_code is not None else ""))
    text = tail(stderr_path, 10)
    if text.strip():
        p("server stderr (last lines):")
        p("  " + text.replace("\n", "\n  "))
    good = (not soak.mismatches and alive and ok_fds and not interrupted)
    reasons = []
    if soak.mismatches:
        reasons.append(f"{len(soak.mismatches)} mismatches")
    if not alive:
        reasons.append("server died")
    if not ok_fds and end is not None:
        reasons.append("descriptors not back at their start value")
    if interrupted:
        reasons.append("interrupted")
    p("result: " + ("PASS" if good else "FAIL (" + ", ".join(reasons) + ")"))
    print("\n".join(out), flush=True)
    return good


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10, help="length of the load")
    parser.add_argument("--clients", type=int, default=32, help="client threads")
    parser.add_argument("--tmpfs-mb", type=int, default=64, help="size of the shared tmpfs")
    parser.add_argument("--binary", default=DEFAULT_BINARY, help="the server program")
    parser.add_argument("--port", type=int, default=0,
                        help="control port of the server (default: a free one)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: random)")
    parser.add_argument("--no-tls", action="store_true", help="plain sessions only")
    parser.add_argument("--no-fill", action="store_true", help="never fill the disk")
    parser.add_argument("--fill-every", type=float, default=180,
                        help="seconds between disk fills (the first after min(60 s, a third))")
    parser.add_argument("--fill-hold", type=float, default=20, help="seconds a fill is held")
    parser.add_argument("--max-kib", type=int, default=4096, help="largest upload, KiB")
    parser.add_argument("--cmd-delay", type=int, default=1,
                        help="SysCmdTimeout: seconds the server holds the next command after "
                             "an error reply (its default 5 slows the clients a lot)")
    parser.add_argument("--heap-report", action="store_true",
                        help="at start and end, also ask glibc's malloc_stats() through gdb "
                             "(pauses the server for a moment)")
    options = parser.parse_args()
    if options.seed is None:
        options.seed = random.randrange(1, 1 << 30)
    if os.geteuid() != 0:
        sys.exit("soak.py mounts a tmpfs: run it as root")
    if options.clients < 1 or options.clients > 50:
        sys.exit("--clients must be 1..50 (the server takes at most 64 sessions, and the "
                 "injector needs some)")
    binary = os.path.abspath(options.binary)
    duration = options.minutes * 60

    interrupted = False

    def on_signal(number, frame):
        raise KeyboardInterrupt()

    # Also SIGINT: a shell starts background jobs with it ignored, and Python keeps that.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)

    work = tempfile.mkdtemp(prefix="qftp-soak-")
    share = os.path.join(work, "share")
    config = os.path.join(work, "config")
    os.makedirs(share)
    os.makedirs(config)
    mounted = False
    process = None
    soak = None
    threads = []
    sampler = filler = None
    start = end = None
    end_note = ""
    final = "not run"
    server_code = None
    out_path = os.path.join(work, "server.out")
    err_path = os.path.join(work, "server.err")
    good = False
    try:
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={options.tmpfs_mb}m,mode=0755",
                        "soak", share], check=True, capture_output=True)
        mounted = True
        program = os.path.join(work, "quenlowftp")
        copy_binary(binary, program)
        soak = Soak(options, share)
        soak.password = "".join(random.choice(string.ascii_lowercase + string.digits)
                                for _ in range(8))
        run_admin(program, config, "user", "add", "soak", "--password-file", "-", "--rights",
                  "WODR", stdin=soak.password + "\n")
        if not options.no_tls:
            secret = os.path.join(work, "passphrase")
            with open(secret, "w") as f:
                f.write("".join(random.choice(string.ascii_letters) for _ in range(20)) + "\n")
            run_admin(program, config, "cert", "create", "--name", "server", "--cn", HOST,
                      "--days", "30", "--country", "US", "--state", "Ohio", "--org", "Soak",
                      "--passphrase-file", secret, "--enable")
            soak.tls_context = ssl.create_default_context(
                cafile=os.path.join(config, "server.crt"))
        soak.port = options.port or free_port()
        settings = {
            "NetTcpPort": soak.port, "SysRootFolder": share + "/", "SysWelcomeMsgState": "false",
            "SysDeflateState": "true", "NetMaxConnection": min(64, options.clients + 14),
            "NetLoginsPerIp": 64, "SysCmdTimeout": options.cmd_delay, "SysIdleTimeout": 300,
            "AnonWrite": "true", "AnonOverwrite": "true", "AnonDelete": "true",
            "AnonRename": "true",
        }
        args = [program, "--headless", "--config-dir", config]
        for name, value in settings.items():
            args += ["--set", f"{name}={value}"]
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen(args, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                       cwd=work, start_new_session=True)
        if not wait_listening(process, out_path, soak.port):
            raise RuntimeError("server did not start:\n" + tail(out_path) + "\n" + tail(err_path))
        if not options.no_tls and "TLS is not available" in tail(err_path):
            raise RuntimeError("server started without TLS:\n" + tail(err_path))
        log(f"server pid {process.pid} on {HOST}:{soak.port}, share {share} "
            f"(tmpfs {options.tmpfs_mb} MiB), seed {options.seed}, work folder {work}")

        warm_up(soak, options.clients)
        warm_pool(soak, settings["NetMaxConnection"])
        start = settled_snapshot(process.pid)
        log(f"start: server fds {start[0]}, RSS {start[1] / 1024:.1f} MiB")
        log("start: " + memory_report(process.pid, err_path, options.heap_report))

        sampler = Sampler(soak, process)
        sampler.peak_fds, sampler.peak_rss = start
        sampler.start()
        soak.started = time.monotonic()
        soak.clients = [Client(soak, i) for i in range(options.clients)]
        threads = list(soak.clients) + [Injector(soak)]
        if not options.no_fill:
            filler = Filler(soak, duration)
            threads.append(filler)
        for t in threads:
            t.start()

        next_progress = 30
        warned = set()
        while not soak.stop.is_set() and soak.elapsed() < duration:
            soak.stop.wait(1)
            if soak.elapsed() >= next_progress:
                note = ", disk full" if soak.fill_state()[0] else ""
                progress(soak, sampler, note)
                next_progress += 30
            now = time.monotonic()
            for c in soak.clients:
                op, since = c.doing
                if now - since > 90 and (c.index, since) not in warned:
                    warned.add((c.index, since))
                    soak.strange("a client waited more than 90 s in one operation",
                                 f"client {c.index} ({c.describe()}) in {op}")
        soak.stopped = time.monotonic()
        if sampler.died:
            log("SERVER DIED; its stderr ends with:\n" + tail(err_path, 40))
        soak.stop.set()
        deadline = time.monotonic() + TIMEOUT + 30
        for t in threads:
            t.join(max(0.1, deadline - time.monotonic()))
        stuck = [t.name for t in threads if t.is_alive()]
        if stuck:
            soak.strange("threads still busy after the load stopped", ", ".join(stuck))
        if not sampler.died:
            final = final_check(soak)
            time.sleep(5)
            end = process_snapshot(process.pid)
            if end and end[0] != start[0]:
                # Not back yet: keep watching a little to tell slow from never.
                for second in range(1, 21):
                    time.sleep(1)
                    snap = process_snapshot(process.pid)
                    if snap and snap[0] == start[0]:
                        end_note = f" [{end[0]} after 5 s; back to {snap[0]} after {5 + second} s]"
                        end = snap
                        break
                else:
                    end_note = " [still not back 25 s after the load]"
                    end = process_snapshot(process.pid) or end
            log("end: " + memory_report(process.pid, err_path, options.heap_report))
        sampler.halt.set()
    except KeyboardInterrupt:
        interrupted = True
        log("interrupted: stopping")
    except Exception:
        log(traceback.format_exc())
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if soak is not None:
            soak.stopped = soak.stopped or time.monotonic()
            soak.stop.set()
            for t in threads:
                t.join(10)
        if sampler is not None:
            sampler.halt.set()
        if process is not None:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    server_code = process.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    log("server did not stop on SIGTERM within 15 s: killed")
                    process.kill()
                    process.wait()
                    server_code = "killed after SIGTERM timed out"
            elif sampler is not None and sampler.died:
                server_code = process.returncode
        if soak is not None and sampler is not None and start is not None:
            good = report(soak, options, start, sampler, end, end_note, final, server_code,
                          err_path, filler, interrupted)
        elif process is not None and process.poll() is not None and not interrupted:
            log("server stderr:\n" + tail(err_path, 40))
        if mounted:
            for attempt in range(10):
                if subprocess.run(["umount", share], capture_output=True).returncode == 0:
                    break
                time.sleep(0.5)
            else:
                subprocess.run(["umount", "-l", share], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    if interrupted:
        return 130
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
