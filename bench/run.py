#!/usr/bin/env python3
"""Times particion against shuf (what a user would pick instead) and cat (the
input/output floor) on synthetic pixel lists of 1, 10 and 30 million records.

Usage: bench/run.py [--build DIR] [--runs N] [--sizes 1000000,10000000,30000000]
                    [--baseline PROGRAM] [--no-shuf]
       bench/run.py --large [--free MIB] [--limit KIB] [--build DIR]
                    [--runs N] [--baseline PROGRAM]
       bench/run.py --starved MIB,MIB [--runs N]
       bench/run.py --top [--free MIB] [--limit KIB] [--build DIR] [--runs N]
                    [--baseline PROGRAM]

The lists are made with a fixed seed in bench/data/ and kept between runs.
Every tool reads the same file; runs alternate between the tools so that a
noisy machine slows them alike. Prints the median wall time and peak resident
memory of each, the spread (least and most) and the ratios, each ratio also
per pair of runs. --no-shuf leaves shuf out (at 300 million records it would
take most of an hour).

--large times a list larger than the memory left to it: 60 million records
of 13 bands and a label (3.8 GB), split 70/30, with memory held back by a
filled tmpfs so that only --free MiB (default 1536) stay available, and the
page cache dropped before every run; against `cat LIST > COPY; sync COPY`
under the same conditions. Needs root (mount, drop_caches); the tmpfs is
unmounted at the end, whatever happens.

--top times the top of the range: 2,147,483,647 records of one band and a
label (14.45 GB), split 70/30 of all, cold, against cat + sync, with all the
machine's memory unless --free is given. The list is made once (a block of
random records written again and again, about 20 s); the disk it needs is
checked first and said.

--starved 384,240 runs particion on a list of 80 million records (1 GB)
with only that many MiB left (a filled tmpfs), below what it needs held
either way: each run must end at once with "No hay memoria suficiente",
exit status 1 and the earlier pair kept, never be killed by the system.

--limit KIB runs particion under an address-space limit (ulimit -v KIB) and,
beside it, once unlimited on the same clock second (through a small library
that fixes time() for both, built here), and checks that the two pairs are
byte for byte the same.
"""

import argparse
import contextlib
import os
import random
import resource
import shutil
import signal
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
TOP = 2147483647


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


def make_top_list():
    """2,147,483,647 records of one band value and a label ("2266 5"), the
    shortest records a pixel list of real use has: a block of 65536 random
    ones written again and again, at the disk's speed."""
    path = os.path.join(DATA, "top.txt")
    if os.path.exists(path):
        return path
    rng = random.Random(TOP)
    lines = ["%d %d\n" % (rng.randrange(4096), rng.randrange(10))
             for _ in range(1 << 16)]
    block = "".join(lines).encode()
    os.makedirs(DATA, exist_ok=True)
    need = len(block) * (TOP >> 16) + (1 << 30)
    if shutil.disk_usage(DATA).free < need:
        sys.exit("the top of the range needs %.1f GB of disk for its list "
                 "in %s" % (need / 1e9, DATA))
    with open(path + ".part", "wb") as f:
        f.write(b"2\n")
        full, rest = divmod(TOP, 1 << 16)
        for _ in range(full):
            f.write(block)
        f.write("".join(lines[:rest]).encode())
    os.replace(path + ".part", path)
    return path


def timed(argv, stdin_bytes=b"", stdout_path=os.devnull, cwd=None,
          preexec_fn=None, env=None, outcome=None):
    """Runs argv; returns (wall seconds, peak resident MiB). A failure ends
    the benchmark, unless `outcome` (a list) is given: it then gets the exit
    status and standard error.

    GNU time measures the peak memory: a child forked from this Python
    process would count Python's own pages in its peak.
    """
    report = os.path.join(DATA, "time.out")
    start = time.perf_counter()
    with open(stdout_path, "wb") as out:
        done = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M"]
                              + argv, input=stdin_bytes, stdout=out,
                              stderr=subprocess.PIPE, cwd=cwd,
                              preexec_fn=preexec_fn, env=env)
    wall = time.perf_counter() - start
    if outcome is not None:
        outcome[:] = [done.returncode, done.stderr]
    elif done.returncode != 0:
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
    """Leaves about `free_mib` MiB available by filling a tmpfs (nothing,
    with no `free_mib`)."""
    if free_mib is None:
        yield available_mib()
        return
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
        if subprocess.run(["umount", hold], check=False).returncode != 0:
            print("the tmpfs at %s holding memory back is still mounted: "
                  "umount it" % hold, file=sys.stderr)


