import re
import socket
import unittest
import warnings

from server import Raw, Server

warnings.simplefilter("ignore", ResourceWarning)


def logged_in(server):
    raw = Raw(server.port)
    raw.line()
    raw.send("USER anonymous")
    raw.line()
    raw.send("PASS a@b")
    raw.line()
    return raw


class DataConnectionSetUp(unittest.TestCase):
    def test_port_and_eprt_replies(self):
        with Server() as server:
            raw = logged_in(server)
            for line, reply in [
                    ("PORT 127,0,0,1,0,20", "200 Command okay."),
                    ("PORT 127,0,0,1,0,21", "200 Command okay."),
                    ("PORT 127,0,0,1,3,255", "504 Command not implemented for that parameter."),
                    ("PORT 127,0,0,1,4,0", "200 Command okay."),
                    ("PORT 127, 0, 0, 1, 4, 1", "200 Command okay."),
                    ("PORT 1,2,3,4,5", "501 Syntax error in parameters or arguments."),
                    ("PORT 127,0,,1,4,1", "501 Syntax error in parameters or arguments."),
                    ("PORT 10,9,8,7,4,1", "534 Request denied for policy reasons."),
                    ("EPRT |2|::1|5000|", "522 Network protocol not supported, use (1)."),
                    ("EPRT |3|1.2.3.4|5000|", "501 Syntax error in parameters or arguments."),
                    ("EPRT |1|1.2.3.4|0|", "501 Syntax error in parameters or arguments."),
                    ("EPRT |1|127.0.0.1|5000|", "200 Command okay."),
                    ("EPRT |1|192.0.2.1|5000|", "534 Request denied for policy reasons.")]:
                raw.send(line)
                self.assertEqual(raw.line(), reply, line)

    def test_passive_modes(self):
        with Server() as server:
            raw = logged_in(server)
            raw.send("PASV")
            reply = raw.line()
            match = re.fullmatch(r"227 Entering passive mode \(127,0,0,1,(\d+),(\d+)\)\.", reply)
            self.assertIsNotNone(match, reply)
            port = int(match.group(1)) * 256 + int(match.group(2))
            self.assertTrue(1500 <= port <= 1999)
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            raw.send("EPSV 2")
            self.assertEqual(raw.line(), "522 Network protocol not supported, use (1).")
            raw.send("EPSV 12")
            self.assertEqual(raw.line(), "501 Syntax error in parameters or arguments.")
            raw.send("EPSV 1")
            self.assertRegex(raw.line(), r"^229 Entering extended passive mode \(\|\|\|\d+\|\)\.$")
            raw.send("EPSV ALL")
            self.assertEqual(raw.line(), "200 EPSV ALL command successful.")
            raw.send("PASV")
            self.assertEqual(raw.line(), "501 PASV not allowed after EPSV ALL.")
            raw.send("PORT 127,0,0,1,4,0")
            self.assertEqual(raw.line(), "501 PORT not allowed after EPSV ALL.")
            raw.send("EPSV")
            self.assertRegex(raw.line(), r"^229 ")

    def test_fixed_address_and_active_mode_switched_off(self):
        with Server({"NetFixIPState": "true", "NetFixIPAddress": "192.0.2.7"}) as server:
            raw = logged_in(server)
            raw.send("PASV")
            self.assertRegex(raw.line(), r"^227 Entering passive mode \(192,0,2,7,\d+,\d+\)\.$")
        with Server({"NetFixIPState": "true", "NetFixIPAddress": ""}) as server:
            raw = logged_in(server)
            raw.send("PASV")
            self.assertRegex(raw.line(), r"^227 Entering passive mode \(127,0,0,1,")


if __name__ == "__main__":
    unittest.main()
