"""Starts the real server on loopback for a test and stops it with SIGTERM."""

import filecmp
import os
import random
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import time

BINARY = os.environ.get("QFTP_BINARY", os.path.join(os.path.dirname(__file__), "..", "..",
                                                    "build", "quenlowftp"))


def free_port():
    """A port nobody listens on now, below the system's ephemeral range (32768 and up), where
    the client side of any test's connection could take it before our server binds it."""
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def password_file(path, accounts):
    """Writes the password file: version 1, count, 88-byte UTF-16LE records."""
    data = bytearray(b"\x01\x00\x00\x00") + struct.pack("<I", len(accounts))
    for name, password, rights in accounts:
        data += name.encode("utf-16-le").ljust(66, b"\0")[:66]
        data += password.encode("utf-16-le").ljust(18, b"\0")[:18]
        data += struct.pack("<I", rights)
    with open(path, "wb") as f:
        f.write(data)


def make_certificate(folder):
    """A self-signed certificate and key for 127.0.0.1; returns the two paths."""
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def end_process(process, seconds=10):
    """SIGTERM, then SIGKILL after seconds; False when it had to be killed."""
    if process.poll() is not None:
        return True
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=seconds)
        return True
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return False


class Server:
    def __init__(self, settings=None, accounts=None, files=None, display=None):
        self.dir = tempfile.mkdtemp(prefix="qftp-e2e-")
        self.config = os.path.join(self.dir, "config")
        self.root = os.path.join(self.dir, "pub")
        os.makedirs(self.config)
        os.makedirs(self.root)
        self.port = free_port()
        values = {"NetTcpPort": str(self.port), "SysCmdTimeout": "0",
                  "SysRootFolder": self.root + "/", "SysWelcomeMsgState": "false"}
        if accounts is not None:
            values["PasswordFile"] = os.path.join(self.config, "users.dat")
            password_file(values["PasswordFile"], accounts)
        for name, content in (files or {}).items():
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(content)
        values.update({k: v.replace("{dir}", self.dir) for k, v in (settings or {}).items()})
        # With a display the program opens its windows there; otherwise it runs headless.
        self.env = None
        if display is None:
            self.args = [BINARY, "--headless", "--config-dir", self.config]
        else:
            self.args = [BINARY, "--config-dir", self.config]
            self.env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=self.dir)
            self.env.pop("WAYLAND_DISPLAY", None)
            self.env.pop("QT_QPA_PLATFORM", None)
        for name, value in values.items():
            self.args += ["--set", f"{name}={value}"]
        self.start()

    def start(self):
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=self.env)
        # The program first says whether it opens windows.
        self.mode = self.process.stderr.readline()
        line = self.listening = self.process.stdout.readline()
        if "listening" not in line:
            self.process.wait(timeout=10)
            said = line + self.process.stderr.read()
            self.stop()
            raise RuntimeError("server did not start: " + said)

    def stderr_line_with(self, text, most=50):
        """Reads stderr up to the first line that holds text (log lines may come before it);
        returns that line, or the last one read."""
        line = ""
        for _ in range(most):
            line = self.process.stderr.readline()
            if text in line or not line:
                break
        return line

    def restart(self):
        """Stops the program and starts it again on the same folders and port."""
        self.stop(keep=True)
        self.start()

    def stop(self, keep=False):
        if not end_process(self.process):
            raise RuntimeError("the server did not end within 10 s of SIGTERM; killed")
        code = self.process.returncode
        self.process.stdout.close()
        self.process.stderr.close()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def client_context():
    """A TLS client context that takes the tests' self-signed certificates."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def wait_until(check, seconds=10):
    """Calls check every tenth of a second until it gives something true; its last value."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    return check()


def admin(config, *args, stdin=subprocess.DEVNULL):
    """Runs one administration command; returns (status, stdout, stderr)."""
    done = subprocess.run([BINARY, "--config-dir", config, *args], stdin=stdin,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def login(port, user, password, host="127.0.0.1"):
    """An ftplib client logged in as user."""
    import ftplib
    ftp = ftplib.FTP()
    ftp.connect(host, port, timeout=20)
    ftp.login(user, password)
    return ftp


def anonymous_ftp(server):
    """An ftplib client logged in as anonymous."""
    import ftplib
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=20)
    ftp.login("anonymous", "t@e")
    return ftp


def login_when_free(server, seconds=10):
    """A login as soon as the pool has a free slot (a slot comes back once the events of its
    last client are handled, or at a tick)."""
    import ftplib
    deadline = time.monotonic() + seconds
    while True:
        try:
            return anonymous_ftp(server)
        except ftplib.error_temp:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


class Raw:
    """A control connection on a plain socket: lines in, lines out."""

    def __init__(self, port, timeout=5, source=None, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.buffer = b""

    def send(self, line):
        self.sock.sendall(line.encode("latin-1") + b"\r\n")

    def line(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def closed_without_reply(self):
        try:
            data = self.sock.recv(4096)
        except ConnectionResetError:
            return True
        return data == b""

    def close(self):
        self.sock.close()

    __del__ = close


def logged_in(server):
    """A raw control connection logged in as anonymous."""
    raw = Raw(server.port)
    raw.line()
    for line in ("USER anonymous", "PASS a@b"):
        raw.send(line)
        raw.line()
    return raw


def whole_reply(raw):
    """A whole reply, multi-line ones included, as a list of lines."""
    lines = [raw.line()]
    if lines[0][3:4] == "-":
        while not (lines[-1][:3] == lines[0][:3] and lines[-1][3:4] == " "):
            lines.append(raw.line())
    return lines


def ask(raw, line):
    raw.send(line)
    return whole_reply(raw)


def same_tree(test, one, other, count):
    """Every file under one has a byte-identical twin under other, and there are count."""
    seen = 0
    for folder, _, files in os.walk(one):
        twin = os.path.join(other, os.path.relpath(folder, one))
        match, mismatch, errors = filecmp.cmpfiles(folder, twin, files, shallow=False)
        test.assertEqual((mismatch, errors), ([], []), twin)
        seen += len(match)
    test.assertEqual(seen, count)


def read_until(fd, marker, seconds=15):
    """What a pseudo-terminal shows until marker (None: until it closes) or seconds pass."""
    import select
    seen = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and (marker is None or marker not in seen):
        ready, _, _ = select.select([fd], [], [], 0.2)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    return seen
