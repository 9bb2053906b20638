#!/usr/bin/env python3
"""Times particion against shuf (what a user would pick instead) and cat (the
input/output floor) on synthetic pixel lists of 1, 10 and 30 million records.

Usage: bench/run.py [--build DIR] [--runs N] [--sizes 1000000,10000000,30000000]
                    [--baseline PROGRAM] [--no-shuf]
       bench/run.py --large [--free MIB] [--build DIR] [--runs N]
                    [--baseline PROGRAM]

The lists are made with a fixed seed in bench/data/ and kept between runs.
Every tool reads the same file; runs alternate between the tools so that a
noisy machine slows them alike. Prints the median wall time and peak resident
memory of each, and the ratios. --no-shuf leaves shuf out (at 300 million
records it would take most of an hour).

--large times a list larger than the memory left to it: 60 million records
of 13 bands and a label (3.8 GB), split 70/30, with memory held back by a
filled tmpfs so that only --free MiB (default 1536) stay available, and the
page cache dropped before every run; against `cat LIST > COPY; sync COPY`
under the same conditions. Needs root (mount, drop_caches); the tmpfs is
unmounted at the end, whatever happens.
"""

import argparse
import contextlib
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")


# Past this many records a list repeats a block of this many random ones (with
# a running block number in its first value), so that 300 million records
# take a minute, not half an hour; the tool never looks inside a record.
REPEAT_FROM = 30000000
BLOCK = 1000000


