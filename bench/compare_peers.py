#!/usr/bin/env python3
"""Measures this server beside vsftpd, pure-ftpd and ProFTPD on loopback, in one run.

Every server serves the same folder. Each repetition starts every server in turn (the order
rotates from one repetition to the next), runs every line against it and stops it. The table
gives min/median/max per server and line and the ratio of our best to the best peer's best;
the same figures go to a JSON file. Started by bench/compare.sh, which builds the program and
fetches the peers first (see bench/README.md).
"""

import argparse
import json
import os
import pwd
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.join(HERE, "..", "build", "quenlowftp")
CLIENT = os.path.join(HERE, "..", "build", "bench", "ftp_load")
PEERS = os.path.join(HERE, "..", "build", "bench-peers", "root")
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from server import free_port, make_certificate  # noqa: E402

CLOCK_TICK = os.sysconf("SC_CLK_TCK")


# ---- the servers ----

def wait_for_port(port, process, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if process.poll() is not None:
            raise RuntimeError("ended at start: " + read_tail(process))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as probe:
                probe.recv(1)  # a forking server answers only once it is ready
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


def read_tail(process):
    try:
        return (process.stderr.read() or b"").decode(errors="replace")[-400:]
    except Exception:  # noqa: BLE001 - only for a message
        return ""


class Server:
    name = ""
    user, password = "anonymous", "bench@example.org"
    tls_offered = True
    max_clients = 1100  # sessions at once the peers are configured for

    def start(self, work, share, tls):
        raise NotImplementedError

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for extra in getattr(self, "leftovers", ()):
            subprocess.run(["pkill", "-f", extra], check=False)

    def cpu_seconds(self):
        """User + system time of the server and every live process below it, plus what its
        ended children left in it."""
        total, todo = 0, [self.process.pid]
        while todo:
            pid = todo.pop()
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += sum(int(fields[i]) for i in (11, 12, 13, 14))
                with open(f"/proc/{pid}/task/{pid}/children") as f:
                    todo += [int(child) for child in f.read().split()]
            except (OSError, ValueError):
                pass
        return total / CLOCK_TICK


class Ours(Server):
    name = "quenlowftp"
    binary = BINARY
    extra = {}

    def start(self, work, share, tls):
        self.port = free_port()
        config = os.path.join(work, self.name + "-config")
        shutil.rmtree(config, ignore_errors=True)
        os.makedirs(config)
        settings = {"NetTcpPort": self.port, "SysRootFolder": os.path.join(share, "pub") + "/",
                    "SysCmdTimeout": 0, "SysWelcomeMsgState": "false", "NetMaxConnection": 1100,
                    "NetLoginsPerIp": 1100, "AnonOverwrite": "true", "AnonWrite": "true"}
        if tls:
            settings.update({"SSLState": "true", "SSLCertFile": tls[0], "SSLKeyFile": tls[1]})
        settings.update(self.extra)
        args = [self.binary, "--headless", "--config-dir", config]
        for name, value in settings.items():
            args += ["--set", f"{name}={value}"]
        self.log = open(os.path.join(work, self.name + ".log"), "ab")
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=self.log)
        wait_for_port(self.port, self.process)

    def stop(self):
        super().stop()
        self.log.close()


def vsftpd_config(port, anon_root, empty, tls):
    """The lines of an anonymous-upload vsftpd on 127.0.0.1:port that runs as the launching
    user (so without a chroot: "/" is the machine's root) and serves anon_root."""
    lines = [
        "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
        f"listen_port={port}", "background=NO", "run_as_launching_user=YES",
        "anonymous_enable=YES", "no_anon_password=YES", f"anon_root={anon_root}",
        "local_enable=NO", "write_enable=YES", "anon_upload_enable=YES",
        "anon_other_write_enable=YES", "anon_umask=022", "seccomp_sandbox=NO",
        "pasv_enable=YES", "pasv_min_port=52000", "pasv_max_port=52999", "port_enable=YES",
        "xferlog_enable=NO", "max_per_ip=0", "max_clients=0", f"secure_chroot_dir={empty}",
        "use_localtime=NO",
    ]
    if tls:
        lines += ["ssl_enable=YES", f"rsa_cert_file={tls[0]}", f"rsa_private_key_file={tls[1]}",
                  "allow_anon_ssl=YES", "force_anon_data_ssl=NO", "force_anon_logins_ssl=NO",
                  "require_ssl_reuse=NO", "ssl_ciphers=HIGH"]
    return "\n".join(lines) + "\n"


