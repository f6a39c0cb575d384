#!/usr/bin/env python3
"""What resuming the control connection's TLS session saves on data connections: one
logged-in client (Python's ftplib with PROT P) fetches small files one after the other, once
offering the control connection's session on every data connection, as FileZilla, lftp and
curl do, and once not (a full handshake each time, which is what every data connection cost
before the server kept sessions). Prints files per second and the server's CPU time per file
(user + system, from /proc) for each, in interleaved rounds.

    python3 bench/tls_resume.py [--files 200] [--bytes 16384] [--rounds 3]
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import test_tls_reuse as tls  # noqa: E402  (the resuming client and a test certificate)
from log_cost import cpu_seconds  # noqa: E402
from server import Server  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--bytes", type=int, default=16384)
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    files = {f"pub/s{i:04}.bin": os.urandom(options.bytes) for i in range(options.files)}
    server = Server({"SSLState": "true", "SSLCertFile": tls.CERT, "SSLKeyFile": tls.KEY},
                    files=files)
    try:
        print(f"{options.files} files x {options.bytes} B over one PROT P session, "
              f"{options.rounds} rounds")
        for _ in range(options.rounds):
            for resume in (True, False):
                ftp = tls.secure(server, resume=resume)
                cpu, started = cpu_seconds(server.process.pid), time.monotonic()
                for i in range(options.files):
                    ftp.retrbinary(f"RETR /pub/s{i:04}.bin", lambda data: None)
                elapsed = time.monotonic() - started
                cpu = cpu_seconds(server.process.pid) - cpu
                print(f"{'resumed' if resume else 'full handshake':15} "
                      f"{sum(ftp.resumed):5}/{options.files} resumed {options.files / elapsed:7.0f} "
                      f"files/s  server CPU {cpu * 1000 / options.files:.2f} ms/file")
                ftp.quit()
    finally:
        server.stop()
        tls.tearDownModule()


if __name__ == "__main__":
    main()
