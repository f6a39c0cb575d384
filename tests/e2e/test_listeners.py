"""Where the server listens: the bind address chosen with NetIp, and the port of implicit TLS."""
import ftplib
import io
import os
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import warnings

from server import Server, client_context, free_port, make_certificate

warnings.simplefilter("ignore", ResourceWarning)


def refused(address, port):
    try:
        socket.create_connection((address, port), timeout=2).close()
    except ConnectionRefusedError:
        return True
    return False


class BindAddress(unittest.TestCase):
    def test_the_chosen_address_serves_control_data_and_console_and_no_other_does(self):
        console = free_port()
        settings = {"NetIp": "127.0.0.2", "SysConsoleState": "true",
                    "SysConsolePort": str(console)}
        with Server(settings, files={"pub/a.txt": b"hello\n"}) as server:
            self.assertTrue(refused("127.0.0.1", server.port))
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.2", server.port, timeout=5)
            ftp.login()
            # The passive listener is on the chosen address too, and says so.
            reply = ftp.sendcmd("PASV")
            numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
            self.assertEqual(numbers[:4], ["127", "0", "0", "2"], reply)
            port = int(numbers[4]) * 256 + int(numbers[5])
            self.assertTrue(refused("127.0.0.1", port))
            socket.create_connection(("127.0.0.2", port), timeout=2).close()
            ftp.sendcmd("NOOP")
            got = io.BytesIO()
            ftp.retrbinary("RETR /pub/a.txt", got.write)
            self.assertEqual(got.getvalue(), b"hello\n")
            ftp.quit()
            # The console listens on the chosen address and, for the machine itself, on
            # 127.0.0.1 as well.
            for address in ("127.0.0.2", "127.0.0.1"):
                socket.create_connection((address, console), timeout=2).close()

    def test_an_address_the_machine_does_not_have_stops_the_start_with_a_reason(self):
        for value in ("192.0.2.1", "not-an-address"):
            with self.assertRaises(RuntimeError) as caught:
                Server({"NetIp": value})
            self.assertIn(f'NetIp is "{value}", which is not an address of this machine',
                          str(caught.exception))


CERT_DIR = tempfile.mkdtemp(prefix="qftp-listeners-cert-")
CERT, KEY = make_certificate(CERT_DIR)


def tls_settings(port, **more):
    return dict({"SSLState": "true", "SSLCertFile": CERT, "SSLKeyFile": KEY,
                 "NetSslPort": str(port)}, **more)


class PortTaken(unittest.TestCase):
    def test_a_taken_port_is_said_in_one_line_with_what_to_do(self):
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            holder.listen()
            port = holder.getsockname()[1]
            with self.assertRaises(RuntimeError) as failed:
                Server({"NetTcpPort": str(port)})
        said = str(failed.exception)
        self.assertIn(f"quenlowftp: Unable to start server! Port {port} is in use by another "
                      "program: stop it, or pick another port with --set NetTcpPort=2121\n", said)


class ImplicitTls(unittest.TestCase):
    def test_curl_downloads_and_uploads_on_the_implicit_port(self):
        port = free_port()
        with Server(tls_settings(port), files={"pub/a.bin": os.urandom(300000)}) as server:
            with open(os.path.join(server.root, "a.bin"), "rb") as f:
                data = f.read()
            base = ["curl", "-s", "-S", "-k", "--max-time", "60"]
            url = f"ftps://127.0.0.1:{port}/pub/"
            got = subprocess.run(base + [url + "a.bin"], capture_output=True, check=True).stdout
            self.assertEqual(got, data)
            source = os.path.join(server.dir, "up.bin")
            with open(source, "wb") as f:
                f.write(data[::-1])
            subprocess.run(base + ["-T", source, url + "up.bin"], check=True)
            with open(os.path.join(server.root, "up.bin"), "rb") as f:
                self.assertEqual(f.read(), data[::-1])

    def test_the_session_is_protected_from_its_first_byte(self):
        port = free_port()
        with Server(tls_settings(port)) as server:
            raw = client_context().wrap_socket(socket.create_connection(("127.0.0.1", port),
                                                                        timeout=5))
            reader = raw.makefile("rb")

            def ask(line):
                raw.sendall(line.encode() + b"\r\n")
                return reader.readline().decode().rstrip()

            self.assertTrue(reader.readline().startswith(b"220 "))
            # Already secure: no second AUTH; PBSZ and PROT as after AUTH TLS.
            self.assertEqual(ask("AUTH TLS")[:4], "431 ")
            self.assertEqual(ask("PBSZ 0"), "200 PBSZ=0.")
            self.assertEqual(ask("PROT P"), "200 Command okay.")
            self.assertEqual(ask("USER anonymous")[:4], "331 ")
            self.assertEqual(ask("PASS a@b")[:4], "230 ")
            raw.close()

    def test_a_plain_client_is_dropped_and_its_slot_comes_back(self):
        port = free_port()
        with Server(tls_settings(port, NetMaxConnection="1")) as server:
            for _ in range(3):
                plain = socket.create_connection(("127.0.0.1", port), timeout=5)
                plain.sendall(b"USER anonymous\r\n")
                started = time.monotonic()
                try:
                    while plain.recv(4096):  # at most a TLS alert, then the end
                        pass
                except ConnectionResetError:
                    # Turned away while the slot was still being given back: closed with our
                    # line unread, which the system answers with a reset. Dropped all the same.
                    pass
                self.assertLess(time.monotonic() - started, 5)
                plain.close()
            # The one slot is free again, on either port.
            time.sleep(0.3)
            tls = client_context().wrap_socket(socket.create_connection(("127.0.0.1", port),
                                                                        timeout=5))
            self.assertTrue(tls.makefile("rb").readline().startswith(b"220 "))
            # While it is taken, a second client is closed on, not sent a plain 421 in the
            # middle of its handshake.
            second = socket.create_connection(("127.0.0.1", port), timeout=5)
            self.assertEqual(second.recv(100), b"")
            second.close()
            tls.close()
            time.sleep(0.3)
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=5)
            self.assertTrue(ftp.getwelcome().startswith("220 "))
            ftp.close()

    def test_no_implicit_port_without_tls_or_with_the_port_switched_off(self):
        for settings in ({"NetSslPort": None}, {"NetSslPortState": "false"}):
            port = free_port()
            chosen = tls_settings(port, **{k: v for k, v in settings.items() if v})
            if "NetSslPortState" not in settings:
                chosen["SSLState"] = "false"
            with Server(chosen):
                self.assertTrue(refused("127.0.0.1", port), settings)


if __name__ == "__main__":
    unittest.main()