def start_vsftpd(work, port, anon_root, tls):
    empty = os.path.join(work, "vsftpd-empty")
    os.makedirs(empty, exist_ok=True)
    path = os.path.join(work, "vsftpd.conf")
    with open(path, "w") as f:
        f.write(vsftpd_config(port, anon_root, empty, tls))
    process = subprocess.Popen([shutil.which("vsftpd") or "/usr/sbin/vsftpd", path],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wait_for_port(port, process)
    return process


class Vsftpd(Server):
    name = "vsftpd"

    @staticmethod
    def missing():
        return None if shutil.which("vsftpd") or os.path.exists("/usr/sbin/vsftpd") else \
            "/usr/sbin/vsftpd is not installed"

    def start(self, work, share, tls):
        self.port = free_port()
        self.process = start_vsftpd(work, self.port, share, tls)


def unpacked_missing(tool):
    """Why a peer's program unpacked under the build tree cannot run, or None."""
    binary = os.path.join(PEERS, tool)
    return None if os.access(binary, os.X_OK) else \
        f"{binary} is missing (bench/compare.sh fetches it)"


class PureFtpd(Server):
    """Debian's pure-ftpd unpacked under the build tree. Its anonymous user's folder is the
    system ftp account's home, so the server runs in a mount namespace of its own where the
    share is mounted over that home (this needs root). A virtual user instead would pay
    pure-pw's deliberately slow password hash (seconds here) on every login."""
    name = "pure-ftpd"

    @staticmethod
    def missing():
        if why := unpacked_missing("usr/sbin/pure-ftpd"):
            return why
        if os.geteuid() != 0:
            return "needs root (the share is mounted over ~ftp in a mount namespace)"
        try:
            pwd.getpwnam("ftp")
        except KeyError:
            return "there is no ftp account (Debian's vsftpd package makes one)"
        if not shutil.which("unshare"):
            return "unshare (util-linux) is missing"
        return None

    def start(self, work, share, tls):
        self.port = free_port()
        home = pwd.getpwnam("ftp").pw_dir
        args = [os.path.join(PEERS, "usr/sbin/pure-ftpd"), "-S", f"127.0.0.1,{self.port}",
                "-e", "-H", "-4", "-p", "53000:53999", "-c", str(self.max_clients),
                "-C", str(self.max_clients)]
        if tls:
            args += ["-Y", "1", "-2", f"{tls[0]},{tls[1]}"]
        mount = 'mount --bind "$1" "$2" && shift 2 && exec "$@"'
        self.process = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                         mount, "sh", share, home] + args,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(self.port, self.process)