def fixed_second():
    """A library that makes time() return FIXED_TIME, for two runs of the
    same draw: the acceptance tests' own, built here."""
    library = os.path.join(DATA, "fixed_time.so")
    if not os.path.exists(library):
        source = os.path.join(HERE, "..", "tests", "acceptance",
                              "fixed_time.c")
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library,
                        source], check=True)
    return dict(os.environ, LD_PRELOAD=library,
                FIXED_TIME=str(int(time.time())))


def address_space(kib):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (kib << 10, kib << 10))
    return limit


def same_pair(a, b):
    """Whether the set files in folders `a` and `b` are byte for byte the
    same."""
    for name in ("Entrenamiento.txt", "Test.txt"):
        done = subprocess.run(["cmp", "-s", os.path.join(a, name),
                               os.path.join(b, name)])
        if done.returncode != 0:
            return False
    return True


def spread(values):
    return "median %.2f, least %.2f, most %.2f" % (
        statistics.median(values), min(values), max(values))


def report_cold(results, size_mib):
    """Medians, spreads and ratios of the runs of a cold benchmark."""
    for name, runs in results.items():
        walls = [r[0] for r in runs]
        rss = statistics.median(r[1] for r in runs)
        print("%-12s %s s; peak %8.0f MiB (%.3fx the list)" %
              (name, spread(walls), rss, rss / size_mib))
    floor = results["cat+sync"]
    for name in results:
        if name.startswith("particion"):
            ratios = [p[0] / c[0] for p, c in zip(results[name], floor)]
            print("%s / (cat+sync), per pair of runs: %s; of the medians "
                  "%.2f" % (name, spread(ratios),
                            statistics.median(r[0] for r in results[name]) /
                            statistics.median(r[0] for r in floor)))
    if "baseline" in results:
        ratios = [p[0] / b[0] for p, b in zip(results["particion"],
                                               results["baseline"])]
        print("particion / baseline, per pair of runs: %s" % spread(ratios))


