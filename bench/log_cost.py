#!/usr/bin/env python3
"""What info logging costs the server: the same small-file load (one curl, 16 transfers at a
time) against the program with "LogInfoMsg" off and on, the two interleaved, measured as the
server's own CPU time per file (user + system, from /proc) and as files per second. CPU time
per file does not move with the client's speed the way throughput does. With --baseline the
two columns are two builds instead (both with info logging off), e.g. before and after a
change.

    python3 bench/log_cost.py [--files 2000] [--runs 5] [--binary build/quenlowftp]
                              [--baseline OTHER_BINARY]
"""

import argparse
import os
import shutil
import statistics
import tempfile

import compare_vsftpd as bench


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--bytes", type=int, default=4096)
    parser.add_argument("--parallel", type=int, default=16)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--binary", default=bench.BINARY)
    parser.add_argument("--baseline", help="compare with this build instead of logging on")
    options = parser.parse_args()
    # Each column: its binary and whether it logs info.
    columns = {"off": (options.binary, False), "on": (options.binary, True)}
    if options.baseline:
        columns = {"new": (options.binary, False), "baseline": (options.baseline, False)}
    first, second = columns

    work = tempfile.mkdtemp(prefix="qftp-logcost-")
    try:
        root = os.path.join(work, "pub")
        os.makedirs(os.path.join(root, "small"))
        block = os.urandom(options.bytes)
        for i in range(options.files):
            with open(os.path.join(root, "small", f"f{i:04}.bin"), "wb") as f:
                f.write(block)
        results = {mode: [] for mode in columns}
        for run in range(options.runs):
            for mode in ((first, second) if run % 2 == 0 else (second, first)):
                class Column(bench.Ours):
                    name = "column-" + mode + str(run)
                    binary = os.path.abspath(columns[mode][0])
                    extra = {"LogInfoMsg": "true" if columns[mode][1] else "false"}
                server = Column(work, root, None)
                try:
                    before = cpu_seconds(server.process.pid)
                    rate = bench.small_files(server, options.files, options.parallel)
                    used = cpu_seconds(server.process.pid) - before
                finally:
                    server.stop()
                results[mode].append((used * 1000 / options.files, rate))
        with open(os.path.join(work, f"column-{second}0.log")) as f:
            count = sum(1 for _ in f)
        print(f"{options.files} files x {options.bytes} B, {options.parallel} at a time, "
              f"{options.runs} runs each, interleaved")
        head = "build" if options.baseline else "info logging"
        print(f"{head:14} {'CPU ms/file (min/median/max)':32} {'files/s (median)':>16}")
        for mode in columns:
            cpu = sorted(c for c, _ in results[mode])
            rate = statistics.median(r for _, r in results[mode])
            print(f"{mode:14} {cpu[0]:8.3f} {statistics.median(cpu):8.3f} {cpu[-1]:8.3f}"
                  f"{'':8} {rate:16.0f}")
        a = statistics.median(c for c, _ in results[first])
        b = statistics.median(c for c, _ in results[second])
        print(f"CPU per file, {second} / {first}: {b / a:.3f}; "
              f"{count} log lines in one run of {second}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
