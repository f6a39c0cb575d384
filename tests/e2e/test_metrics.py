"""The Prometheus endpoint: nothing unless NetMetricsPort names a port; then /metrics counts
what the server did, in a text that Prometheus's own checker (promtool) accepts."""

import ftplib
import io
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from server import Raw, Server, anonymous_ftp, free_port, make_certificate, wait_until

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CERT_DIR = tempfile.mkdtemp(prefix="qftp-metrics-cert-")
CERT, KEY = make_certificate(CERT_DIR)


def promtool():
    found = shutil.which("promtool") or os.path.join(REPO, ".tools", "bin", "promtool")
    if not os.access(found, os.X_OK):
        raise AssertionError("promtool is missing: scripts/deps.sh unpacks it into .tools/bin")
    return found


def fetch(port, path="/metrics", method="GET"):
    """curl's view of one request: (status, content type, body)."""
    done = subprocess.run(["curl", "-sS", "-X", method, "-w", "\n%{http_code} %{content_type}",
                           f"http://127.0.0.1:{port}{path}"],
                          capture_output=True, text=True, timeout=20)
    body, _, tail = done.stdout.rpartition("\n")
    status, _, content_type = tail.partition(" ")
    return status, content_type, body + "\n" if body else ""


def value(text, series):
    """The value of one series (name with its labels, as written), or None."""
    for line in text.splitlines():
        if line.startswith(series + " "):
            return float(line.split(" ")[1])
    return None


