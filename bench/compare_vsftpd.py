#!/usr/bin/env python3
"""Measures this server and vsftpd side by side on loopback with curl.

Both servers share the same kind of folder (one large file, many small files) and are driven
by the same curl command lines, one server after the other, so the figures compare like with
like. Prints one table: each line's figure for both servers and the ratio ours / vsftpd.
Started by bench/compare.sh, which builds the program and installs vsftpd first.
"""

import argparse
import ftplib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.join(HERE, "..", "build", "quenlowftp")
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from server import free_port, make_certificate  # noqa: E402
from compare_peers import start_vsftpd, wait_for_port  # noqa: E402


class Ours:
    name = "quenlowftp"
    binary = BINARY
    extra = {}  # settings of this column only

    def __init__(self, work, root, tls):
        self.port = free_port()
        self.config = os.path.join(work, self.name + "-config")
        os.makedirs(self.config)
        settings = {"NetTcpPort": self.port, "SysRootFolder": root + "/", "SysCmdTimeout": 0,
                    "SysWelcomeMsgState": "false", "NetMaxConnection": 64,
                    "NetLoginsPerIp": 64, "SysDeflateState": "true",
                    "AnonOverwrite": "true", "AnonWrite": "true"}
        if tls:
            cert, key = tls
            settings.update({"SSLState": "true", "SSLCertFile": cert, "SSLKeyFile": key})
        settings.update(self.extra)
        args = [self.binary, "--headless", "--config-dir", self.config]
        for name, value in settings.items():
            args += ["--set", f"{name}={value}"]
        # The log goes to a file, as the journal would take it: a pipe nobody reads would
        # measure a stuck log instead.
        self.log = open(os.path.join(work, self.name + ".log"), "ab")
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=self.log)
        wait_for_port(self.port, self.process)
        self.base = f"ftp://127.0.0.1:{self.port}/pub/"

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=20)
        self.log.close()


class Vsftpd:
    name = "vsftpd"

    def __init__(self, work, root, tls):
        self.port = free_port()
        self.process = start_vsftpd(work, self.port, os.path.dirname(root), tls)
        self.base = f"ftp://127.0.0.1:{self.port}/pub/"

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


CURL = ["curl", "-s", "-S", "--no-progress-meter", "--user", "anonymous:bench@example.org", "--max-time", "600"]


def timed(args):
    start = time.perf_counter()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def download(server, name, size, tls=False, extra=()):
    args = CURL + (["--ssl-reqd", "-k"] if tls else []) + list(extra)
    return size / timed(args + ["-o", "/dev/null", server.base + name]) / 1e6


def upload(server, source, size):
    name = f"upload-{server.name}.bin"
    os.sync()  # no writeback of earlier files competes with this one
    rate = size / timed(CURL + ["-T", source, server.base + name]) / 1e6
    target = os.path.join(os.path.dirname(source), "pub", name)
    if os.path.getsize(target) != size:
        raise RuntimeError(f"{server.name}: upload arrived incomplete")
    os.remove(target)
    return rate


def small_files(server, count, parallel):
    """count files fetched by one curl with up to `parallel` transfers (and connections) at once."""
    config = os.path.join(tempfile.gettempdir(), f"qftp-bench-{os.getpid()}.curl")
    with open(config, "w") as f:
        for n in range(count):
            f.write(f'url = "{server.base}small/f{n:04}.bin"\noutput = "/dev/null"\n')
    try:
        elapsed = timed(CURL + ["-Z", "--parallel-max", str(parallel), "-K", config])
    finally:
        os.remove(config)
    # An older build returns a closed session to its pool only about a second later.
    time.sleep(1.5)
    return count / elapsed


