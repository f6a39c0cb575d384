#!/usr/bin/env python3
"""What "cmake --install" and "cpack -G DEB" make of a build tree: the files and where they go,
the Debian control fields, the maintainer scripts (run against a scratch root with the system
tools stubbed), and the systemd unit as systemd reads it.

    test_packaging.py install|scripts|deb

runs one suite. The build tree, the source tree and the tools come from the environment that
cmake/Packaging.cmake gives the test. Exit status 77 means the suite could not run here.
"""

import filecmp
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

SKIPPED = 77

BUILD = Path(os.environ.get("QFTP_BUILD_DIR", "build")).resolve()
SOURCE = Path(os.environ.get("QFTP_SOURCE_DIR", Path(__file__).resolve().parents[2]))
VERSION = os.environ.get("QFTP_VERSION", "")
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CPACK = os.environ.get("CPACK_COMMAND", "cpack")
PACKAGING = SOURCE / "packaging"

# Every file of the package, as its path in the .deb. The unit and the logrotate file sit beside
# /usr, as Debian 12 has them.
PACKAGE_FILES = {
    "usr/bin/quenlowftp",
    "usr/share/man/man1/quenlowftp.1.gz",
    "usr/share/quenlowftp/registry.reg",
    "usr/share/doc/quenlowftp/examples/registry.reg",
    "usr/share/doc/quenlowftp/README.Debian",
    "lib/systemd/system/quenlowftp.service",
    "etc/logrotate.d/quenlowftp",
}
EXECUTABLES = {"usr/bin/quenlowftp"}

# What the example configuration must hold: the service's folders, port 21, and anonymous
# logins that may read but change nothing.
EXAMPLE_SETTINGS = {
    "SysRootFolder": "/srv/ftp/",
    "NetTcpPort": "21",
    "PasswordFile": "/etc/quenlowftp/QuenlowFTP.dat",
    "LogInfoMsg": "true",
    "LogXferFile": "/var/log/quenlowftp/xferlog",
    "SysAnonState": "true",
    "AnonWrite": "false",
    "AnonOverwrite": "false",
    "AnonDelete": "false",
    "AnonRename": "false",
    "SysBanFailures": "10",
    "SysBanWindow": "10",
    "SysBanMinutes": "60",
}


def in_prefix(package_path):
    """Where a package file lands under an install prefix other than /usr."""
    return package_path[len("usr/"):] if package_path.startswith("usr/") else package_path


def files_under(root):
    root = Path(root)
    return {str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir()}


def run(command, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 300)
    return subprocess.run([str(c) for c in command], **kwargs)