def cold(args, program, source, records):
    """A list drawn cold, against cat + sync; --limit adds a run under an
    address-space limit, checked against an unlimited run of the same
    second."""
    size_mib = os.path.getsize(source) / 2**20
    work = os.path.join(DATA, "work")
    limited = os.path.join(DATA, "work-limited")
    for folder in (work, limited):
        os.makedirs(folder, exist_ok=True)
    copy = os.path.join(work, "copy.txt")
    n_entr = records * 7 // 10
    answers = b"%s %d %d\n" % (source.encode(), n_entr, records - n_entr)
    same = fixed_second() if args.limit else None
    tools = {"particion": lambda: timed([program], answers, cwd=work,
                                        env=same)}
    if args.limit:
        tools["particion, limited"] = lambda: timed(
            [program], answers, cwd=limited, env=same,
            preexec_fn=address_space(args.limit))
    tools["cat+sync"] = lambda: timed(
        ["sh", "-c", 'cat "$1" > "$2" && sync "$2"', "sh", source, copy])
    if args.baseline:
        baseline = os.path.abspath(args.baseline)
        # Beside a limited run, a folder of its own: its pair is not one
        # of those compared. Otherwise the same folder, so that a list
        # larger than memory needs no third pair's disk.
        elsewhere = os.path.join(DATA, "work-baseline") if args.limit \
            else work
        os.makedirs(elsewhere, exist_ok=True)
        tools["baseline"] = lambda: timed([baseline], answers, cwd=elsewhere)
    results = {name: [] for name in tools}
    with memory_held_back(args.free) as left:
        print("list %.0f MiB, %d records; memory available %d MiB; cold "
              "cache each run%s" % (size_mib, records, left,
                                    "; limit %d KiB" % args.limit
                                    if args.limit else ""))
        # Whatever runs first once memory is held back runs slower, while
        # the system settles (3.8 GB list: 8.4 s of system time against
        # 5.5 s): a run of cat + sync, not counted, takes that.
        drop_caches()
        tools["cat+sync"]()
        for _ in range(args.runs):
            for name, run in tools.items():
                drop_caches()
                results[name].append(run())
                print("  %-20s %8.2f s %8.0f MiB" % ((name,) +
                                                     results[name][-1]))
            if args.limit:
                print("  the limited pair is %s the unlimited one" % (
                    "byte for byte" if same_pair(work, limited)
                    else "NOT"))
    report_cold(results, size_mib)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def starved(args, program):
    """A list of 80 million records (1 GB) with less memory left than
    either way of holding it needs: each run must end with the message and
    the earlier pair, never be killed."""
    records = 80000000
    source = make_list(records)
    work = os.path.join(DATA, "work")
    os.makedirs(work, exist_ok=True)
    pair = [os.path.join(work, n) for n in ("Entrenamiento.txt", "Test.txt")]
    for path in pair:
        with open(path, "wb") as f:
            f.write(b"the earlier pair\n")
    answers = b"%s %d %d\n" % (source.encode(), records * 7 // 10,
                                records - records * 7 // 10)
    faults = 0
    for free in [int(f) for f in args.starved.split(",")]:
        with memory_held_back(free) as left:
            for _ in range(args.runs):
                drop_caches()
                outcome = []
                wall, rss = timed([program], answers, cwd=work,
                                  outcome=outcome)
                status, err = outcome
                kept = all(read(p) == b"the earlier pair\n" for p in pair)
                told = status == 1 and b"No hay memoria suficiente" in err
                faults += not (told and kept)
                print("  %d MiB available: exit %d after %.2f s, peak %.0f "
                      "MiB, %s; earlier pair %s" % (
                          left, status, wall, rss,
                          "told" if told else "NOT told: %r" % err,
                          "kept" if kept else "NOT kept"))
    print("%d of the starved runs were killed, went on or lost the pair"
          % faults)


def in_memory(args, program):
    """The lists of --sizes, in memory, against cat and shuf."""
    work = os.path.join(DATA, "work")
    os.makedirs(work, exist_ok=True)
    per_record = {}
    print("%-10s %-10s %10s %10s %12s" %
          ("records", "tool", "median s", "peak MiB", "ns/record"))
    for records in [int(s) for s in args.sizes.split(",")]:
        source = make_list(records)
        size_mib = os.path.getsize(source) / 2**20
        answers = b"%s %d %d\n" % (source.encode(), records * 7 // 10,
                                   records - records * 7 // 10)
        tools = {
            "particion": lambda: timed([program], answers, cwd=work),
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
            tools["baseline"] = lambda: timed([baseline], answers, cwd=work)
        results = {name: [] for name in tools}
        for _ in range(args.runs):
            for name, run in tools.items():
                results[name].append(run())
        medians = {}
        for name, runs in results.items():
            wall = statistics.median(r[0] for r in runs)
            rss = statistics.median(r[1] for r in runs)
            medians[name] = (wall, rss)
            print("%-10d %-10s %10.3f %10.1f %12.1f   (%s)" %
                  (records, name, wall, rss, wall / records * 1e9,
                   spread([r[0] for r in runs])))
        p, c = medians["particion"], medians["cat"]
        per_record[records] = p[0] / records * 1e9
        if "baseline" in medians:
            ratios = [a[0] / b[0] for a, b in zip(results["particion"],
                                                   results["baseline"])]
            print("  particion/baseline time %.3f; per pair of runs %s" %
                  (p[0] / medians["baseline"][0], spread(ratios)))
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


def main():
    # Ended by a signal (a timeout, say), the benchmark still gives back the
    # memory it holds: the tmpfs is unmounted on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
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
    parser.add_argument("--top", action="store_true",
                        help="2,147,483,647 records of one band and a label")
    parser.add_argument("--starved", metavar="MIB,MIB",
                        help="runs on a 1 GB list with only these MiB "
                        "left, and checks each ends with the message")
    parser.add_argument("--free", type=int, default=None,
                        help="MiB left available (--large: 1536 unless "
                        "given; --top: all unless given)")
    parser.add_argument("--limit", type=int, default=None,
                        help="also run particion under ulimit -v of this "
                        "many KiB, and check its pair against an unlimited "
                        "run's")
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "particion"))
    if not os.access(program, os.X_OK):
        sys.exit("no %s: build first (see README)" % program)
    os.makedirs(DATA, exist_ok=True)
    if args.large:
        if args.free is None:
            args.free = 1536
        cold(args, program, make_list(60000000, bands=13), 60000000)
    elif args.starved:
        starved(args, program)
    elif args.top:
        source = make_top_list()
        # Beside the list: cat's copy, the earlier pair, the new one, and as
        # much again for the buckets of a list larger than memory, at most.
        need = 4 * os.path.getsize(source)
        free = shutil.disk_usage(DATA).free
        print("the top of the range needs %.1f GB of free disk beside its "
              "list; %.1f GB are free" % (need / 1e9, free / 1e9))
        if free < need:
            sys.exit("not enough disk")
        cold(args, program, source, TOP)
    else:
        in_memory(args, program)


if __name__ == "__main__":
    main()