def mode_z_download(server, name, size):
    """MODE Z through a raw session: the compressed bytes are inflated here with zlib."""
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=60)
    ftp.login("anonymous", "bench@example.org")
    ftp.voidcmd("TYPE I")
    ftp.voidcmd("MODE Z")
    inflater = zlib.decompressobj()
    counts = [0, 0]

    def take(block):
        counts[0] += len(block)
        counts[1] += len(inflater.decompress(block))

    start = time.perf_counter()
    ftp.retrbinary("RETR /pub/" + name, take, blocksize=262144)
    elapsed = time.perf_counter() - start
    ftp.quit()
    if counts[1] != size:
        raise RuntimeError("MODE Z download inflated to the wrong size")
    return size / elapsed / 1e6, size / counts[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=1024, help="size of the large file")
    parser.add_argument("--small", type=int, default=1000, help="number of small files")
    parser.add_argument("--small-bytes", type=int, default=4096, help="size of a small file")
    parser.add_argument("--parallel", type=int, default=16, help="parallel small-file clients")
    parser.add_argument("--runs", type=int, default=3, help="runs per line (best is kept)")
    parser.add_argument("--deflate-mib", type=int, default=256,
                        help="size of the compressible file for MODE Z")
    parser.add_argument("--no-tls", action="store_true", help="leave out the TLS (PROT P) line")
    parser.add_argument("--baseline", metavar="BINARY",
                        help="also measure another build of this program (e.g. an older commit) "
                             "in the same run, as a column of its own")
    parser.add_argument("--baseline-set", metavar="NAME=VALUE", action="append", default=[],
                        help="a setting for the baseline column only (repeatable), e.g. "
                             "--baseline BINARY --baseline-set LogInfoMsg=true to measure the "
                             "cost of a setting")
    options = parser.parse_args()
    kinds = [Ours]
    if options.baseline:
        class Baseline(Ours):
            name = "baseline"
            binary = os.path.abspath(options.baseline)
            extra = dict(pair.split("=", 1) for pair in options.baseline_set)
        kinds.append(Baseline)
    kinds.append(Vsftpd)

    work = tempfile.mkdtemp(prefix="qftp-bench-")
    try:
        root = os.path.join(work, "pub")
        os.makedirs(os.path.join(root, "small"))
        os.chmod(root, 0o777)
        size = options.mib * 1024 * 1024
        big = os.path.join(work, "big.bin")
        block = os.urandom(1024 * 1024)
        with open(big, "wb") as f:
            for _ in range(options.mib):
                f.write(block)
        os.link(big, os.path.join(root, "big.bin"))
        for n in range(options.small):
            with open(os.path.join(root, "small", f"f{n:04}.bin"), "wb") as f:
                f.write(os.urandom(options.small_bytes))
        text_size = options.deflate_mib * 1024 * 1024
        with open(os.path.join(root, "text.txt"), "wb") as f:
            line = b"%08d the quick brown fox jumps over the lazy dog, again and again\n"
            written, n = 0, 0
            while written < text_size:
                chunk = b"".join(line % (n + i) for i in range(4096))[:text_size - written]
                f.write(chunk)
                written += len(chunk)
                n += 4096
        tls = None if options.no_tls else make_certificate(work)
        os.sync()

        results = {}
        for kind in kinds:
            server = kind(work, root, tls)
            try:
                figures = results.setdefault(kind.name, {})

                def best(label, measure, unit):
                    figures[label] = (max(measure() for _ in range(options.runs)), unit)

                best(f"download {options.mib} MiB", lambda: download(server, "big.bin", size),
                     "MB/s")
                best(f"upload {options.mib} MiB", lambda: upload(server, big, size), "MB/s")
                best(f"{options.small} files x {options.small_bytes} B, "
                     f"{options.parallel} parallel",
                     lambda: small_files(server, options.small, options.parallel), "files/s")
                if tls:
                    best(f"download {options.mib} MiB, TLS (PROT P)",
                         lambda: download(server, "big.bin", size, tls=True), "MB/s")
                if issubclass(kind, Ours):
                    rate, ratio = mode_z_download(server, "text.txt", text_size)
                    figures[f"MODE Z download {options.deflate_mib} MiB text"] = (rate, "MB/s")
                    figures["MODE Z compression ratio"] = (ratio, ":1")
            finally:
                server.stop()

        ours, theirs = results["quenlowftp"], results["vsftpd"]
        base = results.get("baseline")
        head = f"{'line':48} {'quenlowftp':>14}"
        if base is not None:
            head += f" {'baseline':>14} {'/base':>7}"
        print(head + f" {'vsftpd':>14} {'ratio':>7}")

        def column(other, value, unit):
            if not other:
                return f" {'-':>14} {'':>7}"
            return f" {other[0]:9.1f} {unit:4} {value / other[0]:7.2f}"
        for label, (value, unit) in ours.items():
            line = f"{label:48} {value:9.1f} {unit:4}"
            if base is not None:
                line += column(base.get(label), value, unit)
            print(line + column(theirs.get(label), value, unit))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
