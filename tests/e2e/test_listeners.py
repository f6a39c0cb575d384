"""Where the server listens: the bind address chosen with NetIp."""
import ftplib
import io
import socket
import unittest
import warnings

from server import Server, free_port

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


if __name__ == "__main__":
    unittest.main()
