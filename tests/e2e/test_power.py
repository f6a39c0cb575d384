"""The power scheme against a mock logind on a private system bus: the idle inhibitor lock is
held exactly while "PowerSaveOpt" asks the machine to stay awake."""

import ftplib
import subprocess
import time
import unittest

import dbusmock

from server import Server

MANAGER = "org.freedesktop.login1.Manager"


class PowerScheme(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()  # the server inherits DBUS_SYSTEM_BUS_ADDRESS

    def start_logind(self, action="suspend", seconds=3):
        self.mock, self.logind = self.spawn_server_template(
            "logind", {"IdleAction": action, "IdleActionUSec": seconds * 1000000},
            stdout=subprocess.DEVNULL)
        self.addCleanup(self.stop_logind)

    def stop_logind(self):
        self.mock.terminate()
        self.mock.wait()

    def ours(self):
        return [i for i in self.logind.ListInhibitors(dbus_interface=MANAGER)
                if str(i[1]) == "Quenlow FTP"]

    def wait_for(self, held, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if bool(self.ours()) == held:
                return True
            time.sleep(0.2)
        return bool(self.ours()) == held

    def test_always_on_holds_an_idle_lock_until_the_server_ends(self):
        self.start_logind()
        server = Server({"PowerSaveOpt": "2"})
        try:
            self.assertTrue(self.wait_for(True, 5))
            what, who, why, mode = (str(x) for x in self.ours()[0][:4])
            self.assertEqual((what, who, mode), ("idle", "Quenlow FTP", "block"))
        finally:
            server.stop()
        self.assertTrue(self.wait_for(False, 3))

    def test_keep_alive_for_users_holds_the_lock_only_while_a_client_is_there(self):
        self.start_logind()
        with Server({"PowerSaveOpt": "1"}) as server:
            time.sleep(4.5)  # two steps of the 2 s timer with no session
            self.assertEqual(self.ours(), [])
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=10)
            ftp.login("anonymous", "power@test")
            self.assertTrue(self.wait_for(True, 5))
            ftp.quit()
            self.assertTrue(self.wait_for(False, 6))

    def test_no_step_without_an_idle_timeout_over_one_second(self):
        for action, seconds in (("suspend", 1), ("ignore", 3)):
            with self.subTest(action=action, seconds=seconds):
                self.start_logind(action, seconds)
                with Server({"PowerSaveOpt": "2"}):
                    time.sleep(4.5)
                    self.assertEqual(self.ours(), [])
                self.stop_logind()
                self._cleanups.pop()

    def test_standard_settings_never_hold_the_lock(self):
        self.start_logind()
        with Server({"PowerSaveOpt": "0"}) as server:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=10)
            ftp.login("anonymous", "power@test")
            time.sleep(4.5)
            self.assertEqual(self.ours(), [])
            ftp.quit()


if __name__ == "__main__":
    unittest.main()