class MetricsTest(unittest.TestCase):
    def setUp(self):
        self.metrics_port = free_port()
        self.server = Server({"NetMetricsPort": str(self.metrics_port), "NetLoginsPerIp": "2",
                              "SysSessionLoops": "2", "SSLState": "true",
                              "SSLCertFile": CERT, "SSLKeyFile": KEY, "NetSslPortState": "false"})
        self.addCleanup(self.server.stop)

    def metrics(self):
        status, _, body = fetch(self.metrics_port)
        self.assertEqual(status, "200")
        return body

    def test_a_scrape_counts_sessions_logins_transfers_refusals_and_handshakes(self):
        line = self.server.stderr_line_with("metrics")
        self.assertIn(f"metrics for Prometheus at http://127.0.0.1:{self.metrics_port}/metrics",
                      line)
        first = self.metrics()
        self.assertEqual(value(first, "quenlowftp_listening"), 1)
        self.assertEqual(value(first, "quenlowftp_sessions_total"), 0)
        for loop in ("main", "1", "2"):
            self.assertIsNotNone(value(first, f'quenlowftp_loop_busy_seconds_total{{loop="{loop}"}}'))

        # An upload over explicit TLS (control and data handshakes), then a plain download.
        data = os.urandom(300000)
        source = os.path.join(self.server.dir, "up.bin")
        with open(source, "wb") as f:
            f.write(data)
        done = subprocess.run(["curl", "-sS", "--ssl-reqd", "-k", "-T", source,
                               "--user", "anonymous:a@b",
                               f"ftp://127.0.0.1:{self.server.port}/pub/up.bin"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        ftp = anonymous_ftp(self.server)
        got = io.BytesIO()
        ftp.retrbinary("RETR pub/up.bin", got.write)
        self.assertEqual(got.getvalue(), data)
        # A wrong password, and a third session from the address (the limit is two).
        other = ftplib.FTP()
        other.connect("127.0.0.1", self.server.port, timeout=20)
        with self.assertRaises(ftplib.error_perm):
            other.login("nobody", "wrong")
        other.close()
        wait_until(lambda: value(self.metrics(), "quenlowftp_sessions_active") == 1)
        second = anonymous_ftp(self.server)
        third = Raw(self.server.port)
        self.assertTrue(third.closed_without_reply())
        third.close()
        # A control connection whose TLS handshake gets junk.
        ftp.quit()
        second.quit()
        wait_until(lambda: value(self.metrics(), "quenlowftp_sessions_active") == 0)
        raw = Raw(self.server.port)
        raw.line()
        raw.send("AUTH TLS")
        self.assertTrue(raw.line().startswith("234"))
        raw.sock.sendall(b"\x16\x03\x01\x00\x05junk!" + b"\0" * 64)
        raw.closed_without_reply()
        raw.close()

        text = wait_until(lambda: (lambda t: t if value(
            t, 'quenlowftp_tls_handshakes_total{connection="control",result="failed"}') == 1
            and value(t, "quenlowftp_sessions_active") == 0 else None)(self.metrics()))
        self.assertIsNotNone(text, self.metrics())
        expect = {
            'quenlowftp_logins_total{result="ok"}': 3,
            'quenlowftp_logins_total{result="failed"}': 1,
            'quenlowftp_transfers_total{direction="upload",result="ok"}': 1,
            'quenlowftp_transfers_total{direction="download",result="ok"}': 1,
            'quenlowftp_transfers_total{direction="upload",result="failed"}': 0,
            'quenlowftp_refused_connections_total{reason="per_address_limit"}': 1,
            'quenlowftp_refused_connections_total{reason="busy"}': 0,
            'quenlowftp_tls_handshakes_total{connection="control",result="ok"}': 1,
            'quenlowftp_tls_handshakes_total{connection="data",result="ok"}': 1,
            'quenlowftp_tls_handshakes_total{connection="control",result="failed"}': 1,
            "quenlowftp_sessions_total": 5,
            "quenlowftp_sessions_active": 0,
            "quenlowftp_session_slots": 16,
        }
        for series, wanted in expect.items():
            self.assertEqual(value(text, series), wanted, series + "\n" + text)
        # The files' bytes (listings are not counted).
        self.assertEqual(value(text, "quenlowftp_received_bytes_total"), len(data))
        self.assertEqual(value(text, "quenlowftp_sent_bytes_total"), len(data))
        ended = sum(value(text, f'quenlowftp_sessions_ended_total{{reason="{r}"}}')
                    for r in ("client", "idle", "failed_logins", "shutdown", "error", "other"))
        self.assertEqual(ended, 5)
        self.assertGreater(value(text, 'quenlowftp_loop_busy_seconds_total{loop="main"}'), 0)
        busy = sum(value(text, f'quenlowftp_loop_busy_seconds_total{{loop="{k}"}}')
                   for k in ("1", "2"))
        self.assertGreater(busy, 0)

        checked = subprocess.run([promtool(), "check", "metrics"], input=text,
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertEqual(checked.stdout + checked.stderr, "")

    def test_other_paths_and_methods_and_a_stopped_server(self):
        status, content_type, body = fetch(self.metrics_port)
        self.assertEqual((status, content_type), ("200", "text/plain; version=0.0.4; charset=utf-8"))
        self.assertIn("# TYPE quenlowftp_sessions_total counter\n", body)
        self.assertEqual(fetch(self.metrics_port, "/")[0], "200")
        self.assertEqual(fetch(self.metrics_port, "/nothing")[0], "404")
        self.assertEqual(fetch(self.metrics_port, method="POST")[0], "405")
        head = subprocess.run(["curl", "-sSI", f"http://127.0.0.1:{self.metrics_port}/metrics"],
                              capture_output=True, text=True, timeout=20)
        self.assertIn("200", head.stdout.splitlines()[0])

    def test_a_taken_port_is_reported_and_the_server_serves_without_it(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            taken = holder.getsockname()[1]
            server = Server({"NetMetricsPort": str(taken)})
            try:
                line = server.stderr_line_with("metrics")
                self.assertIn(f"No metrics endpoint on 127.0.0.1:{taken}: ", line)
                anonymous_ftp(server).quit()
            finally:
                self.assertEqual(server.stop(), 0)


class MetricsOffTest(unittest.TestCase):
    def test_without_the_setting_nothing_listens_and_nothing_is_said(self):
        server = Server({"LogInfoMsg": "true"})
        try:
            anonymous_ftp(server).quit()
        finally:
            server.process.terminate()
            _, err = server.process.communicate(timeout=10)
            server.stop()
        self.assertNotIn("metrics", err)


if __name__ == "__main__":
    unittest.main()