def unit_settings(text):
    """The [Service]/[Unit]/[Install] assignments of a unit file: name -> list of values."""
    values = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;[" or "=" not in line:
            continue
        name, value = line.split("=", 1)
        values.setdefault(name.strip(), []).append(value.strip())
    return values


def under(path, folder):
    return os.path.commonpath([path, folder]) == folder


class InstallTest(unittest.TestCase):
    """cmake --install: the same files as the package, and nothing outside the prefix."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="qftp-install-"))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def install(self, prefix, destdir=None):
        env = dict(os.environ)
        env.pop("DESTDIR", None)
        if destdir:
            env["DESTDIR"] = str(destdir)
        done = run([CMAKE, "--install", BUILD, "--prefix", prefix], env=env)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done.stdout

    def test_prefix_gets_the_package_files_and_nothing_outside_it(self):
        prefix = self.tmp / "prefix"
        output = self.install(prefix)
        self.assertEqual(files_under(prefix), {in_prefix(p) for p in PACKAGE_FILES})
        # What the install wrote, as it reports it: all of it inside the prefix.
        written = re.findall(r"^-- (?:Installing|Up-to-date): (.+)$", output, re.M)
        self.assertEqual(len(written), len(PACKAGE_FILES), output)
        for path in written:
            self.assertTrue(under(path, str(prefix)), path + " is outside the prefix")
        for path in PACKAGE_FILES:
            mode = stat.S_IMODE((prefix / in_prefix(path)).stat().st_mode)
            self.assertEqual(mode, 0o755 if path in EXECUTABLES else 0o644, path)

    def test_prefix_usr_puts_unit_and_logrotate_beside_usr(self):
        root = self.tmp / "root"
        self.install("/usr", destdir=root)
        self.assertEqual(files_under(root), PACKAGE_FILES)

    def test_manual_page_is_the_source_page_compressed_reproducibly(self):
        prefix = self.tmp / "prefix"
        self.install(prefix)
        packed = (prefix / "share/man/man1/quenlowftp.1.gz").read_bytes()
        self.assertEqual(gzip.decompress(packed), (SOURCE / "man/quenlowftp.1").read_bytes())
        # gzip -n: no file name (FLG.FNAME) and no time stamp, so two builds give one file.
        self.assertFalse(packed[3] & 0x08, "the .gz holds a file name")
        self.assertEqual(packed[4:8], b"\0\0\0\0", "the .gz holds a time stamp")

    def test_installed_program_reads_the_example_configuration(self):
        prefix = self.tmp / "prefix"
        self.install(prefix)
        example = prefix / "share/doc/quenlowftp/examples/registry.reg"
        template = prefix / "share/quenlowftp/registry.reg"
        self.assertTrue(filecmp.cmp(example, template, shallow=False),
                        "postinst's template and the documented example differ")
        config = self.tmp / "config"
        config.mkdir()
        shutil.copy(template, config / "registry.reg")
        env = dict(os.environ, HOME=str(self.tmp), XDG_CONFIG_HOME=str(self.tmp / "xdg"))
        done = run([prefix / "bin/quenlowftp", "config", "list", "--config-dir", config],
                   env=env)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        # A line the reader could not take is reported as "registry.reg:LINE: ...".
        self.assertNotIn("registry.reg:", done.stderr)
        # A misspelt or retired name would be kept but never read.
        self.assertNotIn("not a setting of this program", done.stdout)
        shown = {}
        for line in done.stdout.splitlines():
            m = re.match(r'^(\w+)\s+"(.*?)"', line)
            if m:
                shown[m.group(1)] = m.group(2)
        for name, value in EXAMPLE_SETTINGS.items():
            self.assertEqual(shown.get(name), value, name)

    def test_unit_lets_the_server_write_where_the_example_points(self):
        unit = unit_settings((PACKAGING / "quenlowftp.service").read_text())
        writable = " ".join(unit["ReadWritePaths"]).split()
        logs = ["/var/log/" + d for d in " ".join(unit["LogsDirectory"]).split()]
        self.assertIn("--config-dir /etc/quenlowftp", unit["ExecStart"][0])
        for folder in ("/etc/quenlowftp", EXAMPLE_SETTINGS["SysRootFolder"].rstrip("/")):
            self.assertTrue(any(under(folder, w) for w in writable), folder)
        self.assertTrue(any(under(EXAMPLE_SETTINGS["PasswordFile"], w) for w in writable))
        self.assertTrue(any(under(EXAMPLE_SETTINGS["LogXferFile"], d) for d in logs))
        # logrotate rotates the file the server writes.
        rotated = (PACKAGING / "quenlowftp.logrotate").read_text()
        self.assertRegex(rotated, r"(?m)^" + re.escape(EXAMPLE_SETTINGS["LogXferFile"]) + r"\s*\{")
        # The unit runs as the account that postinst makes and gives ownership to.
        postinst = (PACKAGING / "postinst").read_text()
        account = re.search(r"(?m)^ACCOUNT=(\S+)$", postinst).group(1)
        self.assertEqual(unit["User"], [account])
        self.assertEqual(unit["Group"], [account])


STUBS = {
    # getent passwd|group NAME: looks in the scratch account list.
    "getent": 'grep -qx "$1 $2" "$STUB_STATE/accounts"\n',
    "addgroup": 'for a; do n=$a; done\n'
                'grep -qx "group $n" "$STUB_STATE/accounts" ||\n'
                '  echo "group $n" >> "$STUB_STATE/accounts"\n',
    # Like the real one: --ingroup names a group that must exist.
    "adduser": 'g=; n=; while [ $# -gt 0 ]; do\n'
               '  [ "$1" = --ingroup ] && { g=$2; shift; }; n=$1; shift\n'
               'done\n'
               'if [ -n "$g" ] && ! grep -qx "group $g" "$STUB_STATE/accounts"; then exit 1; fi\n'
               'echo "passwd $n" >> "$STUB_STATE/accounts"\n',
    "deluser": 'for a; do n=$a; done\n'
               'grep -vx "passwd $n" "$STUB_STATE/accounts" > "$STUB_STATE/a" || true\n'
               'mv "$STUB_STATE/a" "$STUB_STATE/accounts"\n',
    "delgroup": 'for a; do n=$a; done\n'
                'grep -vx "group $n" "$STUB_STATE/accounts" > "$STUB_STATE/a" || true\n'
                'mv "$STUB_STATE/a" "$STUB_STATE/accounts"\n',
    # The owner is only noted (the account does not exist here); the rest is real.
    "install": 'n=$#; i=0; while [ $i -lt $n ]; do a=$1; shift; i=$((i + 1))\n'
               '  case $a in -o|-g) shift; i=$((i + 1)) ;; *) set -- "$@" "$a" ;; esac\n'
               'done\n'
               'exec /usr/bin/install "$@"\n',
    "deb-systemd-helper": '[ -e "$STUB_STATE/fail" ] && exit 1\n'
                          'if [ "$1 $2" = "--quiet was-enabled" ]; then\n'
                          '  [ ! -e "$STUB_STATE/disabled" ]; exit\n'
                          'fi\n',
    "deb-systemd-invoke": "exit 0\n",
    "systemctl": "exit 0\n",
}


class MaintainerScriptsTest(unittest.TestCase):
    """postinst, prerm and postrm in a scratch root (DPKG_ROOT), with the tools that would
    change this machine replaced by stubs that note how they were called."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="qftp-scripts-"))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.root = self.tmp / "root"
        self.state = self.tmp / "state"
        stubs = self.tmp / "bin"
        for d in (self.state, stubs, self.root / "usr/share/quenlowftp"):
            d.mkdir(parents=True)
        (self.state / "accounts").write_text("")
        self.log = self.state / "calls"
        self.log.write_text("")
        for name, body in STUBS.items():
            stub = stubs / name
            stub.write_text('#!/bin/sh\necho "%s $*" >> "$STUB_STATE/calls"\n%s' % (name, body))
            stub.chmod(0o755)
        shutil.copy(PACKAGING / "registry.reg", self.root / "usr/share/quenlowftp/registry.reg")
        self.env = dict(os.environ, PATH="%s:%s" % (stubs, os.environ.get("PATH", "/usr/bin:/bin")),
                        DPKG_ROOT=str(self.root), DPKG_MAINTSCRIPT_PACKAGE="quenlowftp",
                        STUB_STATE=str(self.state))

    def script(self, name, *args, ok=True):
        done = run(["sh", PACKAGING / name, *args], env=self.env, timeout=60)
        if ok:
            self.assertEqual(done.returncode, 0, "%s %s: %s" % (name, args, done.stderr))
        return done

    def calls(self, tool):
        return [line for line in self.log.read_text().splitlines()
                if line.split(" ", 1)[0] == tool]

    def helper_calls(self):
        return self.calls("deb-systemd-helper")

    def accounts(self):
        return set(self.state.joinpath("accounts").read_text().split("\n")) - {""}

    def mode(self, path):
        return stat.S_IMODE(path.stat().st_mode)

    def test_first_install_makes_account_folders_and_configuration(self):
        self.script("postinst", "configure", "")
        self.assertEqual(self.accounts(), {"group quenlowftp", "passwd quenlowftp"})
        [adduser] = self.calls("adduser")
        for part in ("--system", "--no-create-home", "--home /srv/ftp", "--ingroup quenlowftp"):
            self.assertIn(part, adduser)
        conf = self.root / "etc/quenlowftp"
        self.assertEqual(self.mode(conf), 0o750)
        self.assertTrue(filecmp.cmp(conf / "registry.reg", PACKAGING / "registry.reg",
                                    shallow=False))
        self.assertEqual(self.mode(conf / "registry.reg"), 0o640)
        self.assertTrue((self.root / "srv/ftp").is_dir())
        # Everything made belongs to the service account.
        installs = self.calls("install")
        self.assertEqual(len(installs), 3, installs)
        for call in installs:
            self.assertIn("-o quenlowftp -g quenlowftp", call)
        self.assertIn("deb-systemd-helper enable quenlowftp.service", self.helper_calls())

    def test_upgrade_keeps_the_administrators_configuration(self):
        self.script("postinst", "configure", "")
        conf = self.root / "etc/quenlowftp"
        edited = (conf / "registry.reg").read_text().replace('"NetTcpPort"="21"',
                                                             '"NetTcpPort"="2121"')
        (conf / "registry.reg").write_text(edited)
        conf.chmod(0o700)
        self.script("postinst", "configure", VERSION or "1.0-1")
        self.assertEqual((conf / "registry.reg").read_text(), edited)
        self.assertEqual(self.mode(conf), 0o700)
        self.assertEqual(len(self.calls("adduser")), 1)
        self.assertEqual(len(self.calls("addgroup")), 1)

    def test_an_existing_group_is_used_for_the_account(self):
        (self.state / "accounts").write_text("group quenlowftp\n")
        self.script("postinst", "configure", "")
        self.assertEqual(self.calls("addgroup"), [])
        self.assertIn("passwd quenlowftp", self.accounts())

    def test_a_disabled_unit_is_not_enabled_again(self):
        self.script("postinst", "configure", "")
        (self.state / "disabled").touch()
        self.log.write_text("")
        self.script("postinst", "configure", VERSION or "1.0-1")
        helper = self.calls("deb-systemd-helper")
        self.assertNotIn("deb-systemd-helper enable quenlowftp.service", helper)
        self.assertIn("deb-systemd-helper update-state quenlowftp.service", helper)

    def test_a_failing_service_manager_does_not_fail_the_installation(self):
        (self.state / "fail").touch()
        self.script("postinst", "configure", "")
        self.assertTrue((self.root / "etc/quenlowftp/registry.reg").exists())

    def test_remove_keeps_configuration_and_purge_keeps_only_the_shared_files(self):
        self.script("postinst", "configure", "")
        shared = self.root / "srv/ftp/readme.txt"
        shared.write_text("a user's file\n")
        logs = self.root / "var/log/quenlowftp"
        logs.mkdir(parents=True)
        (logs / "xferlog").write_text("")
        self.script("prerm", "remove")
        self.script("postrm", "remove")
        self.assertTrue((self.root / "etc/quenlowftp/registry.reg").exists())
        self.assertIn("deb-systemd-helper mask quenlowftp.service", self.helper_calls())
        self.assertIn("passwd quenlowftp", self.accounts())
        self.script("postrm", "purge")
        self.assertFalse((self.root / "etc/quenlowftp").exists())
        self.assertFalse(logs.exists())
        self.assertEqual(shared.read_text(), "a user's file\n")
        self.assertEqual(self.accounts(), set())
        self.assertIn("deb-systemd-helper purge quenlowftp.service", self.helper_calls())
        # A second purge (dpkg may repeat one that failed) finds nothing to do.
        self.script("postrm", "purge")

    def test_reinstall_after_remove_lifts_the_mask(self):
        self.script("postinst", "configure", "")
        self.script("postrm", "remove")
        self.log.write_text("")
        self.script("postinst", "configure", VERSION or "1.0-1")
        self.assertIn("deb-systemd-helper unmask quenlowftp.service", self.helper_calls())
        self.assertEqual(self.calls("adduser"), [])

    def test_unknown_actions_fail(self):
        self.assertNotEqual(self.script("postinst", "bogus", ok=False).returncode, 0)
        self.assertNotEqual(self.script("postrm", "bogus", ok=False).returncode, 0)

    def test_scripts_pass_shellcheck(self):
        if not shutil.which("shellcheck"):
            self.skipTest("shellcheck is not installed")
        scripts = [PACKAGING / n for n in ("postinst", "prerm", "postrm")]
        done = run(["shellcheck", "-s", "sh", *scripts])
        self.assertEqual(done.returncode, 0, done.stdout)


class DebPackageTest(unittest.TestCase):
    """cpack -G DEB on the build tree, once; the tests look at the .deb it made."""

    @classmethod
    def setUpClass(cls):
        for tool in ("dpkg-deb", "dpkg-shlibdeps", "dpkg"):
            if not shutil.which(tool):
                raise unittest.SkipTest(tool + " is not installed (package dpkg-dev)")
        if not (BUILD / "CPackConfig.cmake").exists():
            raise unittest.SkipTest("no CPackConfig.cmake in " + str(BUILD))
        cls.tmp = Path(tempfile.mkdtemp(prefix="qftp-deb-"))
        cls.out = cls.tmp / "out"
        before = cls.packaging_leftovers()
        started = time.monotonic()
        # CPACK_CMAKE_GENERATOR: a generator without a "preinstall" step, so that cpack
        # installs the tree as it was built instead of first building every target in it
        # (this test's own build included).
        done = run([CPACK, "-G", "DEB", "--config", BUILD / "CPackConfig.cmake", "-B", cls.out,
                    "-D", "CPACK_CMAKE_GENERATOR=Ninja"], cwd=cls.tmp, timeout=500)
        print("cpack took %.1f s" % (time.monotonic() - started), file=sys.stderr)
        cls.cpack_output = done.stdout + done.stderr
        # Its staging folder and the package go to -B, not into either tree (where an earlier
        # "cpack" without -B may have left its own).
        cls.trees_changed = cls.packaging_leftovers() != before
        if done.returncode != 0:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError("cpack failed:\n" + cls.cpack_output)
        cls.debs = sorted(cls.out.glob("*.deb"))
        cls.deb = cls.debs[0] if cls.debs else None
        cls.root = cls.tmp / "root"
        if cls.deb:
            subprocess.run(["dpkg-deb", "-x", str(cls.deb), str(cls.root)], check=True)

    @staticmethod
    def packaging_leftovers():
        """CPack's staging folders and packages in the two trees, each with its newest time."""
        def newest(path):
            return max([path.stat().st_mtime_ns] + [p.stat().st_mtime_ns for p in path.rglob("*")])
        return {str(p): newest(p) for t in (BUILD, SOURCE)
                for p in (*t.glob("_CPack_Packages"), *t.glob("*.deb"))}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def test_one_package_with_the_debian_file_name(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        self.assertEqual([p.name for p in self.debs], ["quenlowftp_%s_%s.deb" % (VERSION, arch)])

    def test_cpack_leaves_the_source_and_build_trees_alone(self):
        self.assertFalse(self.trees_changed)

    def test_contents(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout
        files = {}
        for line in listing.splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            if not mode.startswith("d"):
                files[path[2:]] = mode  # "./usr/bin/..." -> "usr/bin/..."
        self.assertEqual(set(files), PACKAGE_FILES)
        for path, mode in files.items():
            self.assertEqual(mode, "-rwxr-xr-x" if path in EXECUTABLES else "-rw-r--r--", path)

    def test_packaged_files_are_the_sources(self):
        for packaged, source in (("lib/systemd/system/quenlowftp.service", "quenlowftp.service"),
                                 ("etc/logrotate.d/quenlowftp", "quenlowftp.logrotate"),
                                 ("usr/share/quenlowftp/registry.reg", "registry.reg"),
                                 ("usr/share/doc/quenlowftp/examples/registry.reg", "registry.reg"),
                                 ("usr/share/doc/quenlowftp/README.Debian", "README.Debian")):
            self.assertTrue(filecmp.cmp(self.root / packaged, PACKAGING / source, shallow=False),
                            packaged)
        man = gzip.decompress((self.root / "usr/share/man/man1/quenlowftp.1.gz").read_bytes())
        self.assertEqual(man, (SOURCE / "man/quenlowftp.1").read_bytes())

    def test_packaged_program_runs(self):
        # Stripped by CPack: it must still start.
        done = run([self.root / "usr/bin/quenlowftp", "--help"],
                   env=dict(os.environ, HOME=str(self.tmp)))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("quenlowftp", done.stdout)

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "quenlowftp")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Section"), "net")
        self.assertEqual(self.field("Priority"), "optional")
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^<>@\s]+@[^<>@\s]+>$")
        summary, _, body = self.field("Description").partition("\n")
        self.assertTrue(summary and body.strip(), "the description needs a summary and a body")
        self.assertLessEqual(max(len(line) for line in body.splitlines()), 80)

    def test_depends_names_the_runtime_libraries(self):
        depends = self.field("Depends")
        names = {re.match(r"\s*([a-z0-9][a-z0-9+.-]*)", alt).group(1)
                 for part in depends.split(",") for alt in part.split("|")}
        # adduser for postinst; the rest found by dpkg-shlibdeps from the program itself.
        for name in ("adduser", "libc6", "libstdc++6", "libssl3", "zlib1g", "libsystemd0",
                     "libqt6core6", "libqt6widgets6"):
            self.assertIn(name, names, depends)
        for name in names:
            self.assertFalse(name.endswith("-dev"), depends)
            # Every one of them is a package this machine has, so that dpkg can resolve it.
            status = run(["dpkg-query", "-W", "-f", "${Status}", name]).stdout
            self.assertIn("install ok installed", status, name)

    def test_maintainer_scripts_and_conffiles(self):
        control = self.tmp / "control"
        subprocess.run(["dpkg-deb", "-e", str(self.deb), str(control)], check=True)
        for name in ("postinst", "prerm", "postrm"):
            self.assertTrue(filecmp.cmp(control / name, PACKAGING / name, shallow=False), name)
            self.assertEqual(stat.S_IMODE((control / name).stat().st_mode), 0o755, name)
        conffiles = (control / "conffiles").read_text().split()
        self.assertEqual(conffiles, ["/etc/logrotate.d/quenlowftp"])
        for path in conffiles:
            self.assertTrue((self.root / path.lstrip("/")).is_file(), path)

    def verifiable_unit(self):
        """The packaged unit with ExecStart on the extracted program, for systemd-analyze."""
        folder = self.tmp / "unit"
        folder.mkdir(exist_ok=True)
        unit = folder / "quenlowftp.service"
        text = (self.root / "lib/systemd/system/quenlowftp.service").read_text()
        self.assertIn("ExecStart=/usr/bin/quenlowftp ", text)
        unit.write_text(text.replace("ExecStart=/usr/bin/quenlowftp ",
                                     "ExecStart=%s " % (self.root / "usr/bin/quenlowftp")))
        return unit

    def test_systemd_accepts_the_unit(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed (package systemd): the unit file "
                          "was not checked")
        unit = self.verifiable_unit()
        # Documentation=man:quenlowftp(1) is looked up with man(1), in the package's pages.
        command = ["systemd-analyze", "verify"]
        if not shutil.which("man"):
            command.append("--man=no")
            print("man is not installed: Documentation= was not checked", file=sys.stderr)
        env = dict(os.environ, MANPATH=str(self.root / "usr/share/man"), SYSTEMD_LOG_COLOR="0")
        done = run(command + [unit], env=env, cwd=unit.parent)
        # An unknown key or a bad value is only a warning (exit status 0): any output fails.
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_unit_hardening_stays_high(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed (package systemd)")
        unit = self.verifiable_unit()
        done = run(["systemd-analyze", "security", "--offline=yes", "--no-pager", unit],
                   cwd=unit.parent, env=dict(os.environ, SYSTEMD_COLORS="0"))
        level = re.search(r"Overall exposure level for \S+: ([0-9.]+)", done.stdout)
        if done.returncode != 0 and not level:
            self.skipTest("this systemd-analyze cannot rate a unit offline: " + done.stderr)
        self.assertIsNotNone(level, done.stdout + done.stderr)
        # 10 is a root service with no sandbox; this unit rates about 2.
        self.assertLessEqual(float(level.group(1)), 3.0, done.stdout)


SUITES = {"install": InstallTest, "scripts": MaintainerScriptsTest, "deb": DebPackageTest}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in SUITES:
        print("usage: test_packaging.py " + "|".join(SUITES), file=sys.stderr)
        return 2
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(SUITES[sys.argv[1]])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # Skipped as a whole (a missing tool) is not a pass.
    if result.skipped and len(result.skipped) >= result.testsRun:
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