class Proftpd(Server):
    """Debian's ProFTPD (proftpd-core, and mod_tls from proftpd-mod-crypto) unpacked under
    the build tree, with an anonymous share of its own."""
    name = "proftpd"

    @staticmethod
    def missing():
        return unpacked_missing("usr/sbin/proftpd")

    def start(self, work, share, tls):
        self.port = free_port()
        run = os.path.join(work, "proftpd")  # not world-writable: ProFTPD checks
        os.makedirs(run, mode=0o755, exist_ok=True)
        lines = [
            "ServerType standalone", 'ServerName "bench"', "DefaultAddress 127.0.0.1",
            f"Port {self.port}", "UseIPv6 off", "User nobody", "Group nogroup",
            f"ModulePath {os.path.join(PEERS, 'usr/lib/proftpd')}",
            f"PidFile {run}/proftpd.pid", f"ScoreboardFile {run}/proftpd.scoreboard",
            "DelayEngine off", "WtmpLog off", "UseReverseDNS off", "UseFtpUsers off",
            f"MaxInstances {self.max_clients}", "PassivePorts 54000 54999",
            "TransferLog none",
            f"SystemLog {run}/proftpd.log",
        ]
        if tls:
            lines += ["LoadModule mod_tls.c", "TLSEngine on", "TLSRequired off",
                      f"TLSRSACertificateFile {tls[0]}", f"TLSRSACertificateKeyFile {tls[1]}",
                      "TLSOptions NoSessionReuseRequired", "TLSProtocol TLSv1.2 TLSv1.3",
                      "TLSVerifyClient off"]
        lines += [f"<Anonymous {share}>", "User nobody", "Group nogroup",
                  "UserAlias anonymous nobody", "RequireValidShell off",
                  "AnonRequirePassword off", f"MaxClients {self.max_clients}",
                  "<Directory *>",
                  "AllowOverwrite on", "<Limit WRITE>", "AllowAll", "</Limit>", "</Directory>",
                  "</Anonymous>"]
        path = os.path.join(run, "proftpd.conf")
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.process = subprocess.Popen([os.path.join(PEERS, "usr/sbin/proftpd"), "-n", "-q",
                                         "-c", path],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(self.port, self.process)


# ---- a lean FTP client (the small-file lines must measure the servers, not the client) ----

def client_command(job):
    command = [CLIENT, "--port", str(job["port"]), "--user", job["user"],
               "--password", job["password"], "--kind", job["kind"],
               "--sessions", str(job.get("threads", 1))]
    return command + (["--tls"] if job["tls"] else []) + job.get("options", []) + job["paths"]


def run_clients(jobs):
    """Runs one client process per job (bench/ftp_load.cpp: it logs in, says ready, waits
    for go, does the job and prints what it did as JSON), all starting at once; returns the
    wall time from go to the last one done, and their outcomes."""
    processes = [subprocess.Popen(client_command(job), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True) for job in jobs]
    for process in processes:
        if process.stdout.readline().strip() != "ready":
            raise RuntimeError("a client process did not start")
    started = time.perf_counter()
    for process in processes:
        process.stdin.write("go\n")
        process.stdin.flush()
    outcomes = [json.loads(process.stdout.readline() or "{}") for process in processes]
    elapsed = time.perf_counter() - started
    for process in processes:
        process.wait()
    for outcome in outcomes:
        if "done" not in outcome:
            raise RuntimeError("a client process ended without its outcome")
    return elapsed, outcomes


# ---- the lines ----

CURL = ["curl", "-s", "-S", "--no-progress-meter", "--max-time", "900"]


def curl(server, tls, args):
    command = CURL + ["--user", f"{server.user}:{server.password}"]
    if tls:
        command += ["--ssl-reqd", "-k"]
    start = time.perf_counter()
    subprocess.run(command + args, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def url(server, path):
    return f"ftp://127.0.0.1:{server.port}{path}"


class Lines:
    def __init__(self, options, share):
        self.options, self.share = options, share
        self.big_size = options.mib * 1024 * 1024
        self.source = os.path.join(os.path.dirname(share), "big.bin")

    def download(self, server, tls):
        return {"value": self.big_size / curl(server, tls, ["-o", "/dev/null",
                                                              url(server, "/pub/big.bin")]) / 1e6}

    def upload(self, server, tls):
        name = f"upload-{server.name}.bin"
        target = os.path.join(self.share, "pub", name)
        os.sync()  # writeback of earlier files does not compete with this one
        elapsed = curl(server, tls, ["-T", self.source, url(server, "/pub/" + name)])
        arrived = os.path.getsize(target)
        os.remove(target)
        if arrived != self.big_size:
            raise RuntimeError(f"upload arrived with {arrived} bytes")
        return {"value": self.big_size / elapsed / 1e6}

    def small(self, server, tls, kind, clients, count):
        paths = [f"small/f{n:04}.bin" for n in range(count)]
        jobs = [{"kind": kind, "port": server.port, "user": server.user,
                 "password": server.password, "tls": bool(tls), "paths": paths[i::clients]}
                for i in range(clients)]
        cpu = server.cpu_seconds()
        elapsed, outcomes = run_clients(jobs)
        time.sleep(0.2)  # ended session processes of the forking servers are reaped
        server_cpu = server.cpu_seconds() - cpu
        errors = [e for o in outcomes for e in o["errors"]]
        if errors:
            raise RuntimeError(f"{len(errors)} client errors, first: {errors[0]}")
        done = sum(o["done"] for o in outcomes)
        return {"value": done / elapsed, "refused": sum(o["refused"] for o in outcomes),
                "server_ms_per_file": 1000 * server_cpu / max(done, 1),
                "client_cores": sum(o["cpu"] for o in outcomes) / elapsed,
                **({"resumed_share": sum(o["resumed"] for o in outcomes) / max(done, 1)}
                   if tls else {})}

    def concurrent(self, server, tls):
        sessions, processes = self.options.sessions, 4
        jobs = [{"kind": "big", "port": server.port, "user": server.user,
                 "password": server.password, "tls": bool(tls), "paths": ["mid.bin"],
                 "threads": sessions // processes + (1 if i < sessions % processes else 0)}
                for i in range(processes)]
        _, outcomes = run_clients(jobs)
        errors = [e for o in outcomes for e in o["errors"]]
        if errors:
            raise RuntimeError(f"{len(errors)} client errors, first: {errors[0]}")
        spans = [s for o in outcomes for s in o["spans"]]
        expected = self.options.mid_mib * 1024 * 1024
        if len(spans) != sessions or any(size != expected for _, _, size in spans):
            raise RuntimeError("a session's download came out short")
        wall = max(end for _, end, _ in spans) - min(begin for begin, _, _ in spans)
        durations = [end - begin for begin, end, _ in spans]
        return {"value": sessions * expected / wall / 1e6,
                "spread": max(durations) / min(durations)}


def many_sessions(lines, server, tls):
    """options.many sessions logged in at once over four client processes, each fetching
    small files in turn: files/s, 421 refusals and the 99th percentile of a RETR's time."""
    options = lines.options
    processes = 4
    paths = [f"small/f{n:04}.bin" for n in range(options.small)]
    jobs = [{"kind": "many", "port": server.port, "user": server.user,
             "password": server.password, "tls": bool(tls), "paths": paths[i::processes],
             "threads": options.many // processes + (1 if i < options.many % processes else 0)}
            for i in range(processes)]
    cpu = server.cpu_seconds()
    elapsed, outcomes = run_clients(jobs)
    time.sleep(0.2)
    server_cpu = server.cpu_seconds() - cpu
    errors = [e for o in outcomes for e in o["errors"]]
    if errors:
        raise RuntimeError(f"{len(errors)} client errors, first: {errors[0]}")
    latencies = sorted(t for o in outcomes for t in o.get("latencies", []))
    done = len(latencies)
    p99 = latencies[min(done - 1, int(done * 0.99))] if done else float("nan")
    return {"value": done / elapsed, "refused": sum(o["refused"] for o in outcomes),
            "p99_ms": 1000 * p99, "server_ms_per_file": 1000 * server_cpu / max(done, 1),
            "client_cores": sum(o["cpu"] for o in outcomes) / elapsed}


def line_table(options):
    """(label, unit, tls, measure) for every line, in the order they run."""
    small = f"{options.small} files x {options.small_kib} KiB"
    plain = [
        (f"download {options.mib} MiB", "MB/s", lambda l, s, t: l.download(s, t)),
        (f"upload {options.mib} MiB", "MB/s", lambda l, s, t: l.upload(s, t)),
        (f"{small}, {options.clients} reused connections", "files/s",
         lambda l, s, t: l.small(s, t, "reuse", options.clients, options.small)),
        (f"{small}, login per file, {options.clients} clients", "files/s",
         lambda l, s, t: l.small(s, t, "connect", options.clients, options.small)),
        (f"{options.sessions} sessions x {options.mid_mib} MiB at once", "MB/s",
         lambda l, s, t: l.concurrent(s, t)),
    ]
    table = [(label, unit, False, measure) for label, unit, measure in plain]
    table.append((f"{options.many} sessions at once, {options.small_kib} KiB files", "files/s",
                  False, many_sessions))
    table.append((f"sessions/s, connect+login+RETR+QUIT, {options.cycle_clients} clients",
                  "cycles/s", False,
                  lambda l, s, t: l.small(s, t, "connect", options.cycle_clients,
                                          options.cycles)))
    if not options.no_tls:
        table += [(label + ", TLS", unit, True, measure) for label, unit, measure in plain]
    return table


def make_share(options, work):
    share = os.path.join(work, "share")
    pub = os.path.join(share, "pub")
    os.makedirs(os.path.join(pub, "small"))
    for folder in (work, share):
        os.chmod(folder, 0o755)  # the peers' session processes run as nobody
    os.chmod(pub, 0o777)
    block = os.urandom(1024 * 1024)
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        for _ in range(options.mib):
            f.write(block)
    os.chmod(big, 0o644)
    os.link(big, os.path.join(pub, "big.bin"))
    with open(os.path.join(pub, "mid.bin"), "wb") as f:
        for _ in range(options.mid_mib):
            f.write(block)
    for n in range(max(options.small, options.cycles)):
        with open(os.path.join(pub, "small", f"f{n:04}.bin"), "wb") as f:
            f.write(os.urandom(options.small_kib * 1024))
    for root, folders, files in os.walk(pub):
        for name in files:
            os.chmod(os.path.join(root, name), 0o644)
    os.sync()
    return share


def summary(values):
    return {"min": min(values), "median": statistics.median(values), "max": max(values)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="repetitions (servers interleaved)")
    parser.add_argument("--mib", type=int, default=1024, help="size of the large file")
    parser.add_argument("--small", type=int, default=2000, help="number of small files")
    parser.add_argument("--small-kib", type=int, default=16, help="size of a small file")
    parser.add_argument("--clients", type=int, default=16, help="small-file clients")
    parser.add_argument("--sessions", type=int, default=64, help="concurrent sessions")
    parser.add_argument("--mid-mib", type=int, default=64, help="file of each concurrent session")
    parser.add_argument("--cycles", type=int, default=500, help="sessions of the sessions/s line")
    parser.add_argument("--cycle-clients", type=int, default=4,
                        help="clients of the sessions/s line")
    parser.add_argument("--many", type=int, default=1000,
                        help="sessions of the many-sessions line")
    parser.add_argument("--loops", default="1,2,all",
                        help="session loops our server runs with, a column each (all: one per "
                             "processor, the column named quenlowftp)")
    parser.add_argument("--no-tls", action="store_true", help="leave out the TLS lines")
    parser.add_argument("--only", metavar="NAMES",
                        help="comma-separated servers to run (e.g. quenlowftp,vsftpd)")
    parser.add_argument("--lines", metavar="TEXT",
                        help="run only the lines whose label contains TEXT (comma-separated: any)")
    parser.add_argument("--baseline", metavar="BINARY",
                        help="another build of this program, measured as a column of its own")
    parser.add_argument("--json", metavar="PATH",
                        default=os.path.join(HERE, "..", "build", "bench-peers.json"))
    options = parser.parse_args()

    kinds = []
    cores = os.cpu_count() or 1
    tokens = options.loops.split(",")
    for token in tokens:
        if token == "all":
            kinds.append(Ours)
        elif int(token) == cores and "all" in tokens:
            continue  # the same server as "all"
        else:
            kinds.append(type(f"Ours{token}", (Ours,), {
                "name": f"quenlowftp-{token}", "extra": {"SysSessionLoops": token}}))
    if options.baseline:
        class Baseline(Ours):
            name = "baseline"
            binary = os.path.abspath(options.baseline)
        kinds.append(Baseline)
    not_started = {}
    for kind in (Vsftpd, PureFtpd, Proftpd):
        why = kind.missing()
        if why:
            not_started[kind.name] = why
        else:
            kinds.append(kind)
    if options.only:
        wanted = options.only.split(",")
        kinds = [kind for kind in kinds if kind.name in wanted]
    table = line_table(options)
    if options.lines:
        wanted = options.lines.split(",")
        table = [line for line in table if any(text in line[0] for text in wanted)]

    work = tempfile.mkdtemp(prefix="qftp-peers-")
    results = {}  # label -> server -> list of figures
    try:
        share = make_share(options, work)
        tls = None if options.no_tls else make_certificate(work)
        for path in tls or ():
            os.chmod(path, 0o644)
        lines = Lines(options, share)
        for run in range(options.runs):
            order = kinds[run % len(kinds):] + kinds[:run % len(kinds)]
            for kind in order:
                server = kind()
                try:
                    server.start(work, share, tls)
                except Exception as error:  # noqa: BLE001 - reported
                    not_started[kind.name] = f"did not start: {error}"
                    kinds.remove(kind)
                    continue
                try:
                    for label, unit, over_tls, measure in table:
                        if over_tls and not server.tls_offered:
                            continue
                        try:
                            figure = measure(lines, server, tls if over_tls else None)
                        except Exception as error:  # noqa: BLE001 - reported, the run goes on
                            figure = {"error": str(error)[:300]}
                        results.setdefault(label, {}).setdefault(kind.name, []).append(figure)
                        print(f"run {run + 1}/{options.runs} {kind.name:11} {label}: "
                              + (f"{figure['value']:.1f} {unit}" if "value" in figure
                                 else figure["error"]), file=sys.stderr, flush=True)
                finally:
                    server.stop()
        report(options, table, kinds, results, not_started)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(options, table, kinds, results, not_started):
    names = [kind.name for kind in kinds]
    ours_names = [n for n in names if n.startswith("quenlowftp") or n == "baseline"]
    peers = [n for n in names if n not in ours_names]
    print(f"quenlowftp runs its sessions on all {os.cpu_count()} processors' loops; "
          "quenlowftp-N on N loops")
    document = {"runs": options.runs, "machine": os.uname().release,
                "cores": os.cpu_count(), "not_started": not_started, "lines": {}}
    width = 23
    print(f"\n{'line':56} {'unit':8}" + "".join(f" {n:>{width}}" for n in names)
          + "  ours/best peer: medians, bests")
    print(f"{'':56} {'':8}" + "".join(f" {'min / median / max':>{width}}" for _ in names))
    for label, unit, _, _ in table:
        per_server = results.get(label, {})
        entry = document["lines"].setdefault(label, {"unit": unit, "servers": {}})
        row = f"{label:56} {unit:8}"
        best, middle = {}, {}
        for name in names:
            figures = per_server.get(name, [])
            values = [f["value"] for f in figures if "value" in f]
            record = {"runs": figures}
            if values:
                record.update(summary(values))
                best[name] = max(values)
                middle[name] = statistics.median(values)
                cell = f"{min(values):.0f} / {statistics.median(values):.0f} / {max(values):.0f}"
            elif figures:
                cell = "failed"
            else:
                cell = "-"
            entry["servers"][name] = record
            row += f" {cell:>{width}}"
        peer_best = max((best[p] for p in peers if p in best), default=None)
        peer_middle = max((middle[p] for p in peers if p in middle), default=None)
        if peer_best and "quenlowftp" in best:
            entry["ratio_of_medians"] = middle["quenlowftp"] / peer_middle
            entry["ratio_to_best_peer"] = best["quenlowftp"] / peer_best
            row += f"  {entry['ratio_of_medians']:.2f}, {entry['ratio_to_best_peer']:.2f}"
        print(row)
    print("\nDetails (medians): server CPU per file, client CPU (cores busy of "
          f"{os.cpu_count()}), 421 refusals, share of data connections that resumed the "
          "control connection's TLS session, slowest/fastest concurrent session")
    for label, unit, _, _ in table:
        for name in names:
            figures = [f for f in results.get(label, {}).get(name, []) if "value" in f]
            if not figures:
                continue
            parts = []
            for key, text in (("server_ms_per_file", "server {:.3f} ms/file"),
                              ("client_cores", "client {:.2f} cores"),
                              ("refused", "421s {:.0f}"), ("p99_ms", "p99 RETR {:.1f} ms"),
                              ("resumed_share", "data TLS resumed {:.0%}"),
                              ("spread", "spread {:.2f}")):
                if key in figures[0]:
                    parts.append(text.format(statistics.median(f[key] for f in figures)))
            if parts:
                print(f"  {label:56} {name:11} " + ", ".join(parts))
    for label, per_server in results.items():
        for name, figures in per_server.items():
            for figure in figures:
                if "error" in figure:
                    print(f"  failed: {name} {label}: {figure['error']}")
    for name, why in not_started.items():
        print(f"not measured: {name}: {why}")
    print("TLS lines: " + ", ".join(n for n in names if n in results.get(
        next((l for l, _, t, _ in table if t), ""), {})) if not options.no_tls else "")
    with open(options.json, "w") as f:
        json.dump(document, f, indent=1)
    print(f"JSON: {os.path.abspath(options.json)}")


if __name__ == "__main__":
    sys.exit(main())
