"""The program's windows on a real X server (Xvfb): the main window with two clients, one of
them over TLS, as the X server shows it; the notification icon that brings the hidden window
back when clicked; and the window that stays shown on a desktop without a notification area."""

import ftplib
import os
import shutil
import ssl
import subprocess
import time
import unittest

from server import BINARY, Server, make_certificate, wait_until

# The two client icons share the screen's blue; only the secure one has the lock's gold.
SCREEN_BLUE = (70, 130, 200)
LOCK_GOLD = (230, 180, 40)
MAIN_WINDOW_SIZE = (380, 420)
SCREENSHOT = os.path.join(os.path.dirname(os.path.abspath(BINARY)), "tests",
                          "main-window-two-clients.png")


class Desktop:
    """An Xvfb of its own, optionally with trayer as the notification area."""

    def __init__(self, tray):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.tray = None
        if tray:
            self.tray = subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--width", "10", "--height",
                 "24", "--SetDockType", "true"],
                env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if not wait_until(lambda: "trayer" in self.tree()):
                self.close()
                raise RuntimeError("trayer did not come up")

    def close(self):
        for process in (self.tray, self.xvfb):
            if process is not None:
                process.terminate()
                process.wait(10)

    def run(self, *args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True, check=True)

    def tree(self):
        return self.run("xwininfo", "-root", "-tree").stdout

    def windows(self, title):
        """(id, width, height, x, y) of every window with this title, root coordinates."""
        found = []
        for line in self.tree().splitlines():
            if f'"{title}": ("quenlowftp"' not in line:
                continue
            words = line.split()
            size, absolute = words[-2], words[-1]  # "380x420+0+0  +X+Y"
            width, rest = size.split("x")
            height = rest.split("+")[0].split("-")[0]
            x, y = absolute.lstrip("+").split("+")[:2]
            found.append((words[0], int(width), int(height), int(x), int(y)))
        return found

    def main_window(self):
        shown = [w for w in self.windows("Quenlow FTP") if (w[1], w[2]) == MAIN_WINDOW_SIZE]
        return shown[0] if shown else None

    def tray_icon(self):
        small = [w for w in self.windows("Quenlow FTP") if w[1] <= 32 and w[2] <= 32]
        return small[0] if small else None

    def viewable(self, window):
        return "IsViewable" in self.run("xwininfo", "-id", window).stdout

    def grab(self, window, save=False):
        """The window as the X server holds it: (width, height, rgb bytes); with save, also
        as the PNG under the build folder."""
        xwd = self.run_bytes("xwd", "-id", window, "-silent")
        ppm = subprocess.run(["xwdtopnm"], input=xwd, capture_output=True, check=True).stdout
        if save:
            os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
            with open(SCREENSHOT, "wb") as f:
                f.write(subprocess.run(["pnmtopng"], input=ppm, capture_output=True,
                                       check=True).stdout)
        return parse_ppm(ppm)

    def run_bytes(self, *args):
        return subprocess.run(args, env=self.env, capture_output=True, check=True).stdout


def parse_ppm(data):
    """Width, height and pixels of a binary PPM (P6, maxval 255)."""
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] == b"P6" and fields[3] == b"255"
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def rows_with(width, height, pixels, colour):
    """Runs of consecutive scan lines holding at least one pixel of exactly this colour."""
    wanted = bytes(colour)
    runs, inside = 0, False
    for y in range(height):
        line = pixels[y * width * 3:(y + 1) * width * 3]
        hit = any(line[i:i + 3] == wanted for i in range(0, len(line), 3))
        if hit and not inside:
            runs += 1
        inside = hit
    return runs


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xwininfo") and shutil.which("xwd"),
                     "needs Xvfb, xwininfo and xwd")
class Windows(unittest.TestCase):
    def desktop(self, tray):
        desktop = Desktop(tray)
        self.addCleanup(desktop.close)
        return desktop

    def server(self, desktop, settings=None):
        server = Server(settings, display=desktop.display)
        self.addCleanup(server.stop)
        self.assertIn(f"windows on X display {desktop.display}", server.mode)
        return server

    def test_the_main_window_shows_a_plain_and_a_secure_client(self):
        desktop = self.desktop(tray=False)
        folder = os.path.join(os.path.dirname(SCREENSHOT), "desktop-cert")
        os.makedirs(folder, exist_ok=True)
        cert, key = make_certificate(folder)
        server = self.server(desktop, {"SSLState": "true", "SSLCertFile": cert,
                                       "SSLKeyFile": key})
        plain = ftplib.FTP()
        plain.connect("127.0.0.1", server.port, timeout=10)
        plain.login("anonymous", "plain@example.org")
        self.addCleanup(plain.close)
        context = ssl.create_default_context()
        context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
        secure = ftplib.FTP_TLS(context=context)
        secure.connect("127.0.0.1", server.port, timeout=10)
        secure.login("anonymous", "secure@example.org")  # AUTH TLS first
        self.addCleanup(secure.close)
        plain.voidcmd("NOOP")
        secure.voidcmd("NOOP")

        window = wait_until(desktop.main_window)
        self.assertIsNotNone(window, desktop.tree())
        self.assertTrue(desktop.viewable(window[0]))

        def two_rows():
            width, height, pixels = desktop.grab(window[0], save=True)
            return (rows_with(width, height, pixels, SCREEN_BLUE) == 2
                    and rows_with(width, height, pixels, LOCK_GOLD) == 1
                    and (width, height, pixels))
        shot = wait_until(two_rows, 5)  # the view refreshes every 500 ms
        width, height, pixels = shot or desktop.grab(window[0])
        self.assertEqual((width, height), MAIN_WINDOW_SIZE)
        self.assertEqual(rows_with(width, height, pixels, SCREEN_BLUE), 2, SCREENSHOT)
        self.assertEqual(rows_with(width, height, pixels, LOCK_GOLD), 1, SCREENSHOT)

        secure.close()
        self.assertTrue(wait_until(lambda: rows_with(*desktop.grab(window[0]), SCREEN_BLUE) == 1,
                                   5))

    @unittest.skipUnless(shutil.which("trayer") and shutil.which("xdotool"),
                         "needs trayer and xdotool")
    def test_a_click_on_the_notification_icon_brings_the_hidden_window_back(self):
        desktop = self.desktop(tray=True)
        self.server(desktop)
        window = wait_until(desktop.main_window)
        self.assertIsNotNone(window, desktop.tree())
        # Shown at start-up, then hidden behind the icon.
        self.assertTrue(wait_until(lambda: not desktop.viewable(window[0]), 5))
        docked = lambda: (icon := desktop.tray_icon()) is not None and desktop.viewable(icon[0])
        self.assertTrue(wait_until(docked, 5), desktop.tree())
        time.sleep(0.5)  # the notification area lays its icons out once they are docked
        _, w, h, x, y = desktop.tray_icon()
        desktop.run("xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1")
        self.assertTrue(wait_until(lambda: desktop.viewable(window[0]), 5), desktop.tree())

    def test_without_a_notification_area_the_window_stays_shown(self):
        desktop = self.desktop(tray=False)
        self.server(desktop)
        window = wait_until(desktop.main_window)
        self.assertIsNotNone(window, desktop.tree())
        time.sleep(2)
        self.assertTrue(desktop.viewable(window[0]))
        self.assertIsNone(desktop.tray_icon())


if __name__ == "__main__":
    unittest.main()
