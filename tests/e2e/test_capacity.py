"""How many clients the server takes at once: pools far beyond the old 64, and 0 as a pause."""

import os
import resource
import selectors
import socket
import struct
import time
import unittest
import zlib

from server import Server, login_when_free


def greetings(port, count, seconds=60):
    """Connects count clients at once, each from an address of its own in 127.0.0.0/8 (so no
    per-address limit applies), and returns the first reply line of each, by reply code."""
    clients, codes = [], {}
    selector = selectors.DefaultSelector()
    try:
        for i in range(count):
            client = socket.socket()
            clients.append(client)
            client.bind((f"127.2.{i // 250}.{i % 250 + 1}", 0))
            client.setblocking(False)
            client.connect_ex(("127.0.0.1", port))
            selector.register(client, selectors.EVENT_READ, bytearray())
        deadline = time.monotonic() + seconds
        waiting = count
        while waiting and time.monotonic() < deadline:
            for key, _ in selector.select(1):
                chunk = key.fileobj.recv(512)
                key.data.extend(chunk)
                if not chunk or b"\r\n" in key.data:
                    code = bytes(key.data[:3]).decode() or "closed"
                    codes[code] = codes.get(code, 0) + 1
                    selector.unregister(key.fileobj)
                    waiting -= 1
        if waiting:
            codes["none"] = waiting
        return codes
    finally:
        selector.close()
        # A reset, not a close: thousands of closes would leave their ports in TIME_WAIT, and
        # a server of a later test that takes one of them cannot listen on it for a minute.
        reset = struct.pack("ii", 1, 0)
        for client in clients:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, reset)
            client.close()


class ManyClients(unittest.TestCase):
    def test_two_thousand_clients_at_once_are_all_greeted(self):
        count = 2000
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        wanted = count + 256
        if hard != resource.RLIM_INFINITY and hard < wanted:
            self.skipTest(f"the descriptor limit ({hard}) holds fewer than {count} clients")
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))
        try:
            with Server({"NetMaxConnection": "2500"}) as server:
                self.assertEqual(greetings(server.port, count), {"220": count})
                # All of them gone, the pool serves again.
                self.assertEqual(greetings(server.port, 50), {"220": 50})
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))

    def test_a_pool_of_none_answers_every_client_421_and_negative_reads_as_none(self):
        for value in ("0", "-5"):
            with Server({"NetMaxConnection": value}) as server:
                self.assertEqual(greetings(server.port, 20), {"421": 20}, value)
                if value == "-5":
                    line = server.stderr_line_with("NetMaxConnection")
                    self.assertIn('--set NetMaxConnection="-5" is out of range; 0 (the lowest) '
                                  "is used", line)


class ReusedSlots(unittest.TestCase):
    def test_a_slot_that_gave_its_memory_back_serves_the_next_client_whole(self):
        """A slot gives its buffers and compression state back when its client leaves, and
        takes them again for the next: the same slot serves three clients in turn."""
        data = os.urandom(300_000)
        settings = {"NetMaxConnection": "1", "SysDeflateState": "true"}
        with Server(settings, files={"pub/f.bin": data}) as server:
            for client in range(3):
                ftp = login_when_free(server)
                ftp.voidcmd("TYPE I")
                if client == 1:  # the state is made for the option as for the mode
                    self.assertEqual(ftp.voidcmd("OPTS MODE Z LEVEL 9")[:3], "200")
                ftp.voidcmd("MODE Z")
                inflater, packed = zlib.decompressobj(), []
                ftp.retrbinary("RETR /pub/f.bin", packed.append)
                self.assertTrue(inflater.decompress(b"".join(packed)) == data, client)
                conn = ftp.transfercmd(f"STOR /pub/up{client}")
                conn.sendall(zlib.compress(data))
                conn.close()
                self.assertEqual(ftp.voidresp(), "226 Closing data connection.")
                ftp.voidcmd("MODE S")
                self.assertIn("f.bin", ftp.nlst("/pub"))
                got = bytearray()
                ftp.retrbinary(f"RETR /pub/up{client}", got.extend)
                self.assertTrue(bytes(got) == data, client)
                ftp.quit()


if __name__ == "__main__":
    unittest.main()