def make_list(records, bands=3):
    """Header 4 (or 14), then `bands` band values and a class label a
    line."""
    name = "pixels-%d.txt" % records if bands == 3 else \
        "pixels-%dx%d.txt" % (records, bands)
    path = os.path.join(DATA, name)
    if os.path.exists(path):
        return path
    os.makedirs(DATA, exist_ok=True)
    rng = random.Random(records)
    # Build from a table of the values so ten million lines take seconds.
    values = ["%d" % v for v in range(4096 if bands > 3 else 256)]
    bits = 12 if bands > 3 else 8
    line = " ".join(["%s"] * bands) + " %d\n"

    def lines(n):
        return "".join(line % (tuple(values[rng.getrandbits(bits)]
                                     for _ in range(bands))
                               + (rng.randrange(10),))
                       for _ in range(n))
    with open(path + ".part", "w") as f:
        f.write("%d\n" % (bands + 1))
        if records <= REPEAT_FROM:
            for start in range(0, records, 100000):
                f.write(lines(min(100000, records - start)))
        else:
            block = lines(BLOCK)
            for start in range(0, records, BLOCK):
                n = min(BLOCK, records - start)
                text = block if n == BLOCK else "".join(
                    block.splitlines(True)[:n])
                f.write("%d " % (start // BLOCK) + text.replace(
                    "\n", "\n%d " % (start // BLOCK), n - 1))
    os.replace(path + ".part", path)
    return path


def timed(argv, stdin_bytes=b"", stdout_path=os.devnull, cwd=None):
    """Runs argv; returns (wall seconds, peak resident MiB).

    GNU time measures the peak memory: a child forked from this Python
    process would count Python's own pages in its peak.
    """
    report = os.path.join(DATA, "time.out")
    start = time.perf_counter()
    with open(stdout_path, "wb") as out:
        done = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M"]
                              + argv, input=stdin_bytes, stdout=out,
                              stderr=subprocess.PIPE, cwd=cwd)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("%s failed (%d): %s" % (argv, done.returncode, done.stderr))
    with open(report) as f:
        return wall, int(f.read().split()[-1]) / 1024.0


def available_mib():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) // 1024
    sys.exit("no MemAvailable in /proc/meminfo")


def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


@contextlib.contextmanager
def memory_held_back(free_mib):
    """Leaves about `free_mib` MiB available by filling a tmpfs."""
    hold = os.path.join(DATA, "hold")
    os.makedirs(hold, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=100%", "tmpfs", hold],
                   check=True)
    try:
        drop_caches()
        fill = available_mib() - free_mib
        if fill > 0:
            with open(os.path.join(hold, "fill"), "wb") as f:
                chunk = b"\xff" * (1 << 20)
                for _ in range(fill):
                    f.write(chunk)
        yield available_mib()
    finally:
        subprocess.run(["umount", hold], check=False)


def large(args, program):
    """A list larger than the memory left to it, cold, against cat."""
    records = 60000000
    source = make_list(records, bands=13)
    size_mib = os.path.getsize(source) / 2**20
    work = os.path.join(DATA, "work")
    os.makedirs(work, exist_ok=True)
    copy = os.path.join(work, "copy.txt")
    n_entr = records * 7 // 10
    answers = b"%s %d %d\n" % (source.encode(), n_entr, records - n_entr)
    tools = {
        "particion": lambda: timed([program], answers, cwd=work),
        "cat+sync": lambda: timed(
            ["sh", "-c", 'cat "$1" > "$2" && sync "$2"', "sh", source,
             copy]),
    }
    if args.baseline:
        baseline = os.path.abspath(args.baseline)
        tools["baseline"] = lambda: timed([baseline], answers, cwd=work)
    results = {name: [] for name in tools}
    with memory_held_back(args.free) as left:
        print("list %.0f MiB, %d records; memory available %d MiB; cold "
              "cache each run" % (size_mib, records, left))
        for _ in range(args.runs):
            for name, run in tools.items():
                drop_caches()
                results[name].append(run())
                print("  %-10s %8.2f s %8.0f MiB" % ((name,) +
                                                     results[name][-1]))
    medians = {name: (statistics.median(r[0] for r in runs),
                      statistics.median(r[1] for r in runs))
               for name, runs in results.items()}
    for name, (wall, rss) in medians.items():
        print("%-10s median %8.2f s, peak %8.0f MiB (%.3fx the list)" %
              (name, wall, rss, rss / size_mib))
    print("particion / (cat+sync) time %.2f" %
          (medians["particion"][0] / medians["cat+sync"][0]))
    if "baseline" in medians:
        print("particion / baseline time %.2f" %
              (medians["particion"][0] / medians["baseline"][0]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="1000000,10000000,30000000")
    parser.add_argument("--baseline", help="another particion build (say, "
                        "of an earlier commit) to time side by side")
    parser.add_argument("--no-shuf", action="store_true",
                        help="leave shuf out")
    parser.add_argument("--large", action="store_true",
                        help="the 3.8 GB list with memory held back")
    parser.add_argument("--free", type=int, default=1536,
                        help="MiB left available with --large")
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "particion"))
    if not os.access(program, os.X_OK):
        sys.exit("no %s: build first (see README)" % program)
    if args.large:
        large(args, program)
        return
    work = os.path.join(DATA, "work")
    os.makedirs(work, exist_ok=True)

    per_record = {}
    print("%-10s %-10s %10s %10s %12s" %
          ("records", "tool", "median s", "peak MiB", "ns/record"))
    for records in [int(s) for s in args.sizes.split(",")]:
        source = make_list(records)
        size_mib = os.path.getsize(source) / 2**20
        n_entr = records * 7 // 10
        n_test = records - n_entr
        tools = {
            "particion": lambda: timed(
                [program], b"%s %d %d\n" % (source.encode(), n_entr, n_test),
                cwd=work),
            "shuf": lambda: timed(
                ["shuf", "-n", str(records), "-o",
                 os.path.join(work, "shuf.txt"), source]),
            "cat": lambda: timed(["cat", source],
                                 stdout_path=os.path.join(work, "cat.txt")),
        }
        if args.no_shuf:
            del tools["shuf"]
        if args.baseline:
            baseline = os.path.abspath(args.baseline)
            tools["baseline"] = lambda: timed(
                [baseline], b"%s %d %d\n" % (source.encode(), n_entr, n_test),
                cwd=work)
        results = {name: [] for name in tools}
        for _ in range(args.runs):
            for name, run in tools.items():
                results[name].append(run())
        medians = {}
        for name, runs in results.items():
            wall = statistics.median(r[0] for r in runs)
            rss = statistics.median(r[1] for r in runs)
            medians[name] = (wall, rss)
            print("%-10d %-10s %10.3f %10.1f %12.1f" %
                  (records, name, wall, rss, wall / records * 1e9))
        p, c = medians["particion"], medians["cat"]
        per_record[records] = p[0] / records * 1e9
        if "baseline" in medians:
            print("  particion/baseline time %.3f" %
                  (p[0] / medians["baseline"][0]))
        print("  file %.1f MiB; particion/cat time %.2f; peak memory "
              "particion %.2fx the file" % (size_mib, p[0] / c[0],
                                            p[1] / size_mib))
        if "shuf" in medians:
            s = medians["shuf"]
            print("  particion/shuf time %.3f (shuf %.2fx slower), shuf peak "
                  "memory %.2fx the file" % (p[0] / s[0], s[0] / p[0],
                                             s[1] / size_mib))
    sizes = sorted(per_record)
    for smaller, larger in zip(sizes, sizes[1:]):
        print("particion time per record at %d records / at %d: %.2f"
              " (1.00 is linear)" % (larger, smaller,
                                     per_record[larger] / per_record[smaller]))


if __name__ == "__main__":
    main()
